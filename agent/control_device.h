// The agent's handle on the velmora control device: opens the device node
// and issues commands, turning failures into exceptions that say what failed.
#pragma once

#include <velmora.h>

#include <stdexcept>
#include <string>

namespace velmora::agent {

// A command that the driver refused: the status code it returned.
class CommandError : public std::runtime_error {
  public:
    CommandError(const std::string &command, int status);
    int status() const { return status_; }

  private:
    int status_;
};

// A system call that failed: its errno.
class SystemError : public std::runtime_error {
  public:
    SystemError(const std::string &what, int err);
    int error() const { return err_; }

  private:
    int err_;
};

class ControlDevice {
  public:
    // Opens the node at `path`, creating it first (character device, major
    // 120) when it does not exist.
    explicit ControlDevice(const std::string &path = "/dev/velmora");
    ~ControlDevice();
    ControlDevice(const ControlDevice &) = delete;
    ControlDevice &operator=(const ControlDevice &) = delete;

    int fd() const { return fd_; }
    unsigned versionMajor() const;
    unsigned versionMinor() const;
    State state() const;
    // Issues a command and returns its status as it is (no exception).
    int command(unsigned long request, const void *arg) const;
    // Closes the file now; the destructor does it otherwise.
    void close();

  private:
    unsigned version(unsigned long request, const char *name) const;
    int fd_ = -1;
};

}  // namespace velmora::agent
