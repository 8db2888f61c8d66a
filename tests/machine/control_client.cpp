// An agent in a process of its own, for the control socket's tests: it
// reaches the machine through the socket only.
//   backup <socket> <major> <minor> <image> <pause ms after the snapshot>
//   hold <socket> <major> <minor>   a backup mid-way (without change tracking),
//                                   until its input ends
//   start <socket> <major> <minor>  the driver's answer to a start
//   probes <socket>                 the answers of pointer_probes.h
#include "pointer_probes.h"

#include <backup_runner.h>
#include <backup_session.h>
#include <remote_system_calls.h>
#include <transfer_buffer.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

using namespace velmora;

namespace {

uint32_t partitionBlocks(const agent::BackupSession &s, unsigned major, unsigned minor) {
    BlockSize bs = s.blockSize(major, minor);
    return static_cast<uint32_t>(static_cast<uint64_t>(bs.partitionSizeKB) * 1024 /
                                 static_cast<uint64_t>(bs.blockSize));
}

int backup(char **a) {
    agent::BackupRequest req;
    req.system = agent::connectToMachine(a[0]);
    req.major = static_cast<unsigned>(std::stoul(a[1]));
    req.minor = static_cast<unsigned>(std::stoul(a[2]));
    req.imagePath = a[3];
    const auto pause = std::chrono::milliseconds(std::stoul(a[4]));
    req.afterSnapshot = [pause] { std::this_thread::sleep_for(pause); };
    agent::BackupReport r = agent::runBackup(req);
    std::printf("copied %u of %u\n", r.blocksCopied, r.totalBlocks);
    return 0;
}

int hold(char **a) {
    const unsigned major = static_cast<unsigned>(std::stoul(a[1]));
    const unsigned minor = static_cast<unsigned>(std::stoul(a[2]));
    agent::BackupSession s("/dev/velmora", agent::connectToMachine(a[0]));
    const uint32_t blocks = partitionBlocks(s, major, minor);
    s.start(major, minor, blocks, 1u << 20);
    // No change tracking: a full backup after this one needs no key.
    s.noStartAutoMap();
    s.snapshot(agent::SessionKey::none());
    s.loadBlockMap(agent::BlockBitmap(blocks, true));
    agent::TransferBuffer buffer(s.device(), static_cast<std::size_t>(s.state().mmapSize));
    const uint32_t perRead = static_cast<uint32_t>(buffer.size() / s.state().blockSize);
    s.readBlocks(0, std::min(perRead, blocks), buffer);
    std::printf("holding\n");
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}

int start(char **a) {
    const unsigned major = static_cast<unsigned>(std::stoul(a[1]));
    const unsigned minor = static_cast<unsigned>(std::stoul(a[2]));
    agent::BackupSession s("/dev/velmora", agent::connectToMachine(a[0]));
    int status = 0;
    try {
        s.start(major, minor, partitionBlocks(s, major, minor), 1u << 20);
    } catch (const agent::CommandError &e) {
        status = e.status();
    }
    std::printf("start %d\n", status);
    return 0;
}

int probes(char **a) {
    agent::ControlDevice dev("/dev/velmora", agent::connectToMachine(a[0]));
    for (const auto &[name, answer] : test::runPointerProbes(dev))
        std::printf("%s=%d\n", name.c_str(), answer);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "backup" && argc == 7)
            return backup(argv + 2);
        if (mode == "hold" && argc == 5)
            return hold(argv + 2);
        if (mode == "start" && argc == 5)
            return start(argv + 2);
        if (mode == "probes" && argc == 3)
            return probes(argv + 2);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "control-client %s: %s\n", mode.c_str(), e.what());
        return 1;
    }
    std::fprintf(stderr, "control-client: bad arguments\n");
    return 2;
}
