// full, incremental and backup: one device's backup, told in words with its
// progress on a terminal, or as one JSON object.
#include "commands.h"
#include "json_report.h"
#include "progress_meter.h"

#include <backup_state.h>
#include <control_device.h>
#include <image_check.h>
#include <store_destination.h>

#include <cstdio>
#include <optional>
#include <sstream>

namespace velmora::cli {

using nlohmann::json;

namespace {

const char *askedName(agent::BackupKind kind) {
    switch (kind) {
        case agent::BackupKind::Full:
            return "full";
        case agent::BackupKind::Incremental:
            return "incremental";
        default:
            return "backup";
    }
}

// What an earlier run left undone, in words.
std::string earlierRunNote(const agent::EarlierRun &e) {
    std::string what = e.killed ? "the run started at " + e.started + " (pid " +
                                      std::to_string(e.pid) + ") stopped before its end"
                                : "the run started at " + e.started + " failed: " + e.reason;
    return what + "; the image and key of the backup before it were kept";
}

// The driver's error lines from the newest part of the kernel log: its side
// of a command it refused.
std::vector<std::string> kernelErrors(agent::SystemCalls &system) {
    std::vector<std::string> lines;
    std::istringstream log(agent::readKernelLog(system, 4096));
    for (std::string line; std::getline(log, line);)
        // The snapshot's "Going to freez" is logged as an error but is none.
        if (line.size() > 3 && line[0] == '<' && line[1] <= '3' &&
            line.find("Going to freez") == std::string::npos)
            lines.push_back(line.substr(3));
    return lines;
}

// The point a backup into the store became; none for an image file.
using StoredPoint = std::optional<agent::store::PointInfo>;

json resultJson(const BackupCommand &c, const BackupTarget &t, const agent::DeviceBackupResult &r,
                const StoredPoint &point) {
    const agent::BackupReport &rep = r.report;
    const double frozen =
        std::atof(agent::statistic(r.statistics, "time frozen in seconds").c_str());
    const double toFreeze =
        std::atof(agent::statistic(r.statistics, "time to freeze in seconds").c_str());
    json j{{"command", askedName(c.kind)},
           {"outcome", "ok"},
           {"device", {{"name", t.device}, {"major", t.major}, {"minor", t.minor}}},
           {"target", t.description},
           {"kind", rep.incremental ? "incremental" : "full"},
           {"why", rep.incremental ? "the blocks changed since the last backup" : r.fullReason},
           {"resumed", r.resumed},
           {"blockSize", rep.blockSize},
           {"blocks", rep.totalBlocks},
           {"blocksChanged", rep.incremental ? json(rep.blocksChanged) : json(nullptr)},
           {"blocksCopied", rep.blocksCopied},
           {"bytesCopied", static_cast<uint64_t>(rep.blocksCopied) * rep.blockSize},
           {"durations",
            {{"total", r.seconds},
             {"snapshot", rep.snapshotSeconds},
             {"copy", rep.copySeconds},
             {"commit", rep.commitSeconds},
             {"frozen", frozen},
             {"toFreeze", toFreeze}}},
           {"driverStatistics", statisticsJson(r.statistics)},
           {"snapshotTime", r.snapshotTime},
           {"keyFile", r.keyFile}};
    if (point) {
        j["store"] = r.image;
        j["point"] = point->id;
        j["storedBytes"] = point->storedBytes;
    } else {
        j["image"] = r.image;
    }
    if (!t.fileSystem.empty())
        j["fileSystem"] = t.fileSystem;
    if (r.earlierRun)
        j["earlierRun"] = {{"outcome", r.earlierRun->killed ? "stopped" : "failed"},
                           {"started", r.earlierRun->started},
                           {"pid", r.earlierRun->pid},
                           {"reason", r.earlierRun->reason},
                           {"note", earlierRunNote(*r.earlierRun)}};
    return j;
}

void printWords(const BackupCommand &c, const BackupTarget &t, const agent::DeviceBackupResult &r,
                const StoredPoint &point) {
    const agent::BackupReport &rep = r.report;
    const uint64_t total = static_cast<uint64_t>(rep.totalBlocks) * rep.blockSize;
    const uint64_t copied = static_cast<uint64_t>(rep.blocksCopied) * rep.blockSize;
    std::printf("velmora-agent: %s backup of %s\n", rep.incremental ? "incremental" : "full",
                t.description.c_str());
    std::printf("  %s%sblock size %u, %u blocks (%s)\n",
                t.fileSystem.empty() ? "" : ("file system " + t.fileSystem).c_str(),
                t.fileSystem.empty() ? "" : ", ", rep.blockSize, rep.totalBlocks,
                mib(total).c_str());
    if (rep.incremental)
        std::printf("  %u blocks changed since the last backup%s\n", rep.blocksChanged,
                    r.resumed ? ", plus those of the run that stopped" : "");
    else if (c.kind != agent::BackupKind::Full)
        std::printf("  every block was copied: %s\n", r.fullReason.c_str());
    const std::string where = point ? "point " + std::to_string(point->id) + " of " + r.image +
                                          " (" + mib(point->storedBytes) + " stored)"
                                    : r.image;
    std::printf("  copied %u blocks (%s) into %s in %.3f s", rep.blocksCopied, mib(copied).c_str(),
                where.c_str(), r.seconds);
    const std::string frozen = agent::statistic(r.statistics, "time frozen in seconds");
    if (frozen.empty())
        std::printf("\n");
    else
        std::printf("; file system frozen for %s s\n", frozen.c_str());
    std::printf("  key saved in %s\n", r.keyFile.c_str());
}

}  // namespace

int reportFailure(const char *command, const Output &output, const std::string &message) {
    std::fprintf(stderr, "velmora-agent: %s\n", message.c_str());
    if (output.json)
        printJson({{"command", command}, {"outcome", "failed"}, {"error", {{"message", message}}}});
    return 1;
}

int runBackupCommand(const BackupCommand &c) {
    std::optional<BackupTarget> target;
    try {
        target.emplace(c.target);
    } catch (const std::exception &e) {
        return reportFailure(askedName(c.kind), c.output, e.what());
    }
    ProgressMeter meter(stderr, !c.output.quiet);
    agent::DeviceBackupRequest rq;
    rq.kind = c.kind;
    rq.system = target->system;
    rq.device = target->device;
    rq.major = target->major;
    rq.minor = target->minor;
    std::shared_ptr<agent::store::StoreDestination> toStore;
    const std::string storeDir = storeDirectory({c.store, ""});
    if (c.image.empty()) {
        toStore = std::make_shared<agent::store::StoreDestination>(
            storeDir, agent::deviceRecordName(target->device));
        rq.destination = toStore;
    } else {
        rq.image = c.image;
    }
    rq.keyDirectory = c.keyDirectory;
    rq.maxCacheBlocks = c.maxCacheBlocks;
    rq.progress = [&](const agent::BackupProgress &p) { meter.update(p); };
    agent::DeviceBackupResult result;
    try {
        result = agent::backUpDevice(rq);
        meter.finish();
    } catch (const std::exception &e) {
        meter.finish();
        std::fprintf(stderr, "velmora-agent: the %s of %s failed: %s\n",
                     c.kind == agent::BackupKind::Automatic ? "backup"
                     : c.kind == agent::BackupKind::Full    ? "full backup"
                                                            : "incremental backup",
                     target->description.c_str(), e.what());
        const bool driver = dynamic_cast<const agent::CommandError *>(&e) ||
                            dynamic_cast<const agent::BackupFailed *>(&e);
        if (driver)
            for (const std::string &line :
                 kernelErrors(target->system ? *target->system : *agent::inProcessSystemCalls()))
                std::fprintf(stderr, "  kernel: %s\n", line.c_str());
        std::fprintf(stderr, toStore ? "  the points already in the store and the key of the last "
                                       "backup were left as they were\n"
                                     : "  the image and the key of the last backup were left as "
                                       "they were\n");
        if (c.output.json)
            printJson({{"command", askedName(c.kind)},
                       {"outcome", "failed"},
                       {"device", target->device},
                       {toStore ? "store" : "image", toStore ? storeDir : c.image},
                       {"error", errorJson(e)}});
        return 1;
    }
    const StoredPoint point = toStore ? toStore->committed() : std::nullopt;
    if (!c.output.json && !c.output.quiet) {
        if (result.earlierRun)
            std::printf("note: %s\n", earlierRunNote(*result.earlierRun).c_str());
        printWords(c, *target, result, point);
    }
    json j = resultJson(c, *target, result, point);
    int exitCode = 0;
    if (c.verify) {
        try {
            agent::ImageCheckOptions options;
            options.blockSize = result.report.blockSize;
            agent::ImageCheck check =
                point ? checkPoint(storeDir, agent::deviceRecordName(target->device), point->id,
                                   point->blockSize)
                      : agent::checkImage(result.image, options);
            j["verify"] = checkJson(check);
            if (!c.output.json && !c.output.quiet)
                std::printf("  verify: %s\n", check.summary.c_str());
            if (check.outcome == agent::CheckOutcome::Failed) {
                std::fprintf(stderr, "velmora-agent: the new backup failed its check: %s\n",
                             check.summary.c_str());
                exitCode = 1;
            }
        } catch (const std::exception &e) {
            j["verify"] = {{"outcome", "error"}, {"summary", e.what()}};
            std::fprintf(stderr, "velmora-agent: the new backup could not be checked: %s\n",
                         e.what());
            exitCode = 1;
        }
        if (exitCode)
            j["outcome"] = "verify-failed";
    }
    if (c.output.json)
        printJson(j);
    return exitCode;
}

}  // namespace velmora::cli
