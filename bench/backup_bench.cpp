// Whole-run measurements of backups on the stand-in, on a 64 MiB ext4
// partition of an MBR image file:
//  - the freeze window: the driver's eTimeFrozen (from the statistics in the
//    kernel log) against a bare freeze and thaw of the file system with the
//    same amount of dirty data to write back, alternating round by round;
//    and, on a fine clock, the median time the driver held the file system
//    frozen (from the end of the freeze to the start of the thaw);
//  - the full-backup read throughput (every block through VEL_READ_BLOCKS and
//    the transfer buffer) against pread of the same partition from the
//    image file. Each side leaves the bytes in its own buffer, from which an
//    agent would write them out; the disk serves bios in the submitter's
//    context, and "async" repeats the backup with the disk's own thread.
// Both are printed as ratios measured in this one run. With --mib N only the
// full backup of an N MiB partition is timed, to see how its cost grows.
#include <attached_disk.h>
#include <backup_session.h>
#include <disk_image.h>
#include <logged_stats.h>
#include <machine.h>
#include <standin/disk.h>
#include <transfer_buffer.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kDefaultPartitionMiB = 64;
constexpr int kFreezeRounds = 100;      // of each kind
constexpr unsigned kDirtyBlocks = 512;  // 2 MiB to write back at each freeze
constexpr int kReadRounds = 3;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Leaves kDirtyBlocks blocks dirty in the file system's cache.
void dirty(unsigned dev, unsigned round) {
    std::vector<unsigned char> block(4096, static_cast<unsigned char>(round));
    for (unsigned b = 0; b < kDirtyBlocks; ++b) {
        block[0] = static_cast<unsigned char>(b);
        standin_fs_write_block(dev, 1024 + b, block.data(), STANDIN_FS_BUFFERED);
    }
}

// eTimeFrozen of the backup just closed, from its statistics.
double loggedFrozenSeconds() {
    std::string value = sim::loggedStat("time frozen in seconds");
    if (value.empty())
        throw std::runtime_error("no statistics in the kernel log");
    return std::stod(value);
}

struct FreezeWindow {
    // Mean seconds; the bare freeze timed with the driver's clock as well.
    double snapshot = 0, bare = 0, bareCoarse = 0;
    // Median seconds the snapshot held the file system frozen, fine clock.
    double held = 0;
};

