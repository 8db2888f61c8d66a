#include "service.h"

#include "capture_saver.h"
#include "control_server.h"
#include "disk_export.h"
#include "host_mounts.h"
#include "hostfs_mount.h"

#include <attached_disk.h>
#include <control_device.h>
#include <machine.h>
#include <standin/disk.h>
#include <standin/machine.h>
#include <standin/syscalls.h>
#include <velmora.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace velmora::machine {

namespace {

// The majors of the first SCSI disks on Linux: sda on 8, then 65 .. 71.
constexpr unsigned kDiskMajors[] = {8, 65, 66, 67, 68, 69, 70, 71};
constexpr unsigned kRamMajor = 1;

std::string diskName(std::size_t index) {
    return std::string("sd") + static_cast<char>('a' + index);
}

}  // namespace

struct Service::Parts {
    int logFd = -1;
    std::unique_ptr<sim::Machine> machine;
    std::vector<std::unique_ptr<sim::AttachedDisk>> images;
    std::vector<unsigned> ramDisks;  // device numbers
    std::vector<unsigned> mounted;   // devices the machine mounted itself
    bool moduleLoaded = false;
    std::unique_ptr<CaptureSaver> captures;
    std::unique_ptr<ControlServer> control;
    std::unique_ptr<DiskExport> exported;
    std::mutex hostMountsLock;  // the watcher's thread changes them
    std::map<std::string, std::unique_ptr<HostFsMount>> hostMounts;
    std::unique_ptr<HostMountWatcher> watcher;
};

namespace {

// A host mount of an exported file: the stand-in ties the device to it, so
// that a snapshot's freeze freezes the host's file system.
void followHostMount(Service::Parts &p, const std::vector<DeviceEntry> &devices,
                     const std::string &name, const std::string &mountPoint) {
    for (const DeviceEntry &d : devices) {
        if (d.name != name)
            continue;
        try {
            auto mount = std::make_unique<HostFsMount>(STANDIN_MKDEV(d.major, d.minor), mountPoint);
            std::lock_guard<std::mutex> hold(p.hostMountsLock);
            p.hostMounts[name] = std::move(mount);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "velmorad: the host mounted %s at %s, but %s\n", name.c_str(),
                         mountPoint.c_str(), e.what());
        }
    }
}

void dropHostMount(Service::Parts &p, const std::string &name) {
    std::unique_ptr<HostFsMount> gone;
    {
        std::lock_guard<std::mutex> hold(p.hostMountsLock);
        auto it = p.hostMounts.find(name);
        if (it == p.hostMounts.end())
            return;
        gone = std::move(it->second);
        p.hostMounts.erase(it);
    }
}

}  // namespace

