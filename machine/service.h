// The running machine: the stand-in kernel booted with the velmora module and
// the disks it was given, serving agents of other processes on a Unix socket
// and, optionally, its disks to the host through FUSE, until stop().
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device_table.h"

namespace velmora::machine {

struct ServiceConfig {
    std::vector<std::string> images;      // image files with partition tables: sda, sdb, ...
    std::vector<unsigned> ramDiskMiB;     // RAM disks: ram0, ram1, ...
    std::vector<std::string> mounts;      // devices whose file system the machine mounts itself
    std::string socketPath;               // the control socket
    int socketGroup = -1;                 // >= 0: the socket is 0660 for this group
    std::string exportDir;                // where the disks show as files; empty: none
    std::string logPath;                  // the kernel log, appended to; empty: none
    std::string captureDir;               // each exported device's content at each freeze
    std::string modulePath;               // empty: the module of this build
    bool loadModule = true;               // false: the disks alone, for comparisons
    unsigned releaseTimeoutSeconds = 30;  // how long stop() waits for the host to let go
};

class Service {
  public:
    // Boots and serves; throws std::runtime_error saying what could not be set up.
    explicit Service(const ServiceConfig &config);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Ends every agent's file, unloads the module, waits for the host to let
    // go of the exported files (up to the timeout), then detaches the disks,
    // which syncs their image files. Idempotent.
    void stop();

    const std::vector<DeviceEntry> &devices() const { return devices_; }

    struct Parts;

  private:
    std::unique_ptr<Parts> parts_;
    std::vector<DeviceEntry> devices_;
    unsigned releaseTimeout_ = 30;
    bool stopped_ = false;
};

}  // namespace velmora::machine
