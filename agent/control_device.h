// The agent's handle on the velmora control device: opens the device node
// and issues commands, turning failures into exceptions that say what failed.
#pragma once

#include "system_calls.h"

#include <velmora.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace velmora::agent {

// A command that the driver refused: the status code it returned; what()
// says in words what it means and what to do.
class CommandError : public std::runtime_error {
  public:
    CommandError(const std::string &command, int status);
    const std::string &command() const { return command_; }
    int status() const { return status_; }

  private:
    std::string command_;
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
    // Opens the node at `path` through `system` (this process's kernel by
    // default, or when null), creating it first (character device, major 120) when it does
    // not exist and the system lets the agent make nodes.
    explicit ControlDevice(const std::string &path = "/dev/velmora",
                           std::shared_ptr<SystemCalls> system = inProcessSystemCalls());
    ~ControlDevice();
    ControlDevice(const ControlDevice &) = delete;
    ControlDevice &operator=(const ControlDevice &) = delete;

    int fd() const { return fd_; }
    // The system calls the file was opened through; its mappings go through
    // them too.
    const std::shared_ptr<SystemCalls> &system() const { return system_; }
    unsigned versionMajor() const;
    unsigned versionMinor() const;
    State state() const;
    // Issues a command and returns its status as it is (no exception).
    int command(unsigned long request, const void *arg) const;
    // Closes the file now; the destructor does it otherwise.
    void close();

  private:
    unsigned version(unsigned long request, const char *name) const;
    std::shared_ptr<SystemCalls> system_;
    int fd_ = -1;
};

}  // namespace velmora::agent