Service::Service(const ServiceConfig &config) : parts_(std::make_unique<Parts>()) {
    Parts &p = *parts_;
    p.machine = std::make_unique<sim::Machine>();
    if (!config.logPath.empty()) {
        p.logFd = ::open(config.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
        if (p.logFd < 0)
            throw std::runtime_error("cannot open the log " + config.logPath + ": " +
                                     std::strerror(errno));
        standin_klog_console(p.logFd, 8);
    }
    if (config.images.size() > std::size(kDiskMajors))
        throw std::runtime_error("at most " + std::to_string(std::size(kDiskMajors)) +
                                 " image disks");
    for (std::size_t i = 0; i < config.images.size(); ++i) {
        p.images.push_back(
            std::make_unique<sim::AttachedDisk>(config.images[i], kDiskMajors[i], diskName(i)));
        for (DeviceEntry &d : devicesOfDisk(diskName(i), kDiskMajors[i]))
            devices_.push_back(d);
    }
    for (std::size_t i = 0; i < config.ramDiskMiB.size(); ++i) {
        const std::string name = "ram" + std::to_string(i);
        const unsigned minor = static_cast<unsigned>(i);
        int r = standin_ramdisk_create(name.c_str(), kRamMajor, minor, 1,
                                       static_cast<unsigned long long>(config.ramDiskMiB[i]) << 11);
        if (r != 0)
            throw std::runtime_error("cannot create RAM disk " + name + ": " + std::strerror(-r));
        p.ramDisks.push_back(STANDIN_MKDEV(kRamMajor, minor));
        devices_.push_back(
            {name, kRamMajor, minor, static_cast<unsigned long long>(config.ramDiskMiB[i]) << 11});
    }
    for (const std::string &name : config.mounts) {
        auto d = std::find_if(devices_.begin(), devices_.end(),
                              [&](const DeviceEntry &e) { return e.name == name; });
        if (d == devices_.end())
            throw std::runtime_error("cannot mount " + name + ": the machine has no such device");
        const unsigned dev = STANDIN_MKDEV(d->major, d->minor);
        if (int r = standin_mount(dev, nullptr, 0); r != 0)
            throw std::runtime_error("cannot mount " + name +
                                     ": it holds no ext2, ext3 or ext4 file system (" +
                                     std::strerror(-r) + ")");
        p.mounted.push_back(dev);
    }
    if (config.loadModule) {
        p.machine->load(config.modulePath.empty() ? sim::velmoraModulePath() : config.modulePath);
        p.moduleLoaded = true;
    }
    if (sys::mknod("/dev/velmora", S_IFCHR | 0600, VEL_DEVICE_MAJOR << 20) != 0 && errno != EEXIST)
        throw std::runtime_error(std::string("cannot make /dev/velmora: ") + std::strerror(errno));
    if (!config.captureDir.empty())
        p.captures = std::make_unique<CaptureSaver>(config.captureDir, devices_);
    std::ofstream(config.socketPath + ".devices") << formatDeviceTable(devices_);
    p.control = std::make_unique<ControlServer>(config.socketPath, config.socketGroup);
    if (!config.exportDir.empty()) {
        std::vector<unsigned> disks;
        for (const DeviceEntry &d : devices_)
            if (d.minor == 0 || d.major == kRamMajor)
                disks.push_back(STANDIN_MKDEV(d.major, d.minor));
        p.exported = std::make_unique<DiskExport>(config.exportDir, disks);
        p.watcher = std::make_unique<HostMountWatcher>(
            config.exportDir,
            [&p, this](const std::string &name, const std::string &mountPoint) {
                followHostMount(p, devices_, name, mountPoint);
            },
            [&p](const std::string &name, const std::string &) { dropHostMount(p, name); });
    }
    releaseTimeout_ = config.releaseTimeoutSeconds;
}

Service::~Service() {
    try {
        stop();
    } catch (...) {
        // stop() reports through the kernel log; a destructor must not throw.
    }
}

void Service::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    Parts &p = *parts_;
    // Agents first: their files close, so their backups end as at an exit.
    if (p.control)
        p.control->stop();
    p.captures.reset();
    if (p.moduleLoaded) {
        // Change tracking ends with the machine: the hooks leave the queues
        // before the module goes.
        {
            agent::ControlDevice control;
            unsigned none = 0;
            control.command(VEL_SHUTDOWN, &none);
        }
        p.machine->unload("velmora");
        p.moduleLoaded = false;
    }
    // The host's file systems on the disks are written through to the end:
    // the export stays until the host lets go of its files, or the time is up.
    if (p.exported) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(releaseTimeout_);
        while (p.exported->openFiles() > 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (p.exported->openFiles() > 0)
            std::fprintf(stderr,
                         "velmorad: the host still holds %d exported files; cutting them off\n",
                         p.exported->openFiles());
    }
    p.watcher.reset();
    {
        std::lock_guard<std::mutex> hold(p.hostMountsLock);
        p.hostMounts.clear();
    }
    p.exported.reset();
    p.control.reset();
    for (unsigned dev : p.mounted)
        standin_umount(dev);
    p.mounted.clear();
    p.images.clear();  // each removal syncs its image file
    for (unsigned dev : p.ramDisks)
        standin_disk_remove(dev);
    p.ramDisks.clear();
    if (p.logFd >= 0) {
        standin_klog_console(-1, 0);
        ::close(p.logFd);
        p.logFd = -1;
    }
}

}  // namespace velmora::machine
