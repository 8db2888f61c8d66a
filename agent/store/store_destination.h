// Backups into a store: each backup becomes a point of the device's chain,
// a full point or an incremental one holding the changed blocks. The kept
// key is tied to the chain's newest point by its id and time, which a prune
// keeps.
#pragma once

#include <backup_destination.h>

#include <optional>
#include <string>

#include "device_chain.h"

namespace velmora::agent::store {

class StoreDestination : public BackupDestination {
  public:
    // The chain of device (a name fit for a file: "sda1") in storeDir; made at
    // the first backup.
    StoreDestination(const std::string &storeDir, const std::string &device);

    std::string where() const override { return where_; }
    std::optional<ImageIdentity> lastIdentity() const override;
    std::string baseProblem(const std::string &deviceName, uint32_t blockSize,
                            uint32_t totalBlocks) const override;
    void open(bool incremental, const std::string &snapshotTime, uint32_t blockSize,
              uint32_t totalBlocks, const std::optional<ImageIdentity> &expectedBase) override;
    void write(uint64_t offset, const char *bytes, std::size_t size) override;
    ImageIdentity commit() override;

    // The point the last commit() published.
    const std::optional<PointInfo> &committed() const { return committed_; }

    // What the key of a backup kept as point is tied to.
    static ImageIdentity identityOf(const PointInfo &point);

  private:
    std::optional<PointInfo> newest() const;

    std::string storeDir_, device_, where_;
    std::optional<DeviceChain> chain_;
    std::optional<DeviceChain::Writer> writer_;
    uint32_t blockSize_ = 0;
    std::optional<PointInfo> committed_;
};

}  // namespace velmora::agent::store
