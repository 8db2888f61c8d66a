// Reading published points back: a point's manifest, changed blocks and index,
// checked against each other, and the frames of the packs they point into.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "point_info.h"
#include "store_layout.h"

namespace velmora::agent::store {

// The ids of the published points in a chain directory, sorted.
std::vector<uint32_t> publishedIds(const std::string &pointsDir);

// Reads a point's manifest only. Throws StoreCorrupt naming id when it is
// missing, malformed, or describes another point or device.
PointInfo readPointInfo(const std::string &pointsDir, uint32_t id, const std::string &device);

class StoredPoint {
  public:
    // Reads points/<id>. Throws StoreCorrupt naming id when a file is missing or
    // malformed, the index's hash is not the manifest's, the index and
    // changed.bits disagree, an entry points past this point, or a full point
    // lacks a block.
    static StoredPoint load(const std::string &pointsDir, uint32_t id, const std::string &device);

    const PointInfo &info() const { return info_; }
    // Entries in block order, one per block this point holds.
    const std::vector<IndexEntry> &entries() const { return entries_; }
    // The entry for block, or nullptr when this point does not hold it.
    const IndexEntry *find(uint32_t block) const;

  private:
    PointInfo info_;
    std::vector<IndexEntry> entries_;
};

// Reads frames out of one device's packs, keeping each pack open once read.
class PackReader {
  public:
    explicit PackReader(std::string pointsDir) : pointsDir_(std::move(pointsDir)) {}
    ~PackReader();
    PackReader(const PackReader &) = delete;
    PackReader &operator=(const PackReader &) = delete;

    // Reads the pack of point `point` from path instead of points/<point>/pack
    // (a writer reading back its own unpublished pack).
    void usePath(uint32_t point, const std::string &path);

    // The plain bytes of entry's frame, checked against entry.hash. Throws
    // StoreCorrupt naming entry.packPoint and entry.block when the frame cannot
    // be read, does not expand to blockSize bytes, or has another hash.
    std::string read(const IndexEntry &entry, uint32_t blockSize);

  private:
    int packFd(uint32_t point);

    std::string pointsDir_;
    std::map<uint32_t, std::string> paths_;
    std::map<uint32_t, int> fds_;
};

}  // namespace velmora::agent::store
