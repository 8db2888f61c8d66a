// The files a disk export shows: each disk it was given and the disk's
// partitions, under the kernel's names ("sda", "sda1"), while they exist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::machine {

struct ExportedDevice {
    std::string name;
    unsigned dev = 0;
    std::uint64_t bytes = 0;
};

class ExportedDevices {
  public:
    // disks: whole-disk device numbers; throws std::runtime_error for one
    // that is no attached whole disk.
    explicit ExportedDevices(const std::vector<unsigned> &disks);

    // Every device with a size now: a disk still attached, a partition its
    // table holds now.
    std::vector<ExportedDevice> present() const;
    std::optional<ExportedDevice> find(std::string_view name) const;

  private:
    // Every minor of the disks, named, whether its partition exists or not.
    std::vector<std::pair<std::string, unsigned>> names_;
};

}  // namespace velmora::machine
