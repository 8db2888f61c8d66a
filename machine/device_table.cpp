#include "device_table.h"

#include <standin/disk.h>

namespace velmora::machine {

namespace {
constexpr int kMinorsPerDisk = 16;
}

std::vector<DeviceEntry> devicesOfDisk(const std::string &diskName, unsigned major) {
    std::vector<DeviceEntry> out;
    out.push_back({diskName, major, 0, standin_dev_sectors(STANDIN_MKDEV(major, 0))});
    for (int part = 1; part < kMinorsPerDisk; ++part) {
        unsigned long long start = 0, sectors = 0;
        if (standin_disk_partition(STANDIN_MKDEV(major, 0), part, &start, &sectors) == 0 &&
            sectors > 0)
            out.push_back(
                {diskName + std::to_string(part), major, static_cast<unsigned>(part), sectors});
    }
    return out;
}

std::string formatDeviceTable(const std::vector<DeviceEntry> &devices) {
    std::string text;
    for (const DeviceEntry &d : devices)
        text += d.name + " " + std::to_string(d.major) + " " + std::to_string(d.minor) + " " +
                std::to_string(d.sectors) + "\n";
    return text;
}

}  // namespace velmora::machine
