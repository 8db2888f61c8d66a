// The statistics the driver writes to the kernel log when a backup ends, one
// "printStats: <name>: <value>" line each.
#pragma once

#include "machine.h"

#include <string>

namespace velmora::sim {

// The value of the last such line for `name` ("time frozen in seconds",
// "total cached blocks", ...); "" when there is none.
inline std::string loggedStat(const std::string &name) {
    const std::string prefix = "printStats: " + name + ": ";
    std::string value;
    for (const auto &line : Machine::log())
        if (line.text.compare(0, prefix.size(), prefix) == 0)
            value = line.text.substr(prefix.size());
    return value;
}

}  // namespace velmora::sim
