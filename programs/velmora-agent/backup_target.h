// The device a command works on: of a running machine (velmorad) reached
// through its socket, or a partition of a disk image file attached to a
// stand-in machine booted in this process for the run.
#pragma once

#include <system_calls.h>

#include <memory>
#include <string>

namespace velmora::cli {

struct TargetOptions {
    std::string machine;  // the control socket of a running machine
    std::string device;   // with machine: "sda1" or "MAJOR:MINOR"
    std::string disk;     // a disk image file, instead of machine
    int partition = 0;    // with disk: 1 .. 15
};

class BackupTarget {
  public:
    // Reaches the machine, or boots one with the disk and mounts the
    // partition. Throws std::runtime_error saying what is missing.
    explicit BackupTarget(const TargetOptions &options);
    ~BackupTarget();
    BackupTarget(const BackupTarget &) = delete;
    BackupTarget &operator=(const BackupTarget &) = delete;

    std::shared_ptr<agent::SystemCalls> system;  // null: this process's stand-in
    unsigned major = 0, minor = 0;
    std::string device;       // the name records use: "sda1", "8:1", "disk.img-part2"
    std::string description;  // "sda1 of the machine on SOCKET", "partition 2 of disk.img"
    std::string fileSystem;   // known for a disk image's partition only

  private:
    struct Booted;
    std::unique_ptr<Booted> booted_;
};

// The name a device's records use, without booting or asking a machine: a
// machine's device as its table lists it (numbers when it lists none, or
// when the table cannot be read), a disk image's partition as
// "disk.img-part2".
std::string recordDeviceName(const TargetOptions &target);

}  // namespace velmora::cli
