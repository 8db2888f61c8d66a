// The machine room of the backup system tests: a disk with the partition to
// back up and a second partition beside it, both mounted, writers on them,
// and the references an image is checked against (the capture taken at the
// snapshot's freeze, and the content the writers' log says the partition had
// at that freeze). Nothing here reaches the driver.
#pragma once

#include <disk_image.h>
#include <standin/disk.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace velmora::test {

using Bytes = std::vector<unsigned char>;

struct RigSpec {
    // "testfs" on a RAM disk (partitions set directly), or "ext2/3/4" made
    // with mke2fs inside an MBR image file served by the image disk.
    std::string fsType = "testfs";
    unsigned blockSize = 4096;
    unsigned partMiB = 8;   // the partition backed up
    unsigned otherMiB = 4;  // the second partition of the same disk
};

class DiskRig {
  public:
    explicit DiskRig(const RigSpec &layout);
    ~DiskRig();
    DiskRig(const DiskRig &) = delete;
    DiskRig &operator=(const DiskRig &) = delete;

    unsigned major() const { return major_; }
    unsigned minor() const { return 1; }
    unsigned part() const { return STANDIN_MKDEV(major_, 1); }
    unsigned otherPart() const { return STANDIN_MKDEV(major_, 2); }
    unsigned disk() const { return STANDIN_MKDEV(major_, 0); }
    unsigned blockSize() const { return blockSize_; }
    uint64_t bytes() const { return bytes_; }
    uint32_t blocks() const { return static_cast<uint32_t>(bytes_ / blockSize_); }

    // The partition's bytes straight from the backing store.
    Bytes raw() const;
    // The capture of the last armed freeze, whole.
    Bytes capture() const;
    // A block of the partition written through the file system, waited for.
    void writeBlock(uint32_t block, unsigned char fill) const;

  private:
    unsigned major_ = 0;
    unsigned blockSize_ = 0;
    uint64_t bytes_ = 0;
    std::unique_ptr<sim::TempDir> dir_;
};

// Writers on one mounted device, stopped and freed when the object goes.
class Workload {
  public:
    struct Options {
        int writers = 3;
        int mode = STANDIN_FS_DIRECT;
        uint64_t firstBlock = 16;  // in blocks of the file system
        uint64_t nrBlocks = 256;
        unsigned syncEvery = 0;
        uint64_t pauseNs = 20000;
        unsigned seed = 1;
    };
    Workload(unsigned dev, const Options &options);
    ~Workload();
    Workload(const Workload &) = delete;
    Workload &operator=(const Workload &) = delete;

    // Waits until `more` writes beyond those logged now are logged.
    void waitMore(uint64_t more) const;
    // Stops the writers; returns how many writes failed.
    long stop();
    std::vector<standin_write_record> log() const;

  private:
    int id_ = -1;
    bool stopped_ = false;
};

// What the partition held at freeze `epoch` by the writers' log: `base` (its
// content before the writers started) with the last write of each block
// accepted before that freeze laid over it.
Bytes contentAtFreeze(const Bytes &base, const std::vector<standin_write_record> &log,
                      unsigned long epoch);

// The file-system blocks written by writes accepted from freeze `from` up to
// (not including) freeze `to`.
std::set<uint32_t> blocksWrittenBetween(const std::vector<standin_write_record> &log,
                                        unsigned blockSize, unsigned long from, unsigned long to);

// "" when equal, else which blocks differ (the first few of them).
std::string differences(const Bytes &image, const Bytes &reference, unsigned blockSize);

Bytes readFile(const std::string &path);

}  // namespace velmora::test
