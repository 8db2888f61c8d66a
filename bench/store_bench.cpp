// The backup store on a chain of points of a device that file-system writers
// change, in one run:
//  - bytes stored per changed byte: an ext4 image made by mke2fs -d from a
//    tree of files is stored as a full point; then, six times, debugfs
//    changes the image as writers do (new files, grown logs, pages of a
//    database rewritten, a text file edited, files deleted, a file copied)
//    and the blocks whose bytes differ from the previous state go into an
//    incremental point. The figure is the incrementals' stored bytes over
//    their changed blocks' bytes; the full point's stored bytes per device
//    byte is printed beside it.
//  - restore throughput: DeviceChain::restoreToFile of the latest point
//    against a plain copy (read, write, fsync) of the image file, which holds
//    the same bytes, alternating round by round; medians.
// Everything lives in a fresh directory under $TMPDIR (or /tmp), removed at
// the end. --mib N sets the device size (64 MiB by default), --json prints
// the figures as one JSON object for bench/run.
#include <device_chain.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;
using velmora::agent::store::DeviceChain;
using velmora::agent::store::PointInfo;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kBlockSize = 4096;
constexpr unsigned kDefaultMiB = 64;
constexpr int kIncrementals = 6;
constexpr int kRestoreRounds = 5;  // of each kind
constexpr std::size_t kCopyBuffer = 1 << 20;
constexpr std::size_t kDbPage = 4096;  // the database's page, as SQLite's default

// A fresh directory, removed with everything in it when the object goes.
class WorkDir {
  public:
    WorkDir() {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/store_bench.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot make a directory from " + pattern);
        path_ = pattern;
    }
    ~WorkDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Runs a tool with its output in a log file, without a shell. Throws with the
// log when it fails or, for debugfs (which exits 0 on failed commands), when it
// wrote more to stderr than its banner.
void run(const std::vector<std::string> &argv, const std::string &log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0)
        throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(err));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("cannot wait for " + argv[0]);
    std::ifstream in(log);
    std::string line, complaints;
    for (int n = 0; std::getline(in, line); ++n)
        if (n > 0 || line.rfind("debugfs ", 0) != 0)
            complaints += line + "\n";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        (argv[0] == "debugfs" && !complaints.empty()))
        throw std::runtime_error(argv[0] + " failed:\n" + complaints);
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// Contents of the kinds people's disks hold, from one seeded generator so
// that every run changes the same bytes.
class Content {
  public:
    // Log lines: a time stamp, a host and words, compressible as text is.
    std::string logLines(std::size_t bytes) {
        static const char *const kWords[] = {
            "connection", "from",    "accepted", "session", "opened",  "closed",  "for",
            "user",       "root",    "backup",   "started", "done",    "error",   "timeout",
            "retrying",   "request", "GET",      "POST",    "/api/v1", "status",  "200",
            "404",        "took",    "ms",       "cache",   "miss",    "hit",     "queue",
            "depth",      "worker",  "pid",      "exited",  "signal",  "reload",  "config",
            "disk",       "sda1",    "mounted",  "read",    "only",    "warning", "latency"};
        std::string out;
        while (out.size() < bytes) {
            char stamp[64];
            std::snprintf(stamp, sizeof stamp,
                          "2026-12-09T%02u:%02u:%02u.%03uZ web%u app[%u]:", pick(24), pick(60),
                          pick(60), pick(1000), pick(4), 1000 + pick(9000));
            out += stamp;
            for (unsigned w = 3 + pick(10); w > 0; --w) {
                out += ' ';
                out += kWords[pick(sizeof kWords / sizeof *kWords)];
            }
            out += '\n';
        }
        out.resize(bytes);
        return out;
    }
    // Already-compressed data (pictures, archives): nothing to gain.
    std::string random(std::size_t bytes) {
        std::string out(bytes, '\0');
        for (char &c : out)
            c = static_cast<char>(rng_());
        return out;
    }
    // One database page: a header, records of numbers and short text, and the
    // page's free space left zero.
    void dbPage(char *page, uint32_t number) {
        std::memset(page, 0, kDbPage);
        std::memcpy(page, &number, sizeof number);
        const std::size_t used = 1024 + pick(2560);
        std::string records = logLines(used - 16);
        for (std::size_t at = 0; at + 8 <= records.size(); at += 64) {
            const uint64_t value = rng_();
            std::memcpy(records.data() + at, &value, sizeof value);
        }
        std::memcpy(page + 16, records.data(), records.size());
    }
    std::string database(std::size_t pages) {
        std::string out(pages * kDbPage, '\0');
        for (std::size_t p = 0; p < pages; ++p)
            dbPage(out.data() + p * kDbPage, static_cast<uint32_t>(p));
        return out;
    }
    // A disk image of a virtual machine: data between zero-filled runs, which
    // mke2fs -d and debugfs leave as holes rather than write.
    std::string sparseImage(std::size_t bytes) {
        std::string out(bytes, '\0');
        for (std::size_t at = 0; at < bytes; at += 64 * 1024)
            if (pick(3) == 0) {
                const std::string run = random(std::min<std::size_t>(bytes - at, 16 * 1024));
                std::memcpy(out.data() + at, run.data(), run.size());
            }
        return out;
    }
    unsigned pick(std::size_t n) { return static_cast<unsigned>(rng_() % n); }

