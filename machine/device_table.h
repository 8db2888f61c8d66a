// The block devices of a running machine by name, as the service attached
// them: whole disks and their partitions. The service writes the table to a
// file beside its socket, so an agent can name a device ("sda1") the way it
// would on a machine with /dev.
#pragma once

#include <string>
#include <vector>

namespace velmora::machine {

struct DeviceEntry {
    std::string name;  // "sda", "sda1", "ram0"
    unsigned major = 0, minor = 0;
    unsigned long long sectors = 0;
};

// The disk with this major and its partitions, named after the disk.
std::vector<DeviceEntry> devicesOfDisk(const std::string &diskName, unsigned major);

// One line per device: "name major minor sectors".
std::string formatDeviceTable(const std::vector<DeviceEntry> &devices);

}  // namespace velmora::machine
