// Commands given pointers the caller cannot read or write, run on an open
// control device: what the driver answers to each, by name. An agent in
// another process must get the very answers of one in the machine's process.
#pragma once

#include <control_device.h>

#include <map>
#include <string>

namespace velmora::test {

std::map<std::string, int> runPointerProbes(const agent::ControlDevice &dev);

}  // namespace velmora::test
