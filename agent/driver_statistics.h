// The statistics the driver writes to its kernel log when a backup ends,
// read back for the person who ran the backup.
#pragma once

#include "system_calls.h"

#include <string>
#include <utility>
#include <vector>

namespace velmora::agent {

// Names and values in the driver's order ("time frozen in seconds",
// "0.000002000").
using DriverStatistics = std::vector<std::pair<std::string, std::string>>;

// The newest summary of a backup of device major:minor in the log text
// ("<6>printStats: device: major(8) minor(1)" and the lines after it);
// empty when there is none.
DriverStatistics parseDriverStatistics(const std::string &log, unsigned major, unsigned minor);

// The newest whole lines of the kernel log through `system`, in at most
// maxBytes; empty when the log cannot be read.
std::string readKernelLog(SystemCalls &system, int maxBytes = 32 << 10);

// The value of one statistic, or empty.
std::string statistic(const DriverStatistics &stats, const std::string &name);

}  // namespace velmora::agent
