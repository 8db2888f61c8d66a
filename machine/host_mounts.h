// The host's mounts of the files a disk export shows: a loop device whose
// backing file is one of them, mounted somewhere. The service follows them so
// that a freeze of the device reaches the host's file system on it.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace velmora::machine {

// Exported file name ("sda1") -> the host's mount point of it, read from
// /proc/self/mountinfo and the loop devices' backing files.
std::map<std::string, std::string> hostMountsOf(const std::string &exportDir);

// Polls the host's mounts and reports each one that appears or goes.
class HostMountWatcher {
  public:
    using Change = std::function<void(const std::string &name, const std::string &mountPoint)>;
    HostMountWatcher(std::string exportDir, Change mounted, Change unmounted);
    ~HostMountWatcher();  // reports every mount still known as gone
    HostMountWatcher(const HostMountWatcher &) = delete;
    HostMountWatcher &operator=(const HostMountWatcher &) = delete;

    // Looks now rather than at the next poll.
    void refresh();

  private:
    void run();

    std::string exportDir_;
    Change mounted_, unmounted_;
    std::map<std::string, std::string> known_;
    std::mutex mutex_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace velmora::machine
