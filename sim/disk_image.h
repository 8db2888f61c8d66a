// Disk image files for the image disk: an MBR partition table written with
// sfdisk and ext2/ext3/ext4 file systems made with mke2fs inside the image, as
// an administrator would prepare a real disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::sim {

struct PartitionSpec {
    std::uint64_t sizeMiB = 0;
    std::string fsType;         // "ext2", "ext3", "ext4", or empty for none
    unsigned blockSize = 4096;  // of the file system
    bool logical = false;       // inside the extended partition
};

struct PartitionInfo {
    int number = 0;  // 1-4 primary, 5.. logical, as the kernel numbers them
    std::uint64_t startSector = 0;
    std::uint64_t sectors = 0;
    std::string type;  // the table's type byte, in hex ("83", "5")
};

// Writes an image of totalMiB: the primary partitions in order, then, when
// any partition is logical, an extended partition over the rest that holds the
// logical ones; then makes each file system. Returns the table as sfdisk
// reads it back. Throws std::runtime_error with the tool's output on failure.
std::vector<PartitionInfo> buildPartitionedImage(const std::string &path, std::uint64_t totalMiB,
                                                 const std::vector<PartitionSpec> &parts);

// The partition table of an image as `sfdisk --json` reports it.
std::vector<PartitionInfo> readPartitionTable(const std::string &path);

// mke2fs of fsType with blockSize, inside the image at offsetBytes.
void makeExtFileSystem(const std::string &path, const std::string &fsType, unsigned blockSize,
                       std::uint64_t offsetBytes, std::uint64_t sizeBytes);

// A file's bytes, in one read (a sanitizer makes a character-by-character
// copy of an image slow); empty when there is no such file.
std::string readWholeFile(const std::string &path);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace velmora::sim
