#include "backup_rig.h"

#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

namespace velmora::test {

namespace {

constexpr unsigned kRamMajor = 1;
constexpr unsigned kImageMajor = 8;
constexpr unsigned long long kSectorsPerMiB = 2048;

void check(int r, const std::string &what) {
    if (r != 0)
        throw std::runtime_error(what + " failed: " + std::to_string(r));
}

}  // namespace

DiskRig::DiskRig(const RigSpec &layout) {
    const unsigned long long partSectors = layout.partMiB * kSectorsPerMiB;
    const unsigned long long otherSectors = layout.otherMiB * kSectorsPerMiB;
    if (layout.fsType == "testfs") {
        major_ = kRamMajor;
        check(standin_ramdisk_create("ramb", major_, 0, 16,
                                     kSectorsPerMiB + partSectors + otherSectors),
              "ramdisk_create");
        check(standin_disk_set_partition(disk(), 1, kSectorsPerMiB, partSectors), "partition 1");
        check(standin_disk_set_partition(disk(), 2, kSectorsPerMiB + partSectors, otherSectors),
              "partition 2");
        check(standin_mount(part(), "testfs", layout.blockSize), "mount");
        check(standin_mount(otherPart(), "testfs", 4096), "mount of the second partition");
    } else {
        major_ = kImageMajor;
        dir_ = std::make_unique<sim::TempDir>();
        std::string path = dir_->file("disk.img");
        sim::buildPartitionedImage(path, layout.partMiB + layout.otherMiB + 2,
                                   {{layout.partMiB, layout.fsType, layout.blockSize, false},
                                    {layout.otherMiB, "ext4", 4096, false}});
        check(standin_imagedisk_create("sdv", path.c_str(), major_, 0, 16), "imagedisk_create");
        check(standin_mount(part(), nullptr, 0), "mount");
        check(standin_mount(otherPart(), nullptr, 0), "mount of the second partition");
    }
    char type[16] = {};
    check(standin_fs_info(part(), type, sizeof type, &blockSize_), "fs_info");
    if (blockSize_ != layout.blockSize)
        throw std::runtime_error("mounted with block size " + std::to_string(blockSize_));
    bytes_ = standin_dev_sectors(part()) * 512;
}

DiskRig::~DiskRig() {
    standin_capture_release(part());
    standin_umount(part());
    standin_umount(otherPart());
    standin_disk_remove(disk());
}

Bytes DiskRig::raw() const {
    Bytes out(bytes_);
    check(standin_dev_read_raw(part(), 0, out.data(), out.size()), "dev_read_raw");
    return out;
}

Bytes DiskRig::capture() const {
    Bytes out(bytes_);
    check(standin_capture_read(part(), 0, out.data(), out.size()), "capture_read");
    return out;
}

void DiskRig::writeBlock(uint32_t block, unsigned char fill) const {
    Bytes data(blockSize_, fill);
    check(standin_fs_write_block(part(), block, data.data(), STANDIN_FS_DIRECT), "fs_write_block");
}

Workload::Workload(unsigned dev, const Options &o) {
    standin_workload_config cfg{};
    cfg.dev = dev;
    cfg.writers = o.writers;
    cfg.first_block = o.firstBlock;
    cfg.nr_blocks = o.nrBlocks;
    cfg.mode = o.mode;
    cfg.sync_every = o.syncEvery;
    cfg.pause_ns = o.pauseNs;
    cfg.seed = o.seed;
    id_ = standin_workload_start(&cfg);
    if (id_ < 0)
        throw std::runtime_error("workload_start failed: " + std::to_string(id_));
}

Workload::~Workload() {
    stop();
    standin_workload_free(id_);
}

void Workload::waitMore(uint64_t more) const {
    standin_workload_wait(id_, standin_workload_log_count(id_) + more);
}

long Workload::stop() {
    if (stopped_)
        return 0;
    stopped_ = true;
    return standin_workload_stop(id_);
}

std::vector<standin_write_record> Workload::log() const {
    std::vector<standin_write_record> records(standin_workload_log_count(id_));
    records.resize(standin_workload_log_read(id_, 0, records.data(), records.size()));
    return records;
}

Bytes contentAtFreeze(const Bytes &base, const std::vector<standin_write_record> &log,
                      unsigned long epoch) {
    // One writer per block and its writes in log order: the last one wins.
    std::map<unsigned long long, const standin_write_record *> last;
    for (const auto &r : log)
        if (r.epoch < epoch)
            last[r.block] = &r;
    Bytes out = base;
    for (const auto &[block, r] : last)
        for (unsigned s = 0; s < r->sectors; ++s)
            standin_stamp_make(&out[(r->first_sector + s) * 512], r->first_sector + s,
                               r->generation, r->writer);
    return out;
}

std::set<uint32_t> blocksWrittenBetween(const std::vector<standin_write_record> &log,
                                        unsigned blockSize, unsigned long from, unsigned long to) {
    std::set<uint32_t> blocks;
    for (const auto &r : log)
        if (r.epoch >= from && r.epoch < to)
            blocks.insert(static_cast<uint32_t>(r.first_sector * 512 / blockSize));
    return blocks;
}

std::string differences(const Bytes &image, const Bytes &reference, unsigned blockSize) {
    if (image.size() != reference.size())
        return "sizes differ: " + std::to_string(image.size()) + " and " +
               std::to_string(reference.size());
    std::string out;
    int shown = 0, total = 0;
    for (std::size_t at = 0; at < image.size(); at += blockSize) {
        if (std::memcmp(&image[at], &reference[at], blockSize) == 0)
            continue;
        if (shown++ < 5)
            out += "block " + std::to_string(at / blockSize) + " differs; ";
        ++total;
    }
    return total ? out + std::to_string(total) + " blocks differ" : "";
}

Bytes readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    Bytes out(in ? static_cast<std::size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char *>(out.data()), static_cast<std::streamsize>(out.size()));
    return out;
}

}  // namespace velmora::test
