// velmora-agent: a full or incremental backup of one partition, made by the
// velmora driver: of a running machine (velmorad) reached through its socket,
// or of a disk image file attached to a stand-in kernel booted for the run.
#include "cli_options.h"
#include "machine_device.h"

#include <backup_runner.h>
#include <remote_system_calls.h>

#include <attached_disk.h>
#include <logged_stats.h>
#include <machine.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

using namespace velmora;

namespace {

std::string mib(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

// frozenSeconds: what the driver logged, when its log is at hand.
void printReport(const cli::CliOptions &o, const std::string &fsType, const agent::BackupReport &r,
                 double seconds, const std::string &frozenSeconds) {
    const uint64_t blockBytes = r.blockSize;
    if (o.machine.empty())
        std::printf("velmora-agent: %s backup of partition %d of %s\n",
                    o.incremental ? "incremental" : "full", o.partition, o.disk.c_str());
    else
        std::printf("velmora-agent: %s backup of %s of the machine on %s\n",
                    o.incremental ? "incremental" : "full", o.device.c_str(), o.machine.c_str());
    if (fsType.empty())
        std::printf("  block size %u, %u blocks (%s)\n", r.blockSize, r.totalBlocks,
                    mib(r.totalBlocks * blockBytes).c_str());
    else
        std::printf("  file system %s, block size %u, %u blocks (%s)\n", fsType.c_str(),
                    r.blockSize, r.totalBlocks, mib(r.totalBlocks * blockBytes).c_str());
    if (o.incremental && r.incremental)
        std::printf("  changed since the backup that wrote %s: %u blocks\n", o.keyFile.c_str(),
                    r.blocksCopied);
    else if (o.incremental && o.machine.empty())
        std::printf(
            "  no changed-block map for the key in %s: change tracking lives in the driver's\n"
            "  memory and starts anew with each boot, so every block was copied\n",
            o.keyFile.c_str());
    else if (o.incremental)
        std::printf(
            "  the machine has no changed-block map for the key in %s (restarted since?),\n"
            "  so every block was copied\n",
            o.keyFile.c_str());
    std::printf("  copied %u blocks (%s) into %s in %.3f s", r.blocksCopied,
                mib(r.blocksCopied * blockBytes).c_str(), o.image.c_str(), seconds);
    if (frozenSeconds.empty())
        std::printf("\n");
    else
        std::printf("; file system frozen for %s s\n", frozenSeconds.c_str());
    std::printf("  new session key saved in %s\n", o.keyFile.c_str());
}

// The backup of one device, its new key saved; *seconds is how long it took.
agent::BackupReport backUp(const cli::CliOptions &o, agent::BackupRequest req, double *seconds) {
    req.imagePath = o.image;
    if (o.incremental)
        req.previousKey = agent::SessionKey::load(o.keyFile);
    auto started = std::chrono::steady_clock::now();
    agent::BackupReport report = agent::runBackup(req);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    report.newKey.save(o.keyFile);
    return report;
}

// A backup on a running machine: the agent is a process of its own.
int runOnMachine(const cli::CliOptions &o) {
    const cli::MachineDevice device = cli::resolveMachineDevice(o.machine, o.device);
    agent::BackupRequest req;
    req.system = agent::connectToMachine(o.machine);
    req.major = device.major;
    req.minor = device.minor;
    double seconds = 0;
    agent::BackupReport report = backUp(o, req, &seconds);
    printReport(o, "", report, seconds, "");
    return 0;
}

int run(const cli::CliOptions &o) {
    if (!o.machine.empty())
        return runOnMachine(o);
    sim::Machine machine;
    sim::AttachedDisk disk(o.disk);
    disk.mount(o.partition);
    const std::string fsType = disk.fsType(o.partition);
    machine.load(sim::velmoraModulePath());

    agent::BackupRequest req;
    req.major = disk.major();
    req.minor = static_cast<unsigned>(o.partition);
    double seconds = 0;
    agent::BackupReport report = backUp(o, req, &seconds);
    machine.unload("velmora");
    printReport(o, fsType, report, seconds, sim::loggedStat("time frozen in seconds"));
    return 0;
}

// The machine's newest kernel lines of an error level (KERN_ERR and worse):
// what the driver said about a command it refused. Best effort.
void printMachineErrors(const std::string &socket) {
    try {
        std::istringstream lines(agent::machineKernelLog(socket, 8192));
        std::string line;
        while (std::getline(lines, line))
            if (line.size() > 3 && line[0] == '<' && line[1] <= '3')
                std::fprintf(stderr, "  kernel: %s\n", line.c_str() + 3);
    } catch (const std::exception &) {
        std::fprintf(stderr, "  (the machine's kernel log has the driver's side)\n");
    }
}

// velmora-agent log [--machine SOCKET]: the machine's kernel log, newest lines.
int printMachineLog(const std::vector<std::string> &args) {
    const char *env = std::getenv("VELMORA_MACHINE");
    std::string socket = env ? env : "";
    if (args.size() == 3 && args[1] == "--machine")
        socket = args[2];
    else if (args.size() != 1 || socket.empty()) {
        std::fprintf(stderr, "velmora-agent: log takes --machine SOCKET (or VELMORA_MACHINE)\n");
        return 2;
    }
    try {
        std::fputs(agent::machineKernelLog(socket).c_str(), stdout);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-agent: %s\n", e.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(cli::kUsage, stdout);
        return 0;
    }
    if (!args.empty() && args[0] == "log")
        return printMachineLog(args);
    cli::CliOptions options;
    try {
        const char *machine = std::getenv("VELMORA_MACHINE");
        options = cli::parseCommandLine(args, machine ? machine : "");
    } catch (const cli::UsageError &e) {
        std::fprintf(stderr, "velmora-agent: %s\n%s", e.what(), cli::kUsage);
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-agent: %s\n", e.what());
        if (!options.machine.empty()) {
            printMachineErrors(options.machine);
            return 1;
        }
        for (const auto &line : sim::Machine::log())
            if (line.level <= 3)
                std::fprintf(stderr, "  kernel: %s\n", line.text.c_str());
        return 1;
    }
}
