// Where a backup's blocks go: an image file replaced whole (image_file.h), or
// a point of a store's chain. The runner writes through this, and the kept
// key is tied to the identity the destination gives its last backup.
#pragma once

#include "image_file.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velmora::agent {

class BackupDestination {
  public:
    virtual ~BackupDestination() = default;

    // Where the backups go, for records and messages: an absolute path.
    virtual std::string where() const = 0;
    // What tells the last backup kept there from any other; none when there
    // is none.
    virtual std::optional<ImageIdentity> lastIdentity() const = 0;
    // Why the changed blocks cannot be added to the last backup kept there
    // ("the image ... is missing"), checked before the snapshot; empty when
    // they can.
    virtual std::string baseProblem(const std::string &deviceName, uint32_t blockSize,
                                    uint32_t totalBlocks) const = 0;

    // After the snapshot, before the first block: every block comes (full)
    // or only the changed ones, onto the last backup (incremental). An
    // incremental whose changes are relative to expectedBase throws
    // std::runtime_error, writing nothing, when the last backup kept there is
    // no longer that one: the changes on another base would be a wrong image.
    virtual void open(bool incremental, const std::string &snapshotTime, uint32_t blockSize,
                      uint32_t totalBlocks, const std::optional<ImageIdentity> &expectedBase) = 0;
    // Whole blocks, at a multiple of the block size, in increasing order.
    virtual void write(uint64_t offset, const char *bytes, std::size_t size) = 0;
    // Makes the backup durable and the last one kept there; returns its
    // identity. Without commit() nothing kept there changes.
    virtual ImageIdentity commit() = 0;
};

// An image file at path, an incremental starting from a copy of base (empty:
// the image itself).
std::shared_ptr<BackupDestination> imageDestination(const std::string &path,
                                                    const std::string &base = {});

}  // namespace velmora::agent
