// A disk image file attached to the stand-in as a disk, as plugging in a
// drive would: its partitions appear as devices, file systems on them can be
// mounted, and everything is unmounted and detached when the object goes.
#pragma once

#include <string>
#include <vector>

namespace velmora::sim {

class AttachedDisk {
  public:
    // Throws std::runtime_error saying why the image cannot be attached.
    AttachedDisk(const std::string &imagePath, unsigned major = 8, const std::string &name = "sda");
    ~AttachedDisk();
    AttachedDisk(const AttachedDisk &) = delete;
    AttachedDisk &operator=(const AttachedDisk &) = delete;

    unsigned major() const { return major_; }
    // The device number of partition `partno` (1 ..); throws when the disk
    // has no such partition.
    unsigned partition(int partno) const;
    // Mounts the ext2/3/4 file system of a partition; throws when there is
    // none the stand-in recognises. Returns its block size.
    unsigned mount(int partno);
    // The type of the file system mounted on a partition.
    std::string fsType(int partno) const;

  private:
    unsigned major_;
    std::vector<unsigned> mounted_;
};

}  // namespace velmora::sim
