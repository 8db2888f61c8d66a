#include "hostfs_mount.h"

#include <standin/disk.h>
#include <standin/host_fs.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace velmora::machine {

namespace {

// The stand-in knows the mount by the canonical path the host's mount
// table shows.
std::string absolute(const std::string &path) {
    char *resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        throw std::runtime_error("no such mount point of the host: " + path);
    std::string out = resolved;
    std::free(resolved);
    return out;
}

}  // namespace

HostFsMount::HostFsMount(unsigned dev, std::string mountPoint, unsigned blockSize)
    : dev_(dev), mountPoint_(absolute(mountPoint)) {
    int r = standin_mount_host(dev_, mountPoint_.c_str(), blockSize);
    if (r != 0)
        throw std::runtime_error("cannot tie " + mountPoint_ + " to device " +
                                 std::to_string(STANDIN_MAJOR(dev_)) + ":" +
                                 std::to_string(STANDIN_MINOR(dev_)) + ": " + std::strerror(-r));
}

HostFsMount::~HostFsMount() {
    standin_umount(dev_);
}

}  // namespace velmora::machine
