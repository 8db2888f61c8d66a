// velmora-agent: a full or incremental backup of one partition of a disk
// image file, made by the velmora driver on a freshly booted stand-in kernel
// with the image attached as its disk.
#include "cli_options.h"

#include <backup_runner.h>

#include <attached_disk.h>
#include <logged_stats.h>
#include <machine.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

using namespace velmora;

namespace {

std::string mib(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

void printReport(const cli::CliOptions &o, const std::string &fsType, const agent::BackupReport &r,
                 double seconds) {
    const uint64_t blockBytes = r.blockSize;
    std::printf("velmora-agent: %s backup of partition %d of %s\n",
                o.incremental ? "incremental" : "full", o.partition, o.disk.c_str());
    std::printf("  file system %s, block size %u, %u blocks (%s)\n", fsType.c_str(), r.blockSize,
                r.totalBlocks, mib(r.totalBlocks * blockBytes).c_str());
    if (o.incremental && r.incremental)
        std::printf("  changed since the backup that wrote %s: %u blocks\n", o.keyFile.c_str(),
                    r.blocksCopied);
    else if (o.incremental)
        std::printf(
            "  no changed-block map for the key in %s: change tracking lives in the driver's\n"
            "  memory and starts anew with each boot, so every block was copied\n",
            o.keyFile.c_str());
    std::printf("  copied %u blocks (%s) into %s in %.3f s; file system frozen for %s s\n",
                r.blocksCopied, mib(r.blocksCopied * blockBytes).c_str(), o.image.c_str(), seconds,
                sim::loggedStat("time frozen in seconds").c_str());
    std::printf("  new session key saved in %s\n", o.keyFile.c_str());
}

int run(const cli::CliOptions &o) {
    sim::Machine machine;
    sim::AttachedDisk disk(o.disk);
    disk.mount(o.partition);
    const std::string fsType = disk.fsType(o.partition);
    machine.load(sim::velmoraModulePath());

    agent::BackupRequest req;
    req.major = disk.major();
    req.minor = static_cast<unsigned>(o.partition);
    req.imagePath = o.image;
    if (o.incremental)
        req.previousKey = agent::SessionKey::load(o.keyFile);
    auto started = std::chrono::steady_clock::now();
    agent::BackupReport report = agent::runBackup(req);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    report.newKey.save(o.keyFile);
    machine.unload("velmora");
    printReport(o, fsType, report, took.count());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(cli::kUsage, stdout);
        return 0;
    }
    cli::CliOptions options;
    try {
        options = cli::parseCommandLine(args);
    } catch (const cli::UsageError &e) {
        std::fprintf(stderr, "velmora-agent: %s\n%s", e.what(), cli::kUsage);
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "velmora-agent: %s\n", e.what());
        for (const auto &line : sim::Machine::log())
            if (line.level <= 3)
                std::fprintf(stderr, "  kernel: %s\n", line.text.c_str());
        return 1;
    }
}
