#include "device_backup.h"

#include "control_device.h"

#include <chrono>
#include <filesystem>

namespace velmora::agent {

namespace {

const char *kindName(bool incremental) {
    return incremental ? "incremental" : "full";
}

// Why the kept key and image cannot carry an incremental, or empty.
std::string whyNotIncremental(const DeviceBackupRequest &rq, const BackupDestination &destination,
                              const std::optional<KeyRecord> &last, const std::string &keyDir) {
    const std::string image = destination.where();
    if (rq.kind == BackupKind::Full)
        return "a full backup was asked for";
    if (!last)
        return "no earlier backup of " + rq.device + " is recorded in " + keyDir;
    if (last->major != rq.major || last->minor != rq.minor)
        return "the kept key belongs to device " + std::to_string(last->major) + ":" +
               std::to_string(last->minor) + ", not to " + rq.device;
    if (last->image != image)
        return "the last backup of " + rq.device + " went to " + last->image + ", not to " + image;
    std::optional<ImageIdentity> now = destination.lastIdentity();
    if (!now)
        return "the last backup of " + rq.device + ", " + image + ", is missing";
    if (!(*now == last->imageIdentity))
        return image + " was changed, copied or replaced since the last backup saved its key";
    return {};
}

}  // namespace

std::string deviceRecordName(const std::string &device) {
    std::string name = device;
    for (char &c : name)
        if (c == '/' || c == ':' || c == '\\')
            c = '-';
    return name.empty() || name[0] == '.' ? "device-" + name : name;
}

DeviceBackupResult backUpDevice(const DeviceBackupRequest &rq) {
    auto started = std::chrono::steady_clock::now();
    const std::string keyDir =
        rq.keyDirectory.empty() ? KeyStore::defaultDirectory() : rq.keyDirectory;
    KeyStore keys(keyDir, deviceRecordName(rq.device));
    DeviceBackupResult result;
    const std::shared_ptr<BackupDestination> destination =
        rq.destination ? rq.destination : imageDestination(rq.image);
    result.image = destination->where();
    result.keyFile = keys.keyPath();
    const char *asked = rq.kind == BackupKind::Full          ? "full"
                        : rq.kind == BackupKind::Incremental ? "incremental"
                                                             : "backup";
    result.earlierRun = keys.beginRun(asked, result.image);
    try {
        std::optional<KeyRecord> last = keys.last();
        const std::string why = whyNotIncremental(rq, *destination, last, keyDir);
        if (!why.empty() && rq.kind == BackupKind::Incremental)
            throw FullBackupNeeded(why + "; a full backup is needed");

        BackupRequest backup;
        backup.devicePath = rq.devicePath;
        backup.system = rq.system;
        backup.major = rq.major;
        backup.minor = rq.minor;
        backup.deviceName = rq.device;
        backup.destination = destination;
        backup.maxCacheBlocks = rq.maxCacheBlocks;
        backup.fallBackToFull = rq.kind == BackupKind::Automatic;
        backup.progress = rq.progress;
        backup.afterSnapshot = rq.afterSnapshot;
        backup.beforeReads = rq.beforeReads;
        std::optional<ImageIdentity> base;
        if (why.empty()) {
            backup.previousKey = last->key;
            backup.expectBlockSize = last->blockSize;
            backup.expectTotalBlocks = last->totalBlocks;
            base = last->imageIdentity;
            backup.expectBase = base;
            // A run stopped after its snapshot left the driver its key: go
            // on from there, with the blocks that run was to copy.
            if (std::optional<PendingKey> pending = keys.pending();
                pending && pending->base == *base) {
                backup.previousKey = pending->key;
                backup.carriedBlocks = std::move(pending->blocks);
                result.resumed = true;
            }
        }
        backup.onSnapshot = [&](const SessionKey &key, const BlockBitmap &blocks) {
            if (base)
                keys.savePending({key, *base, blocks});
        };
        result.report = runBackup(backup);
        result.resumed = result.resumed && result.report.incremental;
        result.fullReason = result.report.incremental
                                ? std::string()
                                : (why.empty() ? result.report.fullReason : why);
        result.snapshotTime = result.report.snapshotTime;

        KeyRecord record;
        record.device = rq.device;
        record.major = rq.major;
        record.minor = rq.minor;
        record.blockSize = result.report.blockSize;
        record.totalBlocks = result.report.totalBlocks;
        record.kind = kindName(result.report.incremental);
        record.time = result.snapshotTime;
        record.image = result.image;
        record.imageIdentity = result.report.image;
        record.key = result.report.newKey;
        // Only now: the image the key belongs to is durable.
        keys.saveBackup(record, result.report.copied);
    } catch (const std::exception &e) {
        try {
            keys.failRun(e.what());
        } catch (const std::exception &) {
            // The failure itself is what the person must hear of.
        }
        throw;
    }
    SystemCalls &system = rq.system ? *rq.system : *inProcessSystemCalls();
    result.statistics = parseDriverStatistics(readKernelLog(system), rq.major, rq.minor);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
}

}  // namespace velmora::agent
