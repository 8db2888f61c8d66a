// Writing one point: frames appended to its pack as blocks arrive, blocks
// already stored in the chain shared instead, and the whole directory
// published by one rename at commit.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <optional>
#include <unordered_map>

#include "block_bitmap.h"
#include "crash_points.h"
#include "device_chain.h"
#include "durable_file.h"
#include "point_manifest.h"
#include "point_reader.h"
#include "store_layout.h"

namespace velmora::agent::store {

namespace fs = std::filesystem;

namespace {

struct HashKey {
    // The hash is already uniform: its first bytes are as good a key as any.
    std::size_t operator()(const BlockHash &h) const {
        std::size_t key;
        std::memcpy(&key, h.data(), sizeof key);
        return key;
    }
};

[[noreturn]] void fail(const std::string &what, const std::string &path, int err) {
    throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(err));
}

}  // namespace

struct DeviceChain::Writer::State {
    State(std::string pointsDir, uint32_t id, uint32_t totalBlocks)
        : buildDir(pointsDir + "/" + pointName(id) + kBuildingSuffix),
          packPath(buildDir + "/" + kPackFile),
          finalDir(pointsDir + "/" + pointName(id)),
          changed(totalBlocks),
          packs(std::move(pointsDir)) {}

    ~State() {
        if (packFd >= 0)
            ::close(packFd);
        if (!committed) {
            std::error_code ignored;
            fs::remove_all(buildDir, ignored);
        }
    }

    std::string device, buildDir, packPath, finalDir;
    PointInfo info;
    int packFd = -1;
    uint64_t packSize = 0;
    BlockBitmap changed;
    std::vector<IndexEntry> entries;
    // Every frame stored in the chain so far, by the hash of its plain bytes.
    std::unordered_map<BlockHash, IndexEntry, HashKey> stored;
    PackReader packs;
    std::pair<uint32_t, uint64_t> lastFrame{0, 0};  // the frame last compared against
    std::string lastFrameBytes;
    bool committed = false;
    std::optional<StoreLock> lock;  // a backup's own; a prune's writers share the prune's
};

DeviceChain::Writer::Writer(std::unique_ptr<State> state) : state_(std::move(state)) {}
DeviceChain::Writer::Writer(Writer &&) noexcept = default;
DeviceChain::Writer &DeviceChain::Writer::operator=(Writer &&) noexcept = default;
DeviceChain::Writer::~Writer() = default;

DeviceChain::Writer DeviceChain::begin(const std::string &kind, const std::string &time,
                                       uint32_t blockSize, uint32_t totalBlocks) {
    if (kind != "full" && kind != "incremental")
        throw std::invalid_argument("a point is \"full\" or \"incremental\", not \"" + kind + "\"");
    if (blockSize == 0 || totalBlocks == 0)
        throw std::invalid_argument("a point needs a block size and a block count");

    StoreLock lock = writeLock();
    const std::string pointsDir = pointsDirectory();
    removeLeftovers(pointsDir);
    const std::vector<uint32_t> ids = publishedIds(pointsDir);
    PointInfo info{.id = ids.empty() ? 1 : ids.back() + 1,
                   .kind = kind,
                   .time = time,
                   .blockSize = blockSize,
                   .totalBlocks = totalBlocks};
    if (kind == "incremental") {
        if (ids.empty())
            throw std::logic_error("an incremental point needs a point before it");
        const PointInfo parent = readPointInfo(pointsDir, ids.back(), device_);
        if (parent.blockSize != blockSize || parent.totalBlocks != totalBlocks)
            throw std::logic_error("an incremental point must have its parent's geometry (" +
                                   std::to_string(parent.totalBlocks) + " blocks of " +
                                   std::to_string(parent.blockSize) + " bytes)");
        info.parent = parent.id;
    }
    Writer writer = startPoint(pointsDir, info);
    writer.state_->lock.emplace(std::move(lock));
    return writer;
}

