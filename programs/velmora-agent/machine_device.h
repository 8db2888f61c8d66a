// A device of a running machine by the name its service lists ("sda1", from
// the table it writes beside its socket) or by its numbers ("8:1").
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::cli {

struct MachineDevice {
    std::string name;  // empty for numbers the table does not list
    unsigned major = 0, minor = 0;
    unsigned long long sectors = 0;  // 0 when not listed
};

// Throws std::runtime_error naming the device and what the machine has.
MachineDevice resolveMachineDevice(const std::string &socketPath, const std::string &device);

// Every device the machine lists. Throws std::runtime_error when its table
// cannot be read.
std::vector<MachineDevice> machineDevices(const std::string &socketPath);

}  // namespace velmora::cli