  private:
    std::mt19937_64 rng_{20261209};
};

// The image's files as the writers know them: their path in the image and
// their bytes, so that a grown or edited file can be written again whole.
struct Tree {
    std::map<std::string, std::string> files;  // path in the image -> bytes
    std::vector<std::string> removable;        // files the writers may delete
};

std::string dirOf(const std::string &path) {
    return path.substr(0, path.rfind('/'));
}
std::string nameOf(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

// debugfs writes a file by name into its current directory; the host copy
// it reads from is kept in `staging` under a name of its own.
void stageWrite(std::ostringstream &cmds, const std::string &staging, int &staged,
                const std::string &path, const std::string &bytes) {
    const std::string host = staging + "/" + std::to_string(staged++);
    writeFile(host, bytes);
    cmds << "cd " << dirOf(path) << "\nwrite " << host << " " << nameOf(path) << "\n";
}

// The device as mke2fs -d leaves it: about 40% full.
Tree seedTree(Content &c, unsigned mib) {
    Tree t;
    const unsigned scale = std::max(1u, mib / 64);
    t.files["/var/log/syslog"] = c.logLines(768 * 1024);
    t.files["/var/log/app.log"] = c.logLines(256 * 1024);
    t.files["/var/lib/app/data.db"] = c.database(1024 * scale);  // 4 MiB per 64 MiB
    t.files["/var/lib/vm/guest.img"] = c.sparseImage(2 * 1024 * 1024 * scale);
    for (unsigned i = 0; i < 24 * scale; ++i) {
        const std::string doc = "/home/user/docs/note" + std::to_string(i) + ".txt";
        t.files[doc] = c.logLines(8 * 1024 + c.pick(96 * 1024));
        t.removable.push_back(doc);
        const std::string pic = "/home/user/pictures/img" + std::to_string(i) + ".jpg";
        t.files[pic] = c.random(256 * 1024 + c.pick(1024 * 1024));
        t.removable.push_back(pic);
    }
    t.files["/home/user/pictures/img0-copy.jpg"] = t.files["/home/user/pictures/img0.jpg"];
    return t;
}

void writeSeed(const Tree &t, const std::string &root) {
    for (const auto &[path, bytes] : t.files) {
        fs::create_directories(root + dirOf(path));
        writeFile(root + path, bytes);
    }
}

// One round of the writers' changes, as debugfs commands. debugfs cannot
// append or write into a file, so a grown or edited file is removed and
// written again whole, as programs that save by replacing do; the allocator
// may place it on other blocks than before.
std::string changeRound(Tree &t, Content &c, int round, const std::string &staging, int &staged,
                        unsigned mib) {
    std::ostringstream cmds;
    auto rewrite = [&](const std::string &path) {
        cmds << "rm " << path << "\n";
        stageWrite(cmds, staging, staged, path, t.files[path]);
    };
    const unsigned scale = std::max(1u, mib / 64);
    // Logs grow.
    t.files["/var/log/syslog"] += c.logLines(32 * 1024 + c.pick(96 * 1024));
    rewrite("/var/log/syslog");
    t.files["/var/log/app.log"] += c.logLines(8 * 1024 + c.pick(48 * 1024));
    rewrite("/var/log/app.log");
    // About 3% of the database's pages change.
    std::string &db = t.files["/var/lib/app/data.db"];
    const std::size_t pages = db.size() / kDbPage;
    for (std::size_t n = pages / 32; n > 0; --n) {
        const uint32_t p = c.pick(pages);
        c.dbPage(db.data() + p * kDbPage, p);
    }
    rewrite("/var/lib/app/data.db");
    // A note is edited in the middle: the bytes after the edit shift.
    const std::string note = "/home/user/docs/note" + std::to_string(round % 4) + ".txt";
    if (t.files.count(note)) {
        std::string &text = t.files[note];
        text.insert(text.size() / 2, c.logLines(200 + c.pick(2000)));
        rewrite(note);
    }
    // Some files go.
    for (int n = 0; n < 2 && t.removable.size() > 4; ++n) {
        const std::size_t at = 4 + c.pick(t.removable.size() - 4);
        cmds << "rm " << t.removable[at] << "\n";
        t.files.erase(t.removable[at]);
        t.removable.erase(t.removable.begin() + static_cast<std::ptrdiff_t>(at));
    }
    // New files: documents, pictures, and a copy of a picture already there.
    const std::string dir = "/home/user/round" + std::to_string(round);
    cmds << "mkdir " << dir << "\n";
    for (unsigned i = 0; i < 3 * scale; ++i) {
        const std::string doc = dir + "/report" + std::to_string(i) + ".txt";
        t.files[doc] = c.logLines(4 * 1024 + c.pick(64 * 1024));
        stageWrite(cmds, staging, staged, doc, t.files[doc]);
        t.removable.push_back(doc);
    }
    const std::string pic = dir + "/photo.jpg";
    t.files[pic] = c.random(128 * 1024 + c.pick(512 * 1024));
    stageWrite(cmds, staging, staged, pic, t.files[pic]);
    t.removable.push_back(pic);
    const std::string &original = t.removable[c.pick(t.removable.size())];
    const std::string copy = dir + "/copy-" + nameOf(original);
    t.files[copy] = t.files[original];
    stageWrite(cmds, staging, staged, copy, t.files[copy]);
    return cmds.str();
}

struct ChainFigures {
    uint64_t deviceBytes = 0, fullStored = 0;
    uint64_t changedBlocks = 0, incrementalStored = 0;
    uint64_t movedBlocks = 0, zeroBlocks = 0;  // of the changed blocks
    uint32_t latest = 0;
};

uint64_t blockKey(const char *bytes) {
    return std::hash<std::string_view>{}(std::string_view(bytes, kBlockSize));
}

ChainFigures buildChain(const WorkDir &dir, const std::string &image, unsigned mib) {
    Content content;
    Tree tree = seedTree(content, mib);
    const std::string seed = dir.file("seed"), staging = dir.file("staging");
    writeSeed(tree, seed);
    fs::create_directories(staging);
    writeFile(image, "");
    fs::resize_file(image, static_cast<uintmax_t>(mib) << 20);
    run({"mke2fs", "-q", "-F", "-t", "ext4", "-b", std::to_string(kBlockSize), "-d", seed, image},
        dir.file("tool.log"));
    fs::remove_all(seed);

    DeviceChain chain(dir.file("store"), "sda1");
    ChainFigures f;
    std::string previous = readFile(image);
    const uint32_t blocks = static_cast<uint32_t>(previous.size() / kBlockSize);
    f.deviceBytes = previous.size();
    {
        auto w = chain.begin("full", "2026-12-09T00:00:00Z", kBlockSize, blocks);
        for (uint32_t b = 0; b < blocks; ++b)
            w.add(b, previous.data() + static_cast<std::size_t>(b) * kBlockSize);
        const PointInfo info = w.commit();
        f.fullStored = info.storedBytes;
        f.latest = info.id;
    }
    const std::string zero(kBlockSize, '\0');
    int staged = 0;
    for (int round = 1; round <= kIncrementals; ++round) {
        writeFile(dir.file("cmds"), changeRound(tree, content, round, staging, staged, mib));
        run({"debugfs", "-w", "-f", dir.file("cmds"), image}, dir.file("tool.log"));
        fs::remove_all(staging);
        fs::create_directories(staging);
        const std::string now = readFile(image);
        // Where each block's bytes were before, to tell moved data from new.
        std::unordered_multimap<uint64_t, uint32_t> before;
        for (uint32_t b = 0; b < blocks; ++b)
            before.emplace(blockKey(previous.data() + static_cast<std::size_t>(b) * kBlockSize), b);
        char time[32];
        std::snprintf(time, sizeof time, "2026-12-%02dT00:00:00Z", 9 + round);
        auto w = chain.begin("incremental", time, kBlockSize, blocks);
        for (uint32_t b = 0; b < blocks; ++b) {
            const char *bytes = now.data() + static_cast<std::size_t>(b) * kBlockSize;
            if (std::memcmp(bytes, previous.data() + static_cast<std::size_t>(b) * kBlockSize,
                            kBlockSize) == 0)
                continue;
            w.add(b, bytes);
            if (std::memcmp(bytes, zero.data(), kBlockSize) == 0)
                f.zeroBlocks++;
            auto [from, to] = before.equal_range(blockKey(bytes));
            f.movedBlocks += std::any_of(from, to, [&](const auto &e) {
                return std::memcmp(
                           previous.data() + static_cast<std::size_t>(e.second) * kBlockSize, bytes,
                           kBlockSize) == 0;
            });
        }
        const PointInfo info = w.commit();
        f.changedBlocks += info.changedBlocks;
        f.incrementalStored += info.storedBytes;
        f.latest = info.id;
        previous = now;
    }
    return f;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// What restoreToFile does to its file, with the bytes read from a plain file:
// read and write in large pieces, fsync at the end.
void plainCopy(const std::string &from, const std::string &to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0)
        throw std::runtime_error("cannot open " + from + " or " + to);
    std::vector<char> buffer(kCopyBuffer);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0)
            throw std::runtime_error("cannot read " + from);
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t m =
                ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (m <= 0)
                throw std::runtime_error("cannot write " + to);
            done += m;
        }
    }
    if (::fsync(out) != 0)
        throw std::runtime_error("cannot sync " + to);
    ::close(in);
    ::close(out);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    bool json = false;
    unsigned mib = kDefaultMiB;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--mib" && i + 1 < argc) {
            mib = static_cast<unsigned>(std::stoul(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: store_bench [--json] [--mib N]\n");
            return 2;
        }
    }
    try {
        WorkDir dir;
        const std::string image = dir.file("disk.img");
        const ChainFigures f = buildChain(dir, image, mib);
        DeviceChain chain(dir.file("store"), "sda1");

        // The restore must give the image back, or its speed means nothing.
        const std::string restored = dir.file("restored.img"), copied = dir.file("copied.img");
        chain.restoreToFile(f.latest, restored);
        if (readFile(restored) != readFile(image))
            throw std::runtime_error("the restored point differs from the image");

        std::vector<double> restore, copy;
        for (int round = 0; round < kRestoreRounds; ++round) {
            const bool restoreFirst = round % 2 == 0;
            for (int side = 0; side < 2; ++side) {
                const bool doRestore = (side == 0) == restoreFirst;
                const std::string &out = doRestore ? restored : copied;
                fs::remove(out);
                const auto t0 = Clock::now();
                if (doRestore)
                    chain.restoreToFile(f.latest, out);
                else
                    plainCopy(image, out);
                (doRestore ? restore : copy).push_back(seconds(Clock::now() - t0));
            }
        }
        const double bytesMiB = static_cast<double>(f.deviceBytes) / (1 << 20);
        const double restoreMiBps = bytesMiB / median(restore);
        const double copyMiBps = bytesMiB / median(copy);
        const double changedBytes = static_cast<double>(f.changedBlocks) * kBlockSize;
        const double perChanged = static_cast<double>(f.incrementalStored) / changedBytes;
        const double fullPerDevice =
            static_cast<double>(f.fullStored) / static_cast<double>(f.deviceBytes);
        if (json) {
            std::printf(
                "{\"mib\": %u, \"incrementals\": %d, \"changed_blocks\": %llu, "
                "\"moved_blocks\": %llu, \"zero_blocks\": %llu, "
                "\"incremental_stored_bytes\": %llu, \"stored_per_changed_byte\": %.6f, "
                "\"full_stored_bytes\": %llu, \"full_stored_per_device_byte\": %.6f, "
                "\"restore_MiBps\": %.3f, \"copy_MiBps\": %.3f}\n",
                mib, kIncrementals, static_cast<unsigned long long>(f.changedBlocks),
                static_cast<unsigned long long>(f.movedBlocks),
                static_cast<unsigned long long>(f.zeroBlocks),
                static_cast<unsigned long long>(f.incrementalStored), perChanged,
                static_cast<unsigned long long>(f.fullStored), fullPerDevice, restoreMiBps,
                copyMiBps);
            return 0;
        }
        std::printf("chain on a %u MiB ext4 image: a full point, then %d incrementals\n", mib,
                    kIncrementals);
        std::printf("  full point: %llu bytes stored, %.4f per device byte\n",
                    static_cast<unsigned long long>(f.fullStored), fullPerDevice);
        std::printf(
            "  incrementals: %llu changed blocks (%llu with bytes some block held before, "
            "%llu zero-filled), %llu bytes stored, %.4f per changed byte\n",
            static_cast<unsigned long long>(f.changedBlocks),
            static_cast<unsigned long long>(f.movedBlocks),
            static_cast<unsigned long long>(f.zeroBlocks),
            static_cast<unsigned long long>(f.incrementalStored), perChanged);
        std::printf("restore of the latest point, median of %d rounds each:\n", kRestoreRounds);
        std::printf("  restoreToFile %.1f MiB/s, plain copy of the image %.1f MiB/s, ratio %.3f\n",
                    restoreMiBps, copyMiBps, restoreMiBps / copyMiBps);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "store_bench: %s\n", e.what());
        return 1;
    }
}
