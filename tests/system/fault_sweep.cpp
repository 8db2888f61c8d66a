#include "fault_sweep.h"

#include <backup_runner.h>
#include <backup_session.h>
#include <machine.h>
#include <transfer_buffer.h>
#include <standin/machine.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace velmora::test {

namespace {

// The resize path remounts with this block size, which neither swept size has.
constexpr unsigned kResizedBlockSize = 2048;
constexpr uint32_t kMaxCacheBlocks = 1u << 20;

bool knownState(uint32_t s) {
    return s <= VEL_STATE_CACHE_FULL ? s != 3
                                     : s == VEL_STATE_REFUSED || s == VEL_STATE_REQUEST_LOST;
}

bool failedState(uint32_t s) {
    return s == VEL_STATE_READ_ERROR || s == VEL_STATE_MAP_FAILED || s == VEL_STATE_CACHE_FULL ||
           s == VEL_STATE_REQUEST_LOST;
}

std::string where(const InjectedFault &f) {
    return std::string(standin_fault_site_name(f.site)) + " at " + f.where + ", " +
           std::to_string(f.times) + " calls after " + std::to_string(f.skip);
}

// A BUG stops the program: the run under way is named first.
char runUnderWay[256];
void nameTheRun(int) {
    const char prefix[] = "fault sweep: stopped in ";
    (void)!::write(2, prefix, sizeof prefix - 1);
    (void)!::write(2, runUnderWay, std::strlen(runUnderWay));
    (void)!::write(2, "\n", 1);
    std::signal(SIGABRT, SIG_DFL);
}

// A run that hangs is a finding too: it names itself and stops the program.
class Watchdog {
  public:
    explicit Watchdog(std::string what) : what_(std::move(what)) {
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!done_cv_.wait_for(lock, std::chrono::minutes(5), [this] { return done_; })) {
                std::fprintf(stderr, "fault sweep: %s hangs; the kernel log:\n", what_.c_str());
                standin_klog_dump();
                std::abort();
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_one();
        thread_.join();
    }

  private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

standin_bio_counters bioCounters() {
    standin_bio_counters c{};
    standin_get_bio_counters(&c);
    return c;
}

bool isSnapshotPhase(Phase p) {
    return p == Phase::SnapshotCreate || p == Phase::SnapshotLoad || p == Phase::SnapshotResize ||
           p == Phase::SnapshotNone;
}

}  // namespace

const char *phaseName(Phase phase) {
    static const char *const names[] = {"load",          "open",
                                        "start",         "snapshot-create",
                                        "snapshot-load", "snapshot-resize",
                                        "snapshot-none", "map-fetch",
                                        "map-load",      "disk-reads",
                                        "copy-on-write", "cache-reads",
                                        "dirty-reads",   "close",
                                        "shutdown",      "unload"};
    return names[static_cast<int>(phase)];
}

// One run of the scenario: arms the fault (or the census) for the steps of
// its phase only, and records what the agent saw.
class FaultSweep::Attempt {
  public:
    Attempt(Phase phase, const std::optional<InjectedFault> &fault, SweepRun &result)
        : phase_(phase), fault_(fault), result_(result) {}

    // Runs step `name` of phase `p`; false when a command refused it.
    template <typename Fn>
    bool step(Phase p, const char *name, Fn fn) {
        const bool armed = p == phase_;
        if (armed)
            arm();
        bool ok = true;
        try {
            fn();
        } catch (const agent::CommandError &e) {
            if (!refused())
                laterRefusal_ = p != phase_;
            refuse(name, "status " + std::to_string(e.status()));
            memory_ = memory_ || (e.status() == VEL_ERR_NO_MEMORY && firstRefusal(name));
            ok = false;
        } catch (const agent::SystemError &e) {
            refuse(name, std::string("error ") + std::strerror(e.error()));
            memory_ = memory_ || (e.error() == ENOMEM && firstRefusal(name));
            ok = false;
        }
        if (armed)
            disarm();
        return ok;
    }
    // A command result the agent sees as a number.
    bool status(const char *name, int value) {
        if (value == 0)
            return true;
        refuse(name, "result " + std::to_string(value));
        return false;
    }
    void problem(const std::string &what) { result_.problems.push_back(what); }
    bool refused() const { return !result_.refusal.empty(); }
    // Whether the kernel log gained a warning or an error since the fault's
    // phase began.
    bool warnedSinceArmed() const {
        char line[512];
        for (unsigned long i = logMark_; i < standin_klog_lines(); ++i) {
            int level = standin_klog_line(i, line, sizeof line);
            if (level >= 0 && level <= 4)
                return true;
        }
        return false;
    }
    bool refusedForMemory() const { return memory_; }
    // The first refusal came in a step after the fault's: the backup failed
    // on its own meanwhile, in copy-on-write.
    bool refusedLater() const { return laterRefusal_; }