DeviceChain::Writer DeviceChain::startPoint(const std::string &pointsDir, PointInfo info) {
    auto state = std::make_unique<Writer::State>(pointsDir, info.id, info.totalBlocks);
    state->device = device_;
    state->info = info;
    state->info.changedBlocks = state->info.newChunks = 0;  // counted as blocks come
    state->info.storedBytes = 0;
    for (uint32_t earlier : publishedIds(pointsDir)) {
        std::optional<StoredPoint> loaded;
        try {
            loaded = StoredPoint::load(pointsDir, earlier, device_);
        } catch (const StoreCorrupt &) {
            continue;  // a damaged point shares nothing; it must not stop new backups
        }
        const StoredPoint &point = *loaded;
        // Frames of another block size cannot stand for blocks of this one.
        if (point.info().blockSize != info.blockSize)
            continue;
        for (const IndexEntry &e : point.entries())
            state->stored.emplace(e.hash, e);
    }

    fs::create_directory(state->buildDir);
    state->packFd = ::open(state->packPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (state->packFd < 0)
        fail("create", state->packPath, errno);
    state->packs.usePath(info.id, state->packPath);
    return Writer(std::move(state));
}

void DeviceChain::Writer::add(uint32_t block, const char *bytes) {
    State &s = *state_;
    if (s.committed)
        throw std::logic_error("point " + pointName(s.info.id) + " is already committed");
    if (block >= s.info.totalBlocks)
        throw std::invalid_argument("block " + std::to_string(block) + " is past the device");
    if (!s.entries.empty() && block <= s.entries.back().block)
        throw std::invalid_argument("block " + std::to_string(block) + " is out of order");

    const uint32_t size = s.info.blockSize;
    IndexEntry entry{.block = block, .hash = hashBlock(bytes, size)};
    auto match = s.stored.find(entry.hash);
    bool shared = false;
    bool damaged = false;
    if (match != s.stored.end()) {
        // Equal hashes are not proof: only equal bytes may share a frame.
        try {
            // Runs of one content (zeros above all) compare against one frame: keep it.
            const std::pair<uint32_t, uint64_t> frame{match->second.packPoint,
                                                      match->second.offset};
            if (frame != s.lastFrame || s.lastFrameBytes.empty()) {
                s.lastFrameBytes = s.packs.read(match->second, size);
                s.lastFrame = frame;
            }
            shared = std::memcmp(s.lastFrameBytes.data(), bytes, size) == 0;
        } catch (const StoreCorrupt &) {
            damaged = true;  // a damaged frame is not shared; this one replaces it
        }
    }
    if (shared) {
        entry.packPoint = match->second.packPoint;
        entry.offset = match->second.offset;
        entry.length = match->second.length;
    } else {
        const std::string frame = compressBlock(bytes, size);
        writeAllAt(s.packFd, frame.data(), frame.size(), s.packSize, s.packPath);
        entry.packPoint = s.info.id;
        entry.offset = s.packSize;
        entry.length = static_cast<uint32_t>(frame.size());
        s.packSize += frame.size();
        s.info.newChunks++;
        s.info.storedBytes += frame.size();
        crashPoint("point: frame appended");
        if (match == s.stored.end() || damaged)
            s.stored.insert_or_assign(entry.hash, entry);
    }
    s.entries.push_back(entry);
    s.changed.set(block);
    s.info.changedBlocks++;
}

PointInfo DeviceChain::Writer::commit() {
    State &s = *state_;
    if (s.committed)
        throw std::logic_error("point " + pointName(s.info.id) + " is already committed");
    if (s.info.kind == "full" && s.info.changedBlocks != s.info.totalBlocks)
        throw std::logic_error("full point " + pointName(s.info.id) + " got " +
                               std::to_string(s.info.changedBlocks) + " of " +
                               std::to_string(s.info.totalBlocks) + " blocks");
    crashPoint("point: frames written, not synced");
    if (::fsync(s.packFd) != 0)
        fail("sync", s.packPath, errno);
    ::close(s.packFd);
    s.packFd = -1;

    const std::string index = encodeIndex(s.entries);
    writeFileDurably(s.buildDir + "/" + kIndexFile, index);
    writeFileDurably(s.buildDir + "/" + kChangedFile,
                     std::string(s.changed.bytes().begin(), s.changed.bytes().end()));
    writeFileDurably(
        s.buildDir + "/" + kManifestFile,
        encodeManifest({.device = s.device, .info = s.info, .indexHash = hashFile(index)}));
    syncParentDirectory(s.buildDir + "/.");
    crashPoint("point: files synced, not published");

    if (::rename(s.buildDir.c_str(), s.finalDir.c_str()) != 0)
        fail("publish " + s.buildDir + " as", s.finalDir, errno);
    s.committed = true;
    crashPoint("point: renamed, directory not synced");
    syncParentDirectory(s.finalDir);
    s.lock.reset();
    return s.info;
}

}  // namespace velmora::agent::store
