#include "live_machine.h"

#include <disk_image.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velmora::live {

namespace {

std::string tail(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    return all.size() > 4000 ? all.substr(all.size() - 4000) : all;
}

}  // namespace

std::string described(const CommandResult &r) {
    return "exit " + std::to_string(r.status) + ":\n" + r.output;
}

LiveMachine::LiveMachine(const std::string &dir, unsigned partitionMiB) : dir_(dir) {
    for (const char *sub : {"/export", "/captures", "/mnt"})
        std::filesystem::create_directories(dir_ + sub);
    auto table = sim::buildPartitionedImage(image(), partitionMiB + 2,
                                            {{partitionMiB, "ext4", 4096, false}});
    partitionOffset_ = table.at(0).startSector * 512;
    service_ = std::make_unique<Background>(
        std::vector<std::string>{VELMORAD_PATH, "--image", image(), "--socket", socket(),
                                 "--export", dir_ + "/export", "--log", log(), "--capture-dir",
                                 dir_ + "/captures"},
        dir_ + "/velmorad.out");
    if (!waitForPath(dir_ + "/export/sda1", 30) || !waitForPath(socket(), 30))
        throw std::runtime_error("velmorad did not come up:\n" + tail(dir_ + "/velmorad.out") +
                                 tail(log()));
    CommandResult loop = run({"losetup", "-f", "--show", dir_ + "/export/sda1"});
    if (loop.status != 0)
        throw std::runtime_error("losetup: " + described(loop));
    loop_ = loop.output.substr(0, loop.output.find('\n'));
    CommandResult mount = run({"mount", "-t", "ext4", loop_, mountPoint()});
    if (mount.status != 0)
        throw std::runtime_error("mount: " + described(mount));
    mounted_ = true;
    // Snapshots freeze the host's mount once the service follows it.
    for (int i = 0; i < 500 && shell("grep -q 'freeze the host' " + log()).status != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

LiveMachine::~LiveMachine() {
    releaseHost();
    if (service_->running()) {
        service_->signal(SIGTERM);
        service_->wait();
    }
}

std::string LiveMachine::capture(unsigned n) const {
    return dir_ + "/captures/sda1." + std::to_string(n) + ".img";
}

void LiveMachine::releaseHost() {
    if (mounted_ && run({"umount", mountPoint()}).status != 0)
        run({"umount", "-l", mountPoint()});
    mounted_ = false;
    if (!loop_.empty())
        run({"losetup", "-d", loop_});
    loop_.clear();
}

int LiveMachine::stop() {
    releaseHost();
    service_->signal(SIGTERM);
    return service_->wait();
}

CommandResult agentBackup(const LiveMachine &m, const std::string &kind, const std::string &image,
                          const std::string &keyDir) {
    return run({AGENT_PATH, kind, "--machine", m.socket(), "--device", "sda1", "--image", image,
                "--key-dir", keyDir});
}

}  // namespace velmora::live
