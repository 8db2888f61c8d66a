// Pruning a device's chain: the points kept are written again into a new
// chain directory, the oldest of them as a full point, and CURRENT is
// switched to it by one rename; the old chain is removed after that.
#include <filesystem>
#include <stdexcept>

#include "crash_points.h"
#include "device_chain.h"
#include "durable_file.h"
#include "point_reader.h"
#include "store_layout.h"

namespace velmora::agent::store {

namespace fs = std::filesystem;

namespace {

// The index in points (oldest first) of the oldest point the policy keeps.
std::size_t firstKept(const std::vector<PointInfo> &points, const PrunePolicy &policy) {
    std::size_t first = points.size() - 1;  // the newest is always kept
    if (policy.keepLast > 0)
        first =
            std::min(first, points.size() - std::min<std::size_t>(policy.keepLast, points.size()));
    if (!policy.keepSince.empty())
        for (std::size_t n = 0; n < first; ++n)
            if (points[n].time >= policy.keepSince) {
                first = n;
                break;
            }
    return first;
}

uint64_t storedBytes(const std::vector<PointInfo> &points) {
    uint64_t bytes = 0;
    for (const PointInfo &p : points)
        bytes += p.storedBytes;
    return bytes;
}

}  // namespace

PruneResult DeviceChain::prune(const PrunePolicy &policy) {
    if (policy.keepLast == 0 && policy.keepSince.empty())
        throw std::invalid_argument("say which points to keep: a number, or a time");
    StoreLock lock = writeLock();
    const std::string oldDir = pointsDirectory();
    removeLeftovers(oldDir);

    std::vector<PointInfo> points;
    for (uint32_t id : publishedIds(oldDir))
        points.push_back(readPointInfo(oldDir, id, device_));
    PruneResult result;
    if (points.empty())
        return result;
    const std::size_t first = firstKept(points, policy);
    if (first == 0)
        return result;
    result.storedBytesBefore = storedBytes(points);

    const uint32_t generation = *parseChainName(fs::path(oldDir).filename().string());
    const std::string newDir = deviceDir_ + "/" + chainName(generation + 1);
    fs::remove_all(newDir);  // a prune killed before its switch left it half written
    fs::create_directory(newDir);

    // The oldest kept point, whole, as it restores; every frame is checked.
    PointInfo base = points[first];
    base.kind = "full";
    base.parent = 0;
    base.mergedFrom = points[0].mergedFrom != 0 ? points[0].mergedFrom : points[0].id;
    {
        Writer writer = startPoint(newDir, base);
        restore(base.id, [&](uint32_t block, const char *bytes) { writer.add(block, bytes); });
        result.storedBytesAfter += writer.commit().storedBytes;
        crashPoint("prune: a point rewritten");
    }
    // The later points hold the same blocks as before, read from the old chain.
    PackReader packs(oldDir);
    for (std::size_t n = first + 1; n < points.size(); ++n) {
        const StoredPoint point = StoredPoint::load(oldDir, points[n].id, device_);
        Writer writer = startPoint(newDir, points[n]);
        for (const IndexEntry &e : point.entries())
            writer.add(e.block, packs.read(e, points[n].blockSize).data());
        result.storedBytesAfter += writer.commit().storedBytes;
        crashPoint("prune: a point rewritten");
    }
    syncParentDirectory(newDir + "/.");
    syncParentDirectory(deviceDir_ + "/.");
    crashPoint("prune: new chain written, not in use");

    writeFileDurably(deviceDir_ + "/" + kCurrentFile, encodeCurrent(generation + 1));
    crashPoint("prune: new chain in use, old one not removed");
    for (std::size_t n = 0; n < first; ++n)
        result.removed.push_back(points[n].id);
    result.mergedInto = base.id;
    removeLeftovers(newDir);
    return result;
}

}  // namespace velmora::agent::store
