#include "store_destination.h"

#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "store_layout.h"

namespace velmora::agent::store {

namespace {

// Seconds since the epoch of an ISO 8601 UTC time; 0 for another form.
int64_t epochSeconds(const std::string &time) {
    std::tm tm{};
    const char *end = ::strptime(time.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return end && *end == '\0' ? static_cast<int64_t>(::timegm(&tm)) : 0;
}

}  // namespace

StoreDestination::StoreDestination(const std::string &storeDir, const std::string &device)
    : storeDir_(storeDir),
      device_(device),
      where_((std::filesystem::absolute(storeDir) / device).string()) {}

ImageIdentity StoreDestination::identityOf(const PointInfo &point) {
    // No file has device 0: a point's identity is never an image file's.
    return ImageIdentity{.device = 0,
                         .inode = point.id,
                         .size = uint64_t{point.blockSize} * point.totalBlocks,
                         .mtimeNs = epochSeconds(point.time) * 1'000'000'000};
}

std::optional<PointInfo> StoreDestination::newest() const {
    if (DeviceChain::devicesIn(storeDir_).empty() || !std::filesystem::exists(where_))
        return std::nullopt;
    const std::vector<PointInfo> points = DeviceChain(storeDir_, device_, false).points();
    if (points.empty())
        return std::nullopt;
    return points.back();
}

std::optional<ImageIdentity> StoreDestination::lastIdentity() const {
    std::optional<PointInfo> point = newest();
    if (!point)
        return std::nullopt;
    return identityOf(*point);
}

std::string StoreDestination::baseProblem(const std::string &deviceName, uint32_t blockSize,
                                          uint32_t totalBlocks) const {
    std::optional<PointInfo> point = newest();
    if (!point || point->blockSize != blockSize || point->totalBlocks != totalBlocks)
        return "the last backup of " + deviceName + " in " + where_ +
               " is missing or not of its size";
    return {};
}

void StoreDestination::open(bool incremental, const std::string &snapshotTime, uint32_t blockSize,
                            uint32_t totalBlocks,
                            const std::optional<ImageIdentity> &expectedBase) {
    chain_.emplace(storeDir_, device_);
    writer_.emplace(
        chain_->begin(incremental ? "incremental" : "full", snapshotTime, blockSize, totalBlocks));
    // The writer holds the chain's lock: its parent cannot change from here on.
    if (incremental && expectedBase && !(lastIdentity() == expectedBase)) {
        writer_.reset();
        throw std::runtime_error("another point was added to " + where_ +
                                 " while the backup ran; nothing was written");
    }
    blockSize_ = blockSize;
}

void StoreDestination::write(uint64_t offset, const char *bytes, std::size_t size) {
    if (offset % blockSize_ != 0 || size % blockSize_ != 0)
        throw std::invalid_argument("a store takes whole blocks");
    const uint32_t first = static_cast<uint32_t>(offset / blockSize_);
    for (std::size_t n = 0; n < size / blockSize_; ++n)
        writer_->add(first + static_cast<uint32_t>(n), bytes + n * blockSize_);
}

ImageIdentity StoreDestination::commit() {
    committed_ = writer_->commit();
    writer_.reset();
    return identityOf(*committed_);
}

}  // namespace velmora::agent::store
