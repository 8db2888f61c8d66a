#include "backup_runner.h"

#include "backup_session.h"
#include "backup_state.h"
#include "driver_statistics.h"
#include "key_store.h"
#include "transfer_buffer.h"

#include <chrono>
#include <cstring>
#include <vector>

namespace velmora::agent {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A refusal of the driver that comes from a backup it gave up on is the
// backup's failure, told by its state; any other stays what it is.
template <typename Command>
void orBackupFailed(const BackupSession &session, Command command) {
    try {
        command();
    } catch (const CommandError &) {
        uint32_t state = session.state().state;
        if (!backupStateIsSound(state))
            throw BackupFailed(state);
        throw;
    }
}

// Whether the driver's last word on a snapshot was that the key did not
// match: the refusal shares its status with a failed freeze.
bool keyWasRefused(const BackupSession &session) {
    const std::string log = readKernelLog(*session.device().system(), 8192);
    const std::string mismatch = "ioctlSnapShot: session key mismatch";
    std::size_t last = log.rfind("ioctlSnapShot: ");
    return last != std::string::npos && log.compare(last, mismatch.size(), mismatch) == 0;
}

// Why the previous key is of no use before the snapshot, or empty.
std::string keyUnusable(const BackupRequest &rq, const BackupDestination &destination,
                        uint32_t blockSize, uint32_t totalBlocks) {
    // Found missing after the snapshot, the base would cost the key.
    if (std::string problem = destination.baseProblem(rq.deviceName, blockSize, totalBlocks);
        !problem.empty())
        return problem;
    if (rq.expectBlockSize && rq.expectBlockSize != blockSize)
        return "the last backup had blocks of " + std::to_string(rq.expectBlockSize) +
               " bytes and " + rq.deviceName + " now has blocks of " + std::to_string(blockSize);
    if (rq.expectTotalBlocks && rq.expectTotalBlocks != totalBlocks)
        return "the last backup had " + std::to_string(rq.expectTotalBlocks) + " blocks and " +
               rq.deviceName + " now has " + std::to_string(totalBlocks);
    return {};
}

// Takes the snapshot with the previous key when it can be used; else a full
// backup's, or throws FullBackupNeeded. Returns whether the key was used.
bool takeSnapshot(const BackupSession &session, const BackupRequest &rq, std::string *reason) {
    std::optional<SessionKey> key = rq.previousKey;
    if (key && !reason->empty()) {
        if (!rq.fallBackToFull)
            throw FullBackupNeeded(*reason + "; a full backup is needed");
        key.reset();
    }
    // A full backup starts change tracking anew: on a machine that runs on,
    // the device may be tracked for a key this agent does not hold.
    if (!key) {
        session.noLoadFromAutoMap();
        session.snapshot(SessionKey::none());
        return false;
    }
    try {
        session.snapshot(*key);
        return true;
    } catch (const CommandError &e) {
        if (e.status() != 2 || session.state().state != VEL_STATE_STARTED ||
            !keyWasRefused(session))
            throw;
    }
    const std::string why = "the key does not match the last backup of " + rq.deviceName +
                            " (a later backup was made with "
                            "another key, or a run was stopped after its snapshot)";
    if (!rq.fallBackToFull)
        throw FullBackupNeeded("the snapshot was refused: " + why + "; a full backup is needed");
    *reason = "the machine refused the key: " + why;
    session.noLoadFromAutoMap();
    session.snapshot(SessionKey::none());
    return false;
}

}  // namespace

BackupReport runBackup(const BackupRequest &rq) {
    BackupSession session(rq.devicePath, rq.system);
    BlockSize bs = session.blockSize(rq.major, rq.minor);
    BackupReport report;
    report.blockSize = static_cast<uint32_t>(bs.blockSize);
    report.totalBlocks =
        static_cast<uint32_t>(static_cast<uint64_t>(bs.partitionSizeKB) * 1024 / report.blockSize);
    const std::shared_ptr<BackupDestination> destination =
        rq.destination ? rq.destination : imageDestination(rq.imagePath, rq.baseImage);
    std::string reason = rq.previousKey
                             ? keyUnusable(rq, *destination, report.blockSize, report.totalBlocks)
                             : std::string();

    session.start(rq.major, rq.minor, report.totalBlocks, rq.maxCacheBlocks);
    auto snapshotStart = Clock::now();
    bool keyUsed = takeSnapshot(session, rq, &reason);
    report.snapshotSeconds = secondsSince(snapshotStart);
    report.snapshotTime = utcNow();
    if (rq.afterSnapshot)
        rq.afterSnapshot();
    report.newKey.raw = session.automapState().amsKey;

    report.copied = BlockBitmap(report.totalBlocks, true);
    if (keyUsed) {
        try {
            BlockBitmap changed = session.automap(report.totalBlocks);
            report.blocksChanged = changed.count();
            if (rq.carriedBlocks && rq.carriedBlocks->blocks() == changed.blocks())
                changed.merge(*rq.carriedBlocks);
            else if (rq.carriedBlocks)
                changed = BlockBitmap(report.totalBlocks, true);
            report.copied = std::move(changed);
            report.incremental = true;
        } catch (const CommandError &e) {
            if (e.status() != VEL_ERR_INVALID)
                throw;
            reason =
                "the machine kept no record of the blocks changed since the last backup (it "
                "was restarted, or its module reloaded, since)";
        }
    }
    if (rq.previousKey)
        report.fullReason = reason;
    orBackupFailed(session, [&] { session.loadBlockMap(report.copied); });
    if (rq.onSnapshot)
        rq.onSnapshot(report.newKey, report.copied);
    if (rq.beforeReads)
        rq.beforeReads();

    State st = session.state();
    TransferBuffer buffer(session.device(), static_cast<std::size_t>(st.mmapSize));
    uint32_t perRead = static_cast<uint32_t>(buffer.size() / report.blockSize);
    destination->open(report.incremental, report.snapshotTime, report.blockSize, report.totalBlocks,
                      rq.expectBase);
    BackupProgress progress{0, report.copied.count(), report.blockSize, 0};
    auto copyStart = Clock::now();
    // The blocks are copied out of the mapping before the write: the mapping's
    // pages appear at the first touch, which a write(2) of them would not give.
    std::vector<char> chunk(buffer.size());
    for (const auto &run : report.copied.runs(perRead)) {
        orBackupFailed(session, [&] { session.readBlocks(run.start, run.length, buffer); });
        std::size_t bytes = static_cast<std::size_t>(run.length) * report.blockSize;
        std::memcpy(chunk.data(), buffer.data(), bytes);
        destination->write(static_cast<uint64_t>(run.start) * report.blockSize, chunk.data(),
                           bytes);
        report.blocksCopied += run.length;
        if (rq.progress) {
            progress.blocksDone = report.blocksCopied;
            progress.seconds = secondsSince(copyStart);
            rq.progress(progress);
        }
    }
    report.copySeconds = secondsSince(copyStart);
    // A backup the driver gave up on after the last read still read blocks a
    // writer may have overtaken: only a sound state vouches for them.
    uint32_t state = session.state().state;
    if (!backupStateIsSound(state))
        throw BackupFailed(state);
    auto commitStart = Clock::now();
    report.image = destination->commit();
    report.commitSeconds = secondsSince(commitStart);
    return report;
}

}  // namespace velmora::agent
