// A bitmap of blocks in the driver's transfer format: block n is bit n % 8
// (least significant first) of byte n / 8.
#pragma once

#include <cstdint>
#include <vector>

namespace velmora::agent {

class BlockBitmap {
  public:
    explicit BlockBitmap(uint32_t blocks, bool allSet = false);

    uint32_t blocks() const { return blocks_; }
    bool test(uint32_t block) const { return bytes_[block / 8] >> (block % 8) & 1; }
    void set(uint32_t block) { bytes_[block / 8] |= static_cast<unsigned char>(1u << (block % 8)); }
    uint32_t count() const;
    // Sets every block set in other, which has as many blocks.
    void merge(const BlockBitmap &other);
    unsigned char *data() { return bytes_.data(); }
    const std::vector<unsigned char> &bytes() const { return bytes_; }

    // Runs of consecutive set blocks, each at most maxRun (at least 1) long.
    struct Run {
        uint32_t start, length;
    };
    std::vector<Run> runs(uint32_t maxRun) const;

  private:
    uint32_t blocks_;
    std::vector<unsigned char> bytes_;
};

}  // namespace velmora::agent
