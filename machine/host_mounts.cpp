#include "host_mounts.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace velmora::machine {

namespace {

// mountinfo escapes spaces and a few other characters as \ooo.
std::string unescaped(const std::string &field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::string backingFile(const std::string &loopDevice) {
    const std::string name = loopDevice.substr(loopDevice.rfind('/') + 1);
    std::ifstream in("/sys/block/" + name + "/loop/backing_file");
    std::string path;
    std::getline(in, path);
    return path;
}

}  // namespace

std::map<std::string, std::string> hostMountsOf(const std::string &exportDir) {
    std::map<std::string, std::string> found;
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    const std::string prefix = exportDir + "/";
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, mountPoint, field;
        fields >> id >> parent >> numbers >> root >> mountPoint;
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        fields >> type >> source;
        if (source.rfind("/dev/loop", 0) != 0)
            continue;
        const std::string backing = backingFile(source);
        if (backing.rfind(prefix, 0) == 0)
            found[backing.substr(prefix.size())] = unescaped(mountPoint);
    }
    return found;
}

HostMountWatcher::HostMountWatcher(std::string exportDir, Change mounted, Change unmounted)
    : exportDir_(std::move(exportDir)),
      mounted_(std::move(mounted)),
      unmounted_(std::move(unmounted)) {
    refresh();
    thread_ = std::thread([this] { run(); });
}

HostMountWatcher::~HostMountWatcher() {
    stopping_ = true;
    thread_.join();
    for (const auto &[name, mountPoint] : known_)
        unmounted_(name, mountPoint);
}

void HostMountWatcher::refresh() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::map<std::string, std::string> now = hostMountsOf(exportDir_);
    for (const auto &[name, mountPoint] : known_)
        if (now.count(name) == 0 || now[name] != mountPoint)
            unmounted_(name, mountPoint);
    for (const auto &[name, mountPoint] : now)
        if (known_.count(name) == 0 || known_[name] != mountPoint)
            mounted_(name, mountPoint);
    known_ = std::move(now);
}

// The mount table signals each change to a poller (POLLPRI), so a host mount
// is followed within moments; the timeout only bounds the wait for stop.
void HostMountWatcher::run() {
    int table = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    while (!stopping_) {
        pollfd fd{table, POLLPRI, 0};
        if (table < 0 || poll(&fd, 1, 100) != 0)
            refresh();
    }
    if (table >= 0)
        ::close(table);
}

}  // namespace velmora::machine
