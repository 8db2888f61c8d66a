#include "exported_devices.h"

#include <standin/byte_io.h>
#include <standin/disk.h>

#include <cstring>
#include <stdexcept>

namespace velmora::machine {

namespace {

std::uint64_t bytesOf(unsigned dev) {
    return standin_dev_sectors(dev) * 512;
}

}  // namespace

ExportedDevices::ExportedDevices(const std::vector<unsigned> &disks) {
    for (unsigned disk : disks) {
        char name[64];
        int partno = 0;
        int r;
        while ((r = standin_disk_part_name(disk, partno, name, sizeof name)) == 0) {
            unsigned dev = STANDIN_MKDEV(STANDIN_MAJOR(disk),
                                         STANDIN_MINOR(disk) + static_cast<unsigned>(partno));
            names_.emplace_back(name, dev);
            ++partno;
        }
        if (partno == 0)
            throw std::runtime_error("no disk to export at " + std::to_string(STANDIN_MAJOR(disk)) +
                                     ":" + std::to_string(STANDIN_MINOR(disk)) + ": " +
                                     std::strerror(-r));
    }
}

std::vector<ExportedDevice> ExportedDevices::present() const {
    std::vector<ExportedDevice> out;
    for (const auto &[name, dev] : names_) {
        std::uint64_t bytes = bytesOf(dev);
        if (bytes)
            out.push_back({name, dev, bytes});
    }
    return out;
}

std::optional<ExportedDevice> ExportedDevices::find(std::string_view name) const {
    for (const auto &[known, dev] : names_) {
        if (known != name)
            continue;
        std::uint64_t bytes = bytesOf(dev);
        if (bytes)
            return ExportedDevice{known, dev, bytes};
        break;
    }
    return std::nullopt;
}

}  // namespace velmora::machine
