// The error a read of the store raises when what it finds on disk is not what
// was written: the caller learns which point, and which block if one.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velmora::agent::store {

class StoreCorrupt : public std::runtime_error {
  public:
    static constexpr uint32_t kNoBlock = UINT32_MAX;

    StoreCorrupt(uint32_t point, uint32_t block, const std::string &what);

    // 0 when the damage is in the store's own records (CURRENT), not a point's.
    uint32_t point() const { return point_; }
    // kNoBlock when the damage is not in one block (a manifest, an index).
    uint32_t block() const { return block_; }

  private:
    uint32_t point_, block_;
};

}  // namespace velmora::agent::store
