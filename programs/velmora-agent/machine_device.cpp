#include "machine_device.h"

#include <fstream>
#include <sstream>

namespace velmora::cli {

namespace {

bool parseNumbers(const std::string &text, MachineDevice &out) {
    unsigned major = 0, minor = 0;
    char colon = 0;
    std::istringstream in(text);
    if (!(in >> major >> colon >> minor) || colon != ':' || !in.eof())
        return false;
    out = {major, minor, 0};
    return true;
}

}  // namespace

MachineDevice resolveMachineDevice(const std::string &socketPath, const std::string &device) {
    MachineDevice found;
    if (parseNumbers(device, found))
        return found;
    const std::string tablePath = socketPath + ".devices";
    std::ifstream table(tablePath);
    if (!table)
        throw std::runtime_error("cannot read the machine's device table " + tablePath +
                                 "; is velmorad running on " + socketPath + "?");
    std::string line, names;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string name;
        MachineDevice d;
        if (!(fields >> name >> d.major >> d.minor >> d.sectors))
            continue;
        if (name == device)
            return d;
        names += (names.empty() ? "" : ", ") + name;
    }
    throw std::runtime_error("the machine has no device " + device +
                             " (it has: " + (names.empty() ? "none" : names) + ")");
}

}  // namespace velmora::cli
