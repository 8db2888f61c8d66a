// 4 KiB write throughput during a backup in copy-on-write, against the bare
// queue of the same RAM disk, in one run. The backup is in state 4 (velMRF on
// the queue, automap recording). Each round takes a run of blocks not written
// since the snapshot and writes it: once through the hook (first writes:
// kbackupd copies each old block before the write goes on), then alternately
// bare (the queue's own function put back for the batch) and through the
// hook again (rewrites: settled, straight through), in the order bare,
// hooked, hooked, bare, so that warm-up and the machine's load fall on both
// alike. The ratios are hooked throughput over bare.
#include <backup_session.h>
#include <benchmark/benchmark.h>
#include <control_device.h>
#include <machine.h>
#include <standin/disk.h>

#include <chrono>
#include <stdexcept>

#include "block_bios.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMajor = 4;
constexpr unsigned kDev = STANDIN_MKDEV(kMajor, 0);
constexpr unsigned long long kSectors = 64ull << 11; /* 64 MiB */
constexpr std::uint32_t kBlocks = kSectors / 8;
constexpr unsigned long kRun = 1024; /* 4 MiB */
constexpr unsigned long kRounds = kBlocks / kRun;
constexpr unsigned kDepth = 32;

class Rig {
  public:
    Rig() {
        if (standin_ramdisk_create("cowbench", kMajor, 0, 1, kSectors) != 0 ||
            standin_mount(kDev, "testfs", 4096) != 0)
            throw std::runtime_error("cannot set up the RAM disk");
        // Every block written once, so that no measured write is the first
        // touch of a RAM disk page.
        if (bench_write_blocks(kDev, 0, kBlocks, kDepth) != 0)
            throw std::runtime_error("cannot fill the RAM disk");
        machine_.load(velmora::sim::velmoraModulePath());
    }
    ~Rig() {
        machine_.unload("velmora");
        standin_umount(kDev);
        standin_disk_remove(kDev);
    }

  private:
    velmora::sim::Machine machine_;
};

double timeRun(unsigned long first) {
    auto t0 = Clock::now();
    if (bench_write_blocks(kDev, first, kRun, kDepth) != 0)
        throw std::runtime_error("a write failed");
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A run with the queue's own function in place of the hook.
double timeBareRun(unsigned long first, void *own) {
    void *hook = bench_swap_queue_fn(kDev, own);
    double t = timeRun(first);
    bench_swap_queue_fn(kDev, hook);
    return t;
}

void BM_CopyOnWriteAgainstBareQueue(benchmark::State &state) {
    Rig rig;
    using namespace velmora::agent;
    void *own = bench_swap_queue_fn(kDev, nullptr);
    double bare = 0, first = 0, rewrite = 0;
    for (auto _ : state) {
        {
            BackupSession session;
            session.start(kMajor, 0, kBlocks, kBlocks);
            session.snapshot(SessionKey::none());
            if (bench_swap_queue_fn(kDev, nullptr) == own) {
                state.SkipWithError("the snapshot did not hook the queue");
                return;
            }
            for (unsigned long r = 0; r < kRounds; r++) {
                unsigned long run = r * kRun;
                first += timeRun(run);
                bare += timeBareRun(run, own);
                rewrite += timeRun(run);
                rewrite += timeRun(run);
                bare += timeBareRun(run, own);
            }
            if (session.state().state != 4) {
                state.SkipWithError("the backup left copy-on-write");
                return;
            }
        }
        // The automap hook outlives the backup; the next session starts from
        // the queue's own function.
        ControlDevice dev;
        unsigned int none = 0;
        if (dev.command(VEL_SHUTDOWN, &none) != 0 || bench_swap_queue_fn(kDev, nullptr) != own) {
            state.SkipWithError("change tracking did not shut down");
            return;
        }
    }
    // Bare and rewrite ran twice as often as first writes.
    const double mib = static_cast<double>(state.iterations()) * kRounds * kRun * 4096 / (1 << 20);
    state.counters["bare_MiBps"] = 2 * mib / bare;
    state.counters["first_MiBps"] = mib / first;
    state.counters["rewrite_MiBps"] = 2 * mib / rewrite;
    state.counters["first_ratio"] = (bare / 2) / first;
    state.counters["rewrite_ratio"] = bare / rewrite;
}

BENCHMARK(BM_CopyOnWriteAgainstBareQueue)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
