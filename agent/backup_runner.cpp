#include "backup_runner.h"

#include "backup_session.h"
#include "backup_state.h"
#include "transfer_buffer.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace velmora::agent {

namespace {

// The image of this run, written beside the one it replaces and put in its
// place only once the backup is known to be good: a failed or interrupted
// run leaves the previous image as it was, and no new one that looks done.
class PendingImage {
  public:
    PendingImage(const std::string &path, bool incremental, uint64_t bytes)
        : path_(path), partial_(path + ".partial") {
        std::error_code ec;
        std::filesystem::remove(partial_, ec);
        if (incremental) {
            if (!std::filesystem::exists(path_) || std::filesystem::file_size(path_) != bytes)
                throw std::runtime_error("image " + path_ + " does not have the device's size");
            std::filesystem::copy_file(path_, partial_);
        } else {
            std::ofstream create(partial_, std::ios::binary | std::ios::trunc);
            if (!create)
                throw std::runtime_error("cannot create image " + partial_);
        }
        file_.open(partial_, std::ios::binary | std::ios::in | std::ios::out);
        if (!file_)
            throw std::runtime_error("cannot open image " + partial_);
    }
    ~PendingImage() {
        if (committed_)
            return;
        file_.close();
        std::error_code ec;
        std::filesystem::remove(partial_, ec);
    }
    PendingImage(const PendingImage &) = delete;
    PendingImage &operator=(const PendingImage &) = delete;

    void write(uint64_t offset, const char *data, std::size_t bytes) {
        file_.seekp(static_cast<std::streamoff>(offset));
        file_.write(data, static_cast<std::streamsize>(bytes));
    }
    void commit() {
        file_.flush();
        if (!file_)
            throw std::runtime_error("cannot write image " + partial_);
        file_.close();
        std::filesystem::rename(partial_, path_);
        committed_ = true;
    }

  private:
    std::string path_, partial_;
    std::fstream file_;
    bool committed_ = false;
};

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

// The blocks to copy: those written since the previous snapshot when the
// driver has them, else all of them.
BlockBitmap blocksToCopy(const BackupSession &session, uint32_t totalBlocks, bool wantIncremental,
                         bool *incremental) {
    *incremental = false;
    if (wantIncremental) {
        try {
            BlockBitmap changed = session.automap(totalBlocks);
            *incremental = true;
            return changed;
        } catch (const CommandError &e) {
            if (e.status() != VEL_ERR_INVALID)
                throw;
        }
    }
    return BlockBitmap(totalBlocks, true);
}

}  // namespace

BackupReport runBackup(const BackupRequest &request) {
    BackupSession session(request.devicePath, request.system);
    BlockSize bs = session.blockSize(request.major, request.minor);
    BackupReport report;
    report.blockSize = static_cast<uint32_t>(bs.blockSize);
    report.totalBlocks =
        static_cast<uint32_t>(static_cast<uint64_t>(bs.partitionSizeKB) * 1024 / report.blockSize);

    session.start(request.major, request.minor, report.totalBlocks, request.maxCacheBlocks);
    // A full backup starts change tracking anew: on a machine that runs on,
    // the device may be tracked for a key this agent does not hold.
    if (!request.previousKey)
        session.noLoadFromAutoMap();
    session.snapshot(request.previousKey.value_or(SessionKey::none()));
    if (request.afterSnapshot)
        request.afterSnapshot();
    report.newKey.raw = session.automapState().amsKey;

    bool incremental = false;
    report.copied =
        blocksToCopy(session, report.totalBlocks, request.previousKey.has_value(), &incremental);
    report.incremental = incremental;
    orBackupFailed(session, [&] { session.loadBlockMap(report.copied); });
    if (request.beforeReads)
        request.beforeReads();

    State st = session.state();
    TransferBuffer buffer(session.device(), static_cast<std::size_t>(st.mmapSize));
    uint32_t perRead = static_cast<uint32_t>(buffer.size() / report.blockSize);
    PendingImage image(request.imagePath, incremental,
                       static_cast<uint64_t>(report.totalBlocks) * report.blockSize);
    // The blocks are copied out of the mapping before the write: the mapping's
    // pages appear at the first touch, which a write(2) of them would not give.
    std::vector<char> chunk(buffer.size());
    for (const auto &run : report.copied.runs(perRead)) {
        orBackupFailed(session, [&] { session.readBlocks(run.start, run.length, buffer); });
        std::size_t bytes = static_cast<std::size_t>(run.length) * report.blockSize;
        std::memcpy(chunk.data(), buffer.data(), bytes);
        image.write(static_cast<uint64_t>(run.start) * report.blockSize, chunk.data(), bytes);
        report.blocksCopied += run.length;
    }
    // A backup the driver gave up on after the last read still read blocks a
    // writer may have overtaken: only a sound state vouches for them.
    uint32_t state = session.state().state;
    if (!backupStateIsSound(state))
        throw BackupFailed(state);
    image.commit();
    return report;
}

}  // namespace velmora::agent
