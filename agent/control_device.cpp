#include "control_device.h"

#include "status_meaning.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace velmora::agent {

CommandError::CommandError(const std::string &command, int status)
    : std::runtime_error(commandStatusMeaning(command, status)),
      command_(command),
      status_(status) {}

SystemError::SystemError(const std::string &what, int err)
    : std::runtime_error(what + ": " + std::strerror(err)), err_(err) {}

ControlDevice::ControlDevice(const std::string &path, std::shared_ptr<SystemCalls> system)
    : system_(system ? std::move(system) : inProcessSystemCalls()) {
    fd_ = system_->open(path.c_str(), O_RDWR);
    if (fd_ < 0 && errno == ENOENT) {
        unsigned dev = (VEL_DEVICE_MAJOR << 20) | 0;
        if (system_->mknod(path.c_str(), S_IFCHR | 0600, dev) != 0 && errno != EEXIST) {
            // A machine makes its own nodes: what is missing is its node.
            if (errno == EPERM)
                throw SystemError("open " + path, ENOENT);
            throw SystemError("mknod " + path, errno);
        }
        fd_ = system_->open(path.c_str(), O_RDWR);
    }
    if (fd_ < 0 && errno == EPERM)
        throw SystemError("open " + path +
                              " (only an administrator of the machine may back up: the driver "
                              "needs CAP_SYS_ADMIN; run the agent as root, or as the user that "
                              "runs velmorad)",
                          EPERM);
    if (fd_ < 0)
        throw SystemError("open " + path, errno);
}

ControlDevice::~ControlDevice() {
    close();
}

void ControlDevice::close() {
    if (fd_ >= 0)
        system_->close(fd_);
    fd_ = -1;
}

int ControlDevice::command(unsigned long request, const void *arg) const {
    int r = system_->ioctl(fd_, request, arg);
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
