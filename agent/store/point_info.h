// What a caller learns about one point in time of a device's chain.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::agent::store {

struct PointInfo {
    uint32_t id = 0;
    uint32_t parent = 0;  // 0 for a full point: ids start at 1
    std::string kind;     // "full" or "incremental"
    std::string time;     // as the caller gave it
    uint32_t blockSize = 0, totalBlocks = 0;
    uint32_t changedBlocks = 0;  // blocks this point holds
    uint32_t newChunks = 0;      // of those, frames written to this point's own pack
    uint64_t storedBytes = 0;    // bytes of those frames
    // For a full point a prune made of older points: the oldest of them; else 0.
    uint32_t mergedFrom = 0;
};

}  // namespace velmora::agent::store
