#include "export_host.h"

#include "host_commands.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <stdexcept>

namespace velmora::test {

std::string missingForExportTests(bool withExtTools) {
    if (withExtTools)
        return live::missingForLiveTests({"losetup", "mkfs.ext4", "e2fsck", "mount", "umount"});
    return live::missingForLiveTests({});
}

std::string runOrThrow(const std::string &command) {
    live::CommandResult r = live::shell(command);
    if (r.status != 0)
        throw std::runtime_error("failed (" + std::to_string(r.status) + "): " + command + "\n" +
                                 r.output);
    return r.output;
}

LoopDevice::LoopDevice(const std::string &file) {
    device_ = runOrThrow("losetup -f --show '" + file + "'");
    while (!device_.empty() && (device_.back() == '\n' || device_.back() == ' '))
        device_.pop_back();
}

LoopDevice::~LoopDevice() {
    live::shell("losetup -d " + device_);
}

HostMount::HostMount(const std::string &device, const std::string &dir) : dir_(dir) {
    runOrThrow("mkdir -p '" + dir + "' && mount " + device + " '" + dir + "'");
}

// A test that failed inside a snapshot may leave the host frozen.
HostMount::~HostMount() {
    int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ioctl(fd, FITHAW, 0);
        close(fd);
    }
    live::shell("umount '" + dir_ + "'");
}

}  // namespace velmora::test
