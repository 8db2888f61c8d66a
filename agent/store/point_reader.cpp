#include "point_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "block_bitmap.h"
#include "durable_file.h"
#include "point_manifest.h"
#include "store_corrupt.h"

namespace velmora::agent::store {

namespace {

std::string pointFile(const std::string &pointsDir, uint32_t id, const char *file) {
    return pointsDir + "/" + pointName(id) + "/" + file;
}

PointManifest readManifest(const std::string &pointsDir, uint32_t id, const std::string &device) {
    PointManifest m;
    try {
        m = decodeManifest(readWholeFile(pointFile(pointsDir, id, kManifestFile)));
    } catch (const std::runtime_error &e) {
        throw StoreCorrupt(id, StoreCorrupt::kNoBlock, e.what());
    }
    const PointInfo &i = m.info;
    if (i.id != id || m.device != device)
        throw StoreCorrupt(id, StoreCorrupt::kNoBlock, "manifest names another point or device");
    if (i.blockSize == 0 || i.totalBlocks == 0)
        throw StoreCorrupt(id, StoreCorrupt::kNoBlock, "manifest has an empty geometry");
    if (i.kind == "full" ? i.parent != 0 : i.kind != "incremental" || i.parent >= id)
        throw StoreCorrupt(id, StoreCorrupt::kNoBlock, "manifest has a bad kind or parent");
    if (i.mergedFrom != 0 && (i.kind != "full" || i.mergedFrom >= id))
        throw StoreCorrupt(id, StoreCorrupt::kNoBlock, "manifest has a bad mergedFrom");
    return m;
}

// A corrupt index can claim a frame of any size; no real frame of a block is
// larger than zstd's bound for it, so nothing larger is ever allocated.
uint64_t largestFrame(uint32_t blockSize) {
    return 2ull * blockSize + 4096;
}

}  // namespace

PointInfo readPointInfo(const std::string &pointsDir, uint32_t id, const std::string &device) {
    return readManifest(pointsDir, id, device).info;
}

StoredPoint StoredPoint::load(const std::string &pointsDir, uint32_t id,
                              const std::string &device) {
    const PointManifest m = readManifest(pointsDir, id, device);
    auto corrupt = [id](const std::string &what) {
        return StoreCorrupt(id, StoreCorrupt::kNoBlock, what);
    };
    StoredPoint point;
    point.info_ = m.info;
    std::string indexBytes, bits;
    try {
        indexBytes = readWholeFile(pointFile(pointsDir, id, kIndexFile));
        bits = readWholeFile(pointFile(pointsDir, id, kChangedFile));
    } catch (const std::runtime_error &e) {
        throw corrupt(e.what());
    }
    if (hashFile(indexBytes) != m.indexHash)
        throw corrupt("index does not match the hash in the manifest");
    try {
        point.entries_ = decodeIndex(indexBytes);
    } catch (const std::runtime_error &e) {
        throw corrupt(e.what());
    }
    BlockBitmap changed(m.info.totalBlocks);
    if (bits.size() != changed.bytes().size())
        throw corrupt("changed.bits has the wrong size");
    std::memcpy(changed.data(), bits.data(), bits.size());
    if (changed.count() != point.entries_.size() || m.info.changedBlocks != changed.count())
        throw corrupt("changed.bits, index and manifest count different blocks");
    if (m.info.kind == "full" && changed.count() != m.info.totalBlocks)
        throw corrupt("a full point does not hold every block");
    uint32_t previous = 0;
    for (std::size_t n = 0; n < point.entries_.size(); ++n) {
        const IndexEntry &e = point.entries_[n];
        if (e.block >= m.info.totalBlocks || !changed.test(e.block) ||
            (n > 0 && e.block <= previous))
            throw StoreCorrupt(id, e.block, "index entry disagrees with changed.bits");
        if (e.packPoint == 0 || e.packPoint > id || e.length == 0 ||
            e.length > largestFrame(m.info.blockSize))
            throw StoreCorrupt(id, e.block, "index entry points outside the chain");
        previous = e.block;
    }
    return point;
}

const IndexEntry *StoredPoint::find(uint32_t block) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), block,
                               [](const IndexEntry &e, uint32_t b) { return e.block < b; });
    return it != entries_.end() && it->block == block ? &*it : nullptr;
}

PackReader::~PackReader() {
    for (auto &[point, fd] : fds_)
        ::close(fd);
}

void PackReader::usePath(uint32_t point, const std::string &path) {
    paths_[point] = path;
}

int PackReader::packFd(uint32_t point) {
    auto it = fds_.find(point);
    if (it != fds_.end())
        return it->second;
    auto named = paths_.find(point);
    const std::string path =
        named != paths_.end() ? named->second : pointFile(pointsDir_, point, kPackFile);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        fds_[point] = fd;
    return fd;
}

std::string PackReader::read(const IndexEntry &entry, uint32_t blockSize) {
    auto corrupt = [&entry](const std::string &what) {
        return StoreCorrupt(entry.packPoint, entry.block,
                            what + " (frame at offset " + std::to_string(entry.offset) + ")");
    };
    if (entry.length > largestFrame(blockSize))
        throw corrupt("frame is larger than any block's");
    const int fd = packFd(entry.packPoint);
    if (fd < 0)
        throw corrupt(std::string("cannot open pack: ") + std::strerror(errno));
    std::string frame(entry.length, '\0');
    std::size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::pread(fd, frame.data() + done, frame.size() - done,
                            static_cast<off_t>(entry.offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw corrupt(n < 0 ? std::string("cannot read pack: ") + std::strerror(errno)
                                : std::string("frame runs past the end of the pack"));
        done += static_cast<std::size_t>(n);
    }
    std::string bytes;
    if (!decompressBlock(frame, blockSize, bytes))
        throw corrupt("frame does not expand to a block");
    if (hashBlock(bytes.data(), bytes.size()) != entry.hash)
        throw corrupt("block's hash does not match the index");
    return bytes;
}

}  // namespace velmora::agent::store
