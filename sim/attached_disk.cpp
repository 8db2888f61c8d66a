#include "attached_disk.h"

#include <standin/disk.h>

#include <cstring>
#include <stdexcept>

namespace velmora::sim {

namespace {

constexpr int kMinors = 16;

std::string errorText(int r) {
    return std::strerror(r < 0 ? -r : r);
}

}  // namespace

AttachedDisk::AttachedDisk(const std::string &imagePath, unsigned major, const std::string &name)
    : major_(major) {
    int r = standin_imagedisk_create(name.c_str(), imagePath.c_str(), major, 0, kMinors);
    if (r != 0)
        throw std::runtime_error("cannot attach " + imagePath + " as a disk: " + errorText(r));
}

AttachedDisk::~AttachedDisk() {
    for (unsigned dev : mounted_)
        standin_umount(dev);
    standin_disk_remove(STANDIN_MKDEV(major_, 0));
}

unsigned AttachedDisk::partition(int partno) const {
    unsigned long long start = 0, sectors = 0;
    if (partno < 1 || partno >= kMinors ||
        standin_disk_partition(STANDIN_MKDEV(major_, 0), partno, &start, &sectors) != 0 ||
        sectors == 0)
        throw std::runtime_error("the disk has no partition " + std::to_string(partno));
    return STANDIN_MKDEV(major_, static_cast<unsigned>(partno));
}

unsigned AttachedDisk::mount(int partno) {
    unsigned dev = partition(partno);
    int r = standin_mount(dev, nullptr, 0);
    if (r != 0)
        throw std::runtime_error("partition " + std::to_string(partno) +
                                 " holds no ext2, ext3 or ext4 file system that can be mounted (" +
                                 errorText(r) + ")");
    mounted_.push_back(dev);
    char type[16] = {};
    unsigned blockSize = 0;
    standin_fs_info(dev, type, sizeof type, &blockSize);
    return blockSize;
}

std::string AttachedDisk::fsType(int partno) const {
    char type[16] = {};
    unsigned blockSize = 0;
    if (standin_fs_info(partition(partno), type, sizeof type, &blockSize) != 0)
        return "";
    return type;
}

}  // namespace velmora::sim
