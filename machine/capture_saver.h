// Saves the stand-in's capture of each watched device at each freeze to a
// file, "<dir>/<name>.<n>.img" for the device's n-th freeze from 1: the
// device's content at that snapshot, for checks of the images made from it.
// A file appears whole, once the device's next freeze is armed.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "device_table.h"

namespace velmora::machine {

class CaptureSaver {
  public:
    CaptureSaver(std::string dir, std::vector<DeviceEntry> devices);
    ~CaptureSaver();
    CaptureSaver(const CaptureSaver &) = delete;
    CaptureSaver &operator=(const CaptureSaver &) = delete;

  private:
    void run();
    void save(const DeviceEntry &d);

    std::string dir_;
    std::vector<DeviceEntry> devices_;
    std::map<std::string, unsigned> saved_;  // freezes saved, by device name
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace velmora::machine