double coarseResolution() {
    timespec ts;
    clock_getres(CLOCK_REALTIME_COARSE, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The clock the driver times its freeze with (current_kernel_time).
double coarseSeconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Each round starts a backup, leaves the same amount of dirty data, and then
// either takes the snapshot or freezes and thaws the file system bare; the
// two kinds take turns going first, so neither gains from the order.
FreezeWindow measureFreezeWindow(const sim::AttachedDisk &disk, unsigned dev) {
    FreezeWindow w;
    agent::SessionKey key;
    std::vector<double> held;
    for (int round = 0; round < 2 * kFreezeRounds; ++round) {
        const bool bare = (round + round / 2) % 2 == 0;
        sim::Machine::clearLog();
        {
            agent::BackupSession session;
            BlockSize bs = session.blockSize(disk.major(), 1);
            session.start(disk.major(), 1, bs.partitionSizeKB * 1024u / 4096u, 1u << 20);
            dirty(dev, static_cast<unsigned>(round));
            if (bare) {
                double c0 = coarseSeconds();
                auto t0 = Clock::now();
                if (standin_fs_freeze(dev) != 0 || standin_fs_thaw(dev) != 0)
                    throw std::runtime_error("bare freeze failed");
                w.bare += seconds(Clock::now() - t0);
                w.bareCoarse += coarseSeconds() - c0;
            } else {
                session.snapshot(key);
                key.raw = session.automapState().amsKey;
                held.push_back(static_cast<double>(standin_fs_last_freeze_held_ns(dev)) * 1e-9);
            }
        }
        if (!bare)
            w.snapshot += loggedFrozenSeconds();
    }
    w.bare /= kFreezeRounds;
    w.bareCoarse /= kFreezeRounds;
    w.snapshot /= kFreezeRounds;
    std::nth_element(held.begin(), held.begin() + held.size() / 2, held.end());
    w.held = held[held.size() / 2];
    return w;
}

// Seconds for a full backup to read every block of the partition.
double backupReadSeconds(const sim::AttachedDisk &disk) {
    agent::BackupSession session;
    BlockSize bs = session.blockSize(disk.major(), 1);
    const uint32_t blocks = bs.partitionSizeKB * 1024u / static_cast<uint32_t>(bs.blockSize);
    session.start(disk.major(), 1, blocks, 1u << 20);
    session.noStartAutoMap();
    session.snapshot(agent::SessionKey::none());
    session.loadBlockMap(agent::BlockBitmap(blocks, true));
    agent::TransferBuffer buffer(session.device(),
                                 static_cast<std::size_t>(session.state().mmapSize));
    const uint32_t perRead = static_cast<uint32_t>(buffer.size() / bs.blockSize);
    auto t0 = Clock::now();
    for (uint32_t start = 0; start < blocks; start += perRead)
        session.readBlocks(start, std::min(perRead, blocks - start), buffer);
    return seconds(Clock::now() - t0);
}

double preadSeconds(const std::string &image, const sim::PartitionInfo &p,
                    std::vector<char> &sink) {
    int fd = ::open(image.c_str(), O_RDONLY);
    if (fd < 0)
        throw std::runtime_error("cannot open " + image);
    const uint64_t bytes = p.sectors * 512;
    auto t0 = Clock::now();
    for (uint64_t at = 0; at < bytes; at += sink.size()) {
        std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(sink.size(), bytes - at));
        if (::pread(fd, sink.data(), n, static_cast<off_t>(p.startSector * 512 + at)) !=
            static_cast<ssize_t>(n))
            throw std::runtime_error("short pread");
    }
    double s = seconds(Clock::now() - t0);
    ::close(fd);
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    // --json: the figures as one JSON object instead of the text, for bench/run.
    // --mib N: only the full backup of an N MiB partition, as JSON.
    const bool json = argc > 1 && std::string(argv[1]) == "--json";
    const bool sizeOnly = argc > 2 && std::string(argv[1]) == "--mib";
    const unsigned kPartitionMiB =
        sizeOnly ? static_cast<unsigned>(std::stoul(argv[2])) : kDefaultPartitionMiB;
    try {
        sim::TempDir dir;
        const std::string image = dir.file("disk.img");
        auto table = sim::buildPartitionedImage(image, kPartitionMiB + 2,
                                                {{kPartitionMiB, "ext4", 4096, false}});
        sim::Machine machine;
        sim::AttachedDisk disk(image);
        disk.mount(1);
        machine.load(sim::velmoraModulePath());
        const unsigned dev = disk.partition(1);

        std::vector<char> sink(1 << 20);
        const unsigned whole = STANDIN_MKDEV(disk.major(), 0);
        if (sizeOnly) {
            standin_disk_set_direct(whole, 1);
            double backup = 1e9;
            for (int i = 0; i < kReadRounds; ++i)
                backup = std::min(backup, backupReadSeconds(disk));
            machine.unload("velmora");
            std::printf("{\"mib\": %u, \"backup_s\": %.6f}\n", kPartitionMiB, backup);
            return 0;
        }
        FreezeWindow w = measureFreezeWindow(disk, dev);
        double backup = 1e9, direct = 1e9, async = 1e9;
        for (int i = 0; i < kReadRounds; ++i) {
            async = std::min(async, backupReadSeconds(disk));
            standin_disk_set_direct(whole, 1);
            backup = std::min(backup, backupReadSeconds(disk));
            standin_disk_set_direct(whole, 0);
            direct = std::min(direct, preadSeconds(image, table[0], sink));
        }
        const double mib = kPartitionMiB;
        machine.unload("velmora");
        if (json) {
            std::printf(
                "{\"freeze_snapshot_ms\": %.6f, \"freeze_bare_coarse_ms\": %.6f, "
                "\"freeze_bare_fine_ms\": %.6f, \"coarse_tick_ms\": %.3f, "
                "\"freeze_held_median_us\": %.3f, "
                "\"backup_MiBps\": %.3f, \"async_backup_MiBps\": %.3f, "
                "\"pread_MiBps\": %.3f}\n",
                w.snapshot * 1e3, w.bareCoarse * 1e3, w.bare * 1e3, coarseResolution() * 1e3,
                w.held * 1e6, mib / backup, mib / async, mib / direct);
            return 0;
        }
        std::printf("freeze window, %d rounds each, %u dirty blocks (%u KiB) to write back:\n",
                    kFreezeRounds, kDirtyBlocks, kDirtyBlocks * 4);
        std::printf("  snapshot, eTimeFrozen from the kernel log   %.3f ms\n", w.snapshot * 1e3);
        std::printf(
            "  bare freeze + thaw, on the same coarse clock %.3f ms (%.3f ms on a fine one)\n",
            w.bareCoarse * 1e3, w.bare * 1e3);
        std::printf(
            "  ratio %.2f; the driver's own share %+.3f ms (the clock ticks every %.0f ms)\n",
            w.snapshot / w.bareCoarse, (w.snapshot - w.bareCoarse) * 1e3, coarseResolution() * 1e3);
        std::printf("  the driver held the file system frozen for %.1f us (median, fine clock)\n",
                    w.held * 1e6);
        std::printf("full-backup read of %u MiB, best of %d:\n", kPartitionMiB, kReadRounds);
        std::printf("  VEL_READ_BLOCKS through the transfer buffer %.1f MiB/s\n", mib / backup);
        std::printf("  pread of the partition from the image file  %.1f MiB/s\n", mib / direct);
        std::printf("  ratio %.3f; %.3f with the disk's own thread serving the bios\n",
                    direct / backup, direct / async);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "backup_bench: %s\n", e.what());
        sim::Machine::dumpLog();
        return 1;
    }
}
