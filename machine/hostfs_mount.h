// A device of the stand-in whose file system the host mounted (its exported
// file behind a loop device), tied in the stand-in to the host's mount point
// as "hostfs" (see <standin/host_fs.h>): from then on a freeze of the device,
// a snapshot's, freezes the host's file system, and its thaw thaws it.
#pragma once

#include <string>

namespace velmora::machine {

class HostFsMount {
  public:
    // blockSize: the host file system's; 0 reads it from an ext2/3/4 super
    // block on the device. Throws std::runtime_error when mountPoint is no
    // host mount (or is "/", which is never frozen), or the stand-in
    // refuses otherwise (something mounted on the device already, no block
    // size; the kernel log says which).
    HostFsMount(unsigned dev, std::string mountPoint, unsigned blockSize = 0);
    // Unmounts it from the stand-in; waits while the device is frozen.
    ~HostFsMount();
    HostFsMount(const HostFsMount &) = delete;
    HostFsMount &operator=(const HostFsMount &) = delete;

    unsigned dev() const { return dev_; }
    const std::string &mountPoint() const { return mountPoint_; }

  private:
    unsigned dev_;
    std::string mountPoint_;
};

}  // namespace velmora::machine
