// The driver's memory as devices grow, in bytes of kernel memory the module
// holds (objects at their size, pages whole):
//  - per tracked block: change tracking of a device outlives its backups, so
//    what stays after a backup of a device is closed is its tracking. Two
//    devices of different sizes give the cost per block without the fixed
//    part.
//  - per cached block: during a backup in copy-on-write, first writes to
//    blocks make the driver keep their old contents; the growth over a run of
//    them, per block, once the writes are done.
// Printed as one JSON object.
#include <backup_session.h>
#include <control_device.h>
#include <machine.h>
#include <standin/disk.h>
#include <standin/machine.h>

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "block_bios.h"

namespace {

constexpr unsigned kBlockSize = 4096;
constexpr unsigned kSmallMajor = 5, kLargeMajor = 6;
// Whole pages of map on both (32768 blocks of 4 KiB per page of bits).
constexpr unsigned long long kSmallSectors = 128ull << 11;  // 128 MiB
constexpr unsigned long long kLargeSectors = 1ull << 21;    // 1 GiB
constexpr unsigned long kCachedBlocks = 4096;               // 16 MiB of first writes

unsigned dev(unsigned major) {
    return STANDIN_MKDEV(major, 0);
}

void addDisk(const char *name, unsigned major, unsigned long long sectors) {
    if (standin_ramdisk_create(name, major, 0, 1, sectors) != 0 ||
        standin_mount(dev(major), "testfs", kBlockSize) != 0)
        throw std::runtime_error("cannot set up a RAM disk");
}

void removeDisk(unsigned major) {
    standin_umount(dev(major));
    standin_disk_remove(dev(major));
}

std::uint32_t blocksOf(unsigned long long sectors) {
    return static_cast<std::uint32_t>(sectors * 512 / kBlockSize);
}

// A full backup of a whole disk, opened and closed: its tracking stays, and
// the key returned lets the next backup of the disk take it over.
velmora::agent::SessionKey backupOnce(unsigned major, unsigned long long sectors) {
    velmora::agent::BackupSession session;
    session.start(major, 0, blocksOf(sectors), 1024);
    session.snapshot(velmora::agent::SessionKey::none());
    velmora::agent::SessionKey key;
    key.raw = session.automapState().amsKey;
    return key;
}

// Bytes per block the driver keeps for blocks whose old contents it saved.
double bytesPerCachedBlock(const velmora::agent::SessionKey &key) {
    const std::uint32_t blocks = blocksOf(kSmallSectors);
    velmora::agent::BackupSession session;
    session.start(kSmallMajor, 0, blocks, blocks);
    session.snapshot(key);
    const double before = static_cast<double>(standin_module_allocated_bytes());
    if (bench_write_blocks(dev(kSmallMajor), 0, kCachedBlocks, 32) != 0)
        throw std::runtime_error("a first write failed");
    const double after = static_cast<double>(standin_module_allocated_bytes());
    if (session.state().state != VEL_STATE_SNAPSHOT)
        throw std::runtime_error("the backup left copy-on-write");
    return (after - before) / kCachedBlocks;
}

}  // namespace

int main() {
    try {
        velmora::sim::Machine machine;
        addDisk("memsmall", kSmallMajor, kSmallSectors);
        addDisk("memlarge", kLargeMajor, kLargeSectors);
        machine.load(velmora::sim::velmoraModulePath());

        const double loaded = static_cast<double>(standin_module_allocated_bytes());
        const velmora::agent::SessionKey key = backupOnce(kSmallMajor, kSmallSectors);
        const double small = static_cast<double>(standin_module_allocated_bytes());
        backupOnce(kLargeMajor, kLargeSectors);
        const double both = static_cast<double>(standin_module_allocated_bytes());
        const double perTracked =
            (both - small - (small - loaded)) / (blocksOf(kLargeSectors) - blocksOf(kSmallSectors));
        const double fixed = (small - loaded) - perTracked * blocksOf(kSmallSectors);
        const double perCached = bytesPerCachedBlock(key);

        {
            velmora::agent::ControlDevice control;
            unsigned int none = 0;
            control.command(VEL_SHUTDOWN, &none);
        }
        machine.unload("velmora");
        removeDisk(kLargeMajor);
        removeDisk(kSmallMajor);
        std::printf(
            "{\"tracked_bytes_per_block\": %.4f, \"tracked_fixed_bytes\": %.0f, "
            "\"cached_bytes_per_block\": %.1f, \"block_size\": %u}\n",
            perTracked, fixed, perCached, kBlockSize);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "memory_bench: %s\n", e.what());
        velmora::sim::Machine::dumpLog();
        return 1;
    }
}
