#include "control_device.h"

#include <standin/syscalls.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace velmora::agent {

CommandError::CommandError(const std::string &command, int status)
    : std::runtime_error(command + " failed with status " + std::to_string(status) +
                         " (see the kernel log)"),
      status_(status) {}

SystemError::SystemError(const std::string &what, int err)
    : std::runtime_error(what + ": " + std::strerror(err)), err_(err) {}

ControlDevice::ControlDevice(const std::string &path) {
    unsigned dev = (VEL_DEVICE_MAJOR << 20) | 0;
    if (sys::mknod(path.c_str(), S_IFCHR | 0600, dev) != 0 && errno != EEXIST)
        throw SystemError("mknod " + path, errno);
    fd_ = sys::open(path.c_str(), O_RDWR);
    if (fd_ < 0)
        throw SystemError("open " + path, errno);
}

ControlDevice::~ControlDevice() {
    close();
}

void ControlDevice::close() {
    if (fd_ >= 0)
        sys::close(fd_);
    fd_ = -1;
}

int ControlDevice::command(unsigned long request, const void *arg) const {
    int r = sys::ioctl(fd_, request, arg);
    if (r < 0)
        throw SystemError("ioctl", errno);
    return r;
}

unsigned ControlDevice::version(unsigned long request, const char *name) const {
    unsigned value = 0;
    int status = command(request, &value);
    if (status != 0)
        throw CommandError(name, status);
    return value;
}

unsigned ControlDevice::versionMajor() const {
    return version(VEL_GET_VERSION_MAJOR, "VEL_GET_VERSION_MAJOR");
}

unsigned ControlDevice::versionMinor() const {
    return version(VEL_GET_VERSION_MINOR, "VEL_GET_VERSION_MINOR");
}

State ControlDevice::state() const {
    State s{};
    GetState gs{&s, sizeof(s), 0};
    int status = command(VEL_GET_STATE, &gs);
    if (status != 0)
        throw CommandError("VEL_GET_STATE", status);
    return s;
}

}  // namespace velmora::agent
