// A device of a running machine by the name its service lists ("sda1", from
// the table it writes beside its socket) or by its numbers ("8:1").
#pragma once

#include <stdexcept>
#include <string>

namespace velmora::cli {

struct MachineDevice {
    unsigned major = 0, minor = 0;
    unsigned long long sectors = 0;  // 0 when given by numbers
};

// Throws std::runtime_error naming the device and what the machine has.
MachineDevice resolveMachineDevice(const std::string &socketPath, const std::string &device);

}  // namespace velmora::cli
