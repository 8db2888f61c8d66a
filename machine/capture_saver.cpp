#include "capture_saver.h"

#include <standin/disk.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

namespace velmora::machine {

CaptureSaver::CaptureSaver(std::string dir, std::vector<DeviceEntry> devices)
    : dir_(std::move(dir)), devices_(std::move(devices)) {
    for (const DeviceEntry &d : devices_)
        standin_capture_arm(STANDIN_MKDEV(d.major, d.minor));
    thread_ = std::thread([this] { run(); });
}

CaptureSaver::~CaptureSaver() {
    stopping_ = true;
    thread_.join();
    for (const DeviceEntry &d : devices_)
        standin_capture_release(STANDIN_MKDEV(d.major, d.minor));
}

// Polls: a capture is taken inside a freeze, which must not wait for us.
// The next freeze is armed again as soon as this one is saved; an agent's
// backups are seconds apart, the poll a few milliseconds.
void CaptureSaver::run() {
    while (!stopping_) {
        for (const DeviceEntry &d : devices_) {
            unsigned long epoch = 0;
            if (standin_capture_taken(STANDIN_MKDEV(d.major, d.minor), &epoch) == 1)
                save(d);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void CaptureSaver::save(const DeviceEntry &d) {
    const unsigned dev = STANDIN_MKDEV(d.major, d.minor);
    const unsigned n = ++saved_[d.name];
    const std::string path = dir_ + "/" + d.name + "." + std::to_string(n) + ".img";
    const std::string partial = path + ".partial";
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(1 << 20);
    const unsigned long long bytes = d.sectors * 512;
    bool ok = static_cast<bool>(out);
    for (unsigned long long at = 0; ok && at < bytes; at += chunk.size()) {
        unsigned long long len = std::min<unsigned long long>(chunk.size(), bytes - at);
        ok = standin_capture_read(dev, at, chunk.data(), len) == 0 &&
             static_cast<bool>(out.write(chunk.data(), static_cast<std::streamsize>(len)));
    }
    out.close();
    standin_capture_release(dev);
    standin_capture_arm(dev);
    // The file appears whole, and only once the next freeze is armed; one
    // that cannot be saved must not pass for a capture.
    if (!ok || !out || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        std::fprintf(stderr, "velmorad: cannot save the capture of %s to %s\n", d.name.c_str(),
                     path.c_str());
    }
}

}  // namespace velmora::machine
