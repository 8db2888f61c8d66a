#include "backup_runner.h"

#include "backup_session.h"
#include "transfer_buffer.h"

#include <cstring>
#include <fstream>
#include <vector>
#include <stdexcept>

namespace velmora::agent {

namespace {

std::fstream openImage(const std::string &path, bool incremental, uint64_t bytes) {
    if (!incremental) {
        std::ofstream create(path, std::ios::binary | std::ios::trunc);
        if (!create)
            throw std::runtime_error("cannot create image " + path);
    }
    std::fstream image(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!image)
        throw std::runtime_error("cannot open image " + path);
    image.seekg(0, std::ios::end);
    if (incremental && static_cast<uint64_t>(image.tellg()) != bytes)
        throw std::runtime_error("image " + path + " does not have the device's size");
    return image;
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
    BackupSession session(request.devicePath);
    BlockSize bs = session.blockSize(request.major, request.minor);
    BackupReport report;
    report.blockSize = static_cast<uint32_t>(bs.blockSize);
    report.totalBlocks =
        static_cast<uint32_t>(static_cast<uint64_t>(bs.partitionSizeKB) * 1024 / report.blockSize);

    session.start(request.major, request.minor, report.totalBlocks, request.maxCacheBlocks);
    session.snapshot(request.previousKey.value_or(SessionKey::none()));
    if (request.afterSnapshot)
        request.afterSnapshot();
    report.newKey.raw = session.automapState().amsKey;

    bool incremental = false;
    report.copied =
        blocksToCopy(session, report.totalBlocks, request.previousKey.has_value(), &incremental);
    report.incremental = incremental;
    session.loadBlockMap(report.copied);

    State st = session.state();
    TransferBuffer buffer(session.device(), static_cast<std::size_t>(st.mmapSize));
    uint32_t perRead = static_cast<uint32_t>(buffer.size() / report.blockSize);
    std::fstream image = openImage(request.imagePath, incremental,
                                   static_cast<uint64_t>(report.totalBlocks) * report.blockSize);
    // The blocks are copied out of the mapping before the write: the mapping's
    // pages appear at the first touch, which a write(2) of them would not give.
    std::vector<char> chunk(buffer.size());
    for (const auto &run : report.copied.runs(perRead)) {
        session.readBlocks(run.start, run.length, buffer);
        std::size_t bytes = static_cast<std::size_t>(run.length) * report.blockSize;
        std::memcpy(chunk.data(), buffer.data(), bytes);
        image.seekp(static_cast<std::streamoff>(run.start) * report.blockSize);
        image.write(chunk.data(), static_cast<std::streamsize>(bytes));
        report.blocksCopied += run.length;
    }
    image.flush();
    if (!image)
        throw std::runtime_error("cannot write image " + request.imagePath);
    return report;
}

}  // namespace velmora::agent