  private:
    void arm() {
        logMark_ = standin_klog_lines();
        if (!fault_) {
            standin_fault_census_start();
            return;
        }
        standin_fault_rule rule{};
        rule.sites = fault_->site;
        rule.call_site = fault_->offset;
        rule.skip = fault_->skip;
        rule.times = fault_->times;
        rule_ = standin_fault_add(&rule);
    }
    void disarm() {
        if (!fault_) {
            std::vector<standin_fault_site_seen> seen(512);
            int n = standin_fault_census_stop(seen.data(), static_cast<int>(seen.size()));
            seen.resize(static_cast<std::size_t>(std::min<int>(n, 512)));
            result_.sites.insert(result_.sites.end(), seen.begin(), seen.end());
            return;
        }
        result_.hits += standin_fault_hits(rule_);
        standin_fault_clear();
    }
    bool firstRefusal(const char *name) const { return result_.refusal.rfind(name, 0) == 0; }
    void refuse(const char *name, const std::string &how) {
        if (result_.refusal.empty())
            result_.refusal = std::string(name) + ": " + how;
    }

    Phase phase_;
    const std::optional<InjectedFault> &fault_;
    SweepRun &result_;
    int rule_ = -1;
    unsigned long logMark_ = 0;
    bool memory_ = false;
    bool laterRefusal_ = false;
};

FaultSweep::FaultSweep(unsigned blockSize)
    : blockSize_(blockSize), rig_({"testfs", blockSize, 4, 2}) {
    std::signal(SIGABRT, nameTheRun);
}

FaultSweep::~FaultSweep() {
    standin_fault_clear();
    if (standin_module_refcount("velmora") >= 0)
        standin_rmmod("velmora");
}

void FaultSweep::mountWith(unsigned blockSize) {
    standin_umount(rig_.part());
    standin_mount(rig_.part(), "testfs", blockSize);
}

SweepRun FaultSweep::run(Phase phase, const std::optional<InjectedFault> &fault) {
    SweepRun result;
    const std::string name =
        std::string(phaseName(phase)) + (fault ? ", " + where(*fault) : ", census");
    std::snprintf(runUnderWay, sizeof runUnderWay, "%s", name.c_str());
    Watchdog dog(name);
    Attempt at(phase, fault, result);
    const standin_bio_counters before = bioCounters();
    sim::Machine machine;
    long failedWrites = 0;
    sim::TempDir dir;

    // A previous backup hands out the key that the snapshot presents; the
    // first snapshot on the device and the early phases go without.
    const bool previous = phase != Phase::Load && phase != Phase::Open && phase != Phase::Start &&
                          phase != Phase::SnapshotCreate;
    std::optional<agent::SessionKey> key;
    bool loaded = at.step(Phase::Load, "insmod", [&] {
        int r = machine.tryLoad(sim::velmoraModulePath());
        if (r != 0)
            throw agent::SystemError("insmod", -r);
    });
    if (loaded && previous) {
        agent::BackupRequest req;
        req.major = rig_.major();
        req.minor = rig_.minor();
        req.imagePath = dir.file("previous");
        key = agent::runBackup(req).newKey;
        if (phase == Phase::SnapshotResize)
            mountWith(kResizedBlockSize);
    }

    if (loaded) {
        const Phase snapPhase = isSnapshotPhase(phase) ? phase : Phase::SnapshotLoad;
        // Only a snapshot that loaded the session's bits has a map to hand out.
        const bool loadPath =
            previous && phase != Phase::SnapshotResize && phase != Phase::SnapshotNone;
        std::unique_ptr<agent::BackupSession> s;
        std::unique_ptr<agent::TransferBuffer> buffer;
        Bytes reference;
        uint32_t total = 0, bs = 0;
        std::vector<bool> read;
        // Every read the driver calls good must hold the snapshot's bytes.
        auto readRange = [&](uint32_t from, uint32_t to) {
            const uint32_t perRead = static_cast<uint32_t>(buffer->size() / bs);
            for (uint32_t b = from; b < to; b += perRead) {
                const uint32_t n = std::min(perRead, to - b);
                s->readBlocks(b, n, *buffer);
                for (uint32_t i = 0; i < n; ++i) {
                    read[b + i] = true;
                    if (std::memcmp(buffer->data() + static_cast<std::size_t>(i) * bs,
                                    &reference[static_cast<std::size_t>(b + i) * bs], bs) != 0)
                        at.problem("block " + std::to_string(b + i) +
                                   " was read with success but is not the snapshot's");
                }
            }
        };
        const bool done = at.step(Phase::Open, "open", [&] {
            s = std::make_unique<agent::BackupSession>(dir.file("velmora"));
        }) && at.step(Phase::Start, "start", [&] {
            BlockSize size = s->blockSize(rig_.major(), rig_.minor());
            bs = static_cast<uint32_t>(size.blockSize);
            total = static_cast<uint32_t>(uint64_t{size.partitionSizeKB} * 1024 / bs);
            read.assign(total, false);
            s->start(rig_.major(), rig_.minor(), total, kMaxCacheBlocks);
        }) && at.step(snapPhase, "snapshot", [&] {
            if (phase == Phase::SnapshotNone)
                s->noStartAutoMap();
            standin_capture_release(rig_.part());
            standin_capture_arm(rig_.part());
            s->snapshot(key.value_or(agent::SessionKey::none()));
            reference = rig_.capture();
        }) && at.step(Phase::MapFetch, "map fetch", [&] {
            if (loadPath)
                s->automap(total);
        }) && at.step(Phase::MapLoad, "map load", [&] {
            s->loadBlockMap(agent::BlockBitmap(total, true));
        }) && at.step(Phase::DiskReads, "reads from disk", [&] {
            buffer = std::make_unique<agent::TransferBuffer>(
                s->device(), static_cast<std::size_t>(s->state().mmapSize));
            readRange(0, total / 2);
        }) && at.step(Phase::CopyOnWrite, "copy-on-write", [&] {
            Workload w(rig_.part(), {.writers = 2,
                                     .firstBlock = total / 2,
                                     .nrBlocks = total - total / 2,
                                     .pauseNs = 20000});
            w.waitMore(300);
            failedWrites += w.stop();
        }) && at.step(Phase::CacheReads, "reads from the cache", [&] {
            readRange(total / 2, total / 2 + total / 8);
        }) && at.step(Phase::DirtyReads, "dirty-block reads", [&] {
            for (uint32_t n = 0; n < total; ++n) {
                uint32_t b = s->dirtyBlock();
                if (b == VEL_NO_DIRTY_BLOCK)
                    break;
                if (b >= total) {
                    at.problem("the dirty block " + std::to_string(b) + " is beyond the device");
                    break;
                }
                readRange(b, b + 1);
            }
        }) && at.step(Phase::Close, "rest of the reads and close", [&] {
            for (uint32_t b = 0; b < total; ++b)
                if (!read[b])
                    readRange(b, b + 1);
            buffer.reset();
            s.reset();
        });
        if (!done && s) {
            const uint32_t state = s->state().state;
            if (!knownState(state))
                at.problem("state " + std::to_string(state) + " after the refusal");
            // A backup that failed in the background says so in its state.
            if (at.refusedLater() && !failedState(state))
                at.problem("\"" + result.refusal + "\" came later, with the backup in state " +
                           std::to_string(state));
        }
        buffer.reset();
        s.reset();
        if (phase == Phase::SnapshotResize)
            mountWith(blockSize_);
    }
    if (loaded) {
        at.step(Phase::Shutdown, "shutdown", [&] {
            agent::ControlDevice control(dir.file("velmora"));
            at.status("shutdown", control.command(VEL_SHUTDOWN, nullptr));
        });
        at.step(Phase::Unload, "rmmod", [&] {
            if (int r = machine.tryUnload("velmora"))
                throw agent::SystemError("rmmod", -r);
        });
    }

    if (failedWrites)
        at.problem(std::to_string(failedWrites) + " writes of the writers failed");
    if (at.refused() && !fault)
        at.problem("a run without a fault failed: " + result.refusal);
    // Status 5 and ENOMEM name their cause themselves, and the start tables some of its
    // refusals without a message; every other refusal says why in the log.
    if (at.refused() && fault && result.hits && !at.refusedForMemory() && !at.warnedSinceArmed())
        at.problem("\"" + result.refusal + "\" with no warning or error in the kernel log");
    freshBackup(result);
    const standin_bio_counters after = bioCounters();
    if (after.submitted - after.completed != before.submitted - before.completed)
        at.problem("bios submitted and never completed: " +
                   std::to_string((after.submitted - after.completed) -
                                  (before.submitted - before.completed)));
    if (after.allocated - after.freed != before.allocated - before.freed)
        at.problem("bios allocated and never freed");
    return result;
}

// After any run: the module loads, a full backup under writers is right byte
// for byte, the memory the module holds afterwards is what it always is,
// and it unloads (the stand-in stops on anything it left behind).
void FaultSweep::freshBackup(SweepRun &result) {
    auto problem = [&](const std::string &what) { result.problems.push_back(what); };
    sim::Machine machine;
    if (standin_module_refcount("velmora") < 0 && machine.tryLoad(sim::velmoraModulePath()) != 0) {
        problem("the module does not load again");
        return;
    }
    sim::TempDir dir;
    try {
        agent::BackupSession s(dir.file("velmora"));
        BlockSize size = s.blockSize(rig_.major(), rig_.minor());
        const uint32_t bs = static_cast<uint32_t>(size.blockSize);
        const uint32_t total = static_cast<uint32_t>(uint64_t{size.partitionSizeKB} * 1024 / bs);
        s.start(rig_.major(), rig_.minor(), total, kMaxCacheBlocks);
        s.noLoadFromAutoMap();
        standin_capture_release(rig_.part());
        standin_capture_arm(rig_.part());
        s.snapshot(agent::SessionKey::none());
        s.loadBlockMap(agent::BlockBitmap(total, true));
        const Bytes reference = rig_.capture();
        Workload w(rig_.part(), {.writers = 2, .firstBlock = 0, .nrBlocks = total});
        agent::TransferBuffer buffer(s.device(), static_cast<std::size_t>(s.state().mmapSize));
        const uint32_t perRead = static_cast<uint32_t>(buffer.size() / bs);
        Bytes image(reference.size());
        for (uint32_t b = 0; b < total; b += perRead) {
            const uint32_t n = std::min(perRead, total - b);
            s.readBlocks(b, n, buffer);
            std::memcpy(&image[static_cast<std::size_t>(b) * bs], buffer.data(),
                        static_cast<std::size_t>(n) * bs);
        }
        if (long failed = w.stop())
            problem("the fresh backup's writers saw " + std::to_string(failed) + " failures");
        if (std::string d = differences(image, reference, bs); !d.empty())
            problem("the fresh backup's image is wrong: " + d);
    } catch (const std::exception &e) {
        problem(std::string("the fresh backup failed: ") + e.what());
    }
    const unsigned long held = standin_module_allocations();
    if (!settledAllocations_)
        settledAllocations_ = held;
    else if (held != *settledAllocations_)
        problem("the module holds " + std::to_string(held) + " objects after a backup, not " +
                std::to_string(*settledAllocations_));
    if (machine.tryUnload("velmora") != 0)
        problem("the module does not unload");
}

}  // namespace velmora::test
