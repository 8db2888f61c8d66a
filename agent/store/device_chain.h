// One device's chain of points in time in a backup store: a full point holds
// every block, an incremental the blocks changed since its parent (the point
// published before it). Any point can be restored. Blocks equal to one already
// stored anywhere in the device's chain are not stored again.
//
// One writer (a backup's point, or a prune) at a time per device, held by a
// lock file; readers may run beside it, since a point becomes visible only
// whole, by the rename of its directory, and a prune's new chain only whole,
// by the rename of CURRENT (store_layout.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "point_info.h"
#include "store_corrupt.h"
#include "store_lock.h"

namespace velmora::agent::store {

// Which points a prune keeps: the newest keepLast, and those taken at or
// after keepSince (an ISO 8601 UTC time, as points record it); a point either
// keeps is kept, and so is the newest point always.
struct PrunePolicy {
    uint32_t keepLast = 0;  // 0: none by count
    std::string keepSince;  // empty: none by age
};

struct PruneResult {
    std::vector<uint32_t> removed;  // the points merged away, oldest first
    uint32_t mergedInto = 0;        // the oldest kept point, now full; 0: nothing pruned
    uint64_t storedBytesBefore = 0, storedBytesAfter = 0;  // of every pack of the chain
};

class DeviceChain {
  public:
    // Opens STORE/<device>. With create, makes its directories and first chain
    // as needed; without, throws std::invalid_argument when the store holds no
    // chain of the device. Throws std::invalid_argument for a device name that
    // is empty, "." or "..", or holds a '/'; std::runtime_error or
    // std::filesystem::filesystem_error if the directories cannot be made.
    DeviceChain(const std::string &storeDir, const std::string &device, bool create = true);

    // The devices that have a chain in storeDir, sorted; none when it is missing.
    static std::vector<std::string> devicesIn(const std::string &storeDir);

    const std::string &device() const { return device_; }
    // The directory of the chain in use, which holds the point directories.
    std::string pointsDirectory() const;

    // The published points, oldest first. Directories of unpublished points are
    // skipped. Throws StoreCorrupt for a published point whose manifest cannot
    // be read.
    std::vector<PointInfo> points() const;

    // Builds one point in points/<id>.tmp; nothing of it is visible until commit().
    class Writer {
      public:
        Writer(Writer &&) noexcept;
        Writer &operator=(Writer &&) noexcept;
        // Removes the point if it was not committed.
        ~Writer();

        // Adds one block of blockSize bytes. Blocks come in increasing order.
        // Throws std::invalid_argument for a block past the device or out of
        // order, std::logic_error after commit(), std::runtime_error if the
        // pack cannot be written.
        void add(uint32_t block, const char *bytes);

        // Writes the index, changed.bits and manifest, syncs them and publishes
        // the point by renaming its directory. Throws std::logic_error for a
        // full point that did not get every block or a second commit;
        // std::runtime_error if a file cannot be written or the id was taken
        // meanwhile (the point is then removed by the destructor).
        PointInfo commit();

        struct State;

      private:
        friend class DeviceChain;
        explicit Writer(std::unique_ptr<State> state);
        std::unique_ptr<State> state_;
    };

    // Starts a new point with the next id: takes the device's write lock (held
    // until the writer is destroyed; throws std::runtime_error when another
    // backup or prune holds it), removes what killed writers left behind, and
    // reads the published indexes to find blocks already stored (a damaged
    // point shares nothing). kind is "full" or "incremental"; an
    // incremental's parent is the newest published point. Throws
    // std::invalid_argument for another kind or an empty geometry,
    // std::logic_error for an incremental with no point before it or whose
    // geometry differs from its parent's, StoreCorrupt if CURRENT or the
    // parent's manifest cannot be read.
    Writer begin(const std::string &kind, const std::string &time, uint32_t blockSize,
                 uint32_t totalBlocks);

    // Rebuilds point id: each block from the newest point at or before id,
    // following parents down to a full point, that holds it. Calls
    // sink(block, bytes) for every block in order. Every frame's hash is
    // checked. Throws std::invalid_argument for an id that is not published,
    // StoreCorrupt naming the point and block (the point whose pack holds the
    // damaged frame) on any mismatch, and whatever sink throws.
    void restore(uint32_t id, const std::function<void(uint32_t, const char *)> &sink) const;

    // restore() into a file of blockSize * totalBlocks bytes, written beside
    // path, synced and renamed over it; on failure path is left as it was. A
    // block device is written in place, only once every block of the point
    // has been read and checked: a damaged store leaves it as it was, a
    // failed write may not. Throws as restore() does, std::invalid_argument
    // when path is neither a regular file nor a block device, or
    // std::runtime_error if it cannot be written.
    void restoreToFile(uint32_t id, const std::string &path) const;

    // Reads every published point and every frame each one's index refers to.
    // Returns one line per problem ("point 000003 block 17: ..."), empty when
    // the chain is whole. Throws only if the points directory cannot be listed.
    std::vector<std::string> verify() const;

    // Merges the points policy drops into the oldest point it keeps, which
    // becomes a full point of the same id and time; the kept points keep
    // their ids, times and contents. The kept points are rewritten into a new
    // chain directory, every frame read back and checked on the way, and
    // published by one rename of CURRENT: a prune stopped at any instant
    // leaves the old chain or the new one, each whole. Takes the write lock
    // as begin() does. Throws std::invalid_argument for a policy that keeps
    // nothing by either rule, StoreCorrupt when a kept point cannot be read
    // (nothing is changed then).
    PruneResult prune(const PrunePolicy &policy);

  private:
    Writer startPoint(const std::string &pointsDir, PointInfo info);
    std::string lockPath(const char *file) const { return deviceDir_ + "/" + file; }
    // Removes chain directories other than the current one when no reader is
    // inside any, and points a killed writer left unpublished. Write lock held.
    void removeLeftovers(const std::string &pointsDir);
    StoreLock writeLock() const;

    std::string storeDir_, device_, deviceDir_;
};

}  // namespace velmora::agent::store
