#include "backup_target.h"

#include "machine_device.h"

#include <remote_system_calls.h>

#include <attached_disk.h>
#include <machine.h>

#include <filesystem>

namespace velmora::cli {

struct BackupTarget::Booted {
    sim::Machine machine;
    std::unique_ptr<sim::AttachedDisk> disk;
    ~Booted() {
        // The module's end logs the last statistics; a failed unload leaves
        // nothing to keep for a process that ends now.
        machine.tryUnload("velmora");
    }
};

namespace {

std::string nameOf(const MachineDevice &d) {
    return d.name.empty() ? std::to_string(d.major) + ":" + std::to_string(d.minor) : d.name;
}

std::string diskPartitionName(const TargetOptions &o) {
    return std::filesystem::path(o.disk).filename().string() + "-part" +
           std::to_string(o.partition);
}

}  // namespace

std::string recordDeviceName(const TargetOptions &o) {
    if (!o.disk.empty())
        return diskPartitionName(o);
    try {
        return nameOf(resolveMachineDevice(o.machine, o.device));
    } catch (const std::exception &) {
        return o.device;  // the machine may be gone; its records are not
    }
}

BackupTarget::BackupTarget(const TargetOptions &o) {
    if (!o.machine.empty()) {
        MachineDevice d = resolveMachineDevice(o.machine, o.device);
        system = agent::connectToMachine(o.machine);
        major = d.major;
        minor = d.minor;
        device = nameOf(d);
        description = device + " of the machine on " + o.machine;
        return;
    }
    booted_ = std::make_unique<Booted>();
    booted_->disk = std::make_unique<sim::AttachedDisk>(o.disk);
    booted_->disk->mount(o.partition);
    fileSystem = booted_->disk->fsType(o.partition);
    booted_->machine.load(sim::velmoraModulePath());
    major = booted_->disk->major();
    minor = static_cast<unsigned>(o.partition);
    device = diskPartitionName(o);
    description = "partition " + std::to_string(o.partition) + " of " + o.disk;
}

BackupTarget::~BackupTarget() = default;

}  // namespace velmora::cli
