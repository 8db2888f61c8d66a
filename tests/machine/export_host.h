// The host's side of the disk export tests: a loop device over an exported
// file and a host mount of it, each undone when the object goes, even after
// a failed check (a frozen mount is thawed first).
#pragma once

#include <string>

namespace velmora::test {

// What the export tests need and this host lacks; empty when it has it all.
std::string missingForExportTests(bool withExtTools);

class LoopDevice {
  public:
    explicit LoopDevice(const std::string &file);  // losetup -f --show; throws
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    const std::string &device() const { return device_; }

  private:
    std::string device_;
};

class HostMount {
  public:
    HostMount(const std::string &device, const std::string &dir);  // mount; throws
    ~HostMount();
    HostMount(const HostMount &) = delete;
    HostMount &operator=(const HostMount &) = delete;
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
};

// Runs the command; throws with its output unless it exits with 0.
std::string runOrThrow(const std::string &command);

}  // namespace velmora::test
