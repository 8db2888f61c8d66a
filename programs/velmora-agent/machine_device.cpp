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
    out = {"", major, minor, 0};
    return true;
}

}  // namespace

std::vector<MachineDevice> machineDevices(const std::string &socketPath) {
    const std::string tablePath = socketPath + ".devices";
    std::ifstream table(tablePath);
    if (!table)
        throw std::runtime_error("cannot read the machine's device table " + tablePath +
                                 "; is velmorad running on " + socketPath + "?");
    std::vector<MachineDevice> devices;
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        MachineDevice d;
        if (fields >> d.name >> d.major >> d.minor >> d.sectors)
            devices.push_back(d);
    }
    return devices;
}

MachineDevice resolveMachineDevice(const std::string &socketPath, const std::string &device) {
    MachineDevice byNumbers;
    const bool numbers = parseNumbers(device, byNumbers);
    std::vector<MachineDevice> devices;
    try {
        devices = machineDevices(socketPath);
    } catch (const std::runtime_error &) {
        if (numbers)
            return byNumbers;
        throw;
    }
    std::string names;
    for (const MachineDevice &d : devices) {
        if (d.name == device ||
            (numbers && d.major == byNumbers.major && d.minor == byNumbers.minor))
            return d;
        names += (names.empty() ? "" : ", ") + d.name;
    }
    if (numbers)
        return byNumbers;
    throw std::runtime_error("the machine has no device " + device +
                             " (it has: " + (names.empty() ? "none" : names) + ")");
}

}  // namespace velmora::cli
