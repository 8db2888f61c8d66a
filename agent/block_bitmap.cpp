#include "block_bitmap.h"

#include <bit>
#include <stdexcept>

namespace velmora::agent {

BlockBitmap::BlockBitmap(uint32_t blocks, bool allSet)
    : blocks_(blocks), bytes_((static_cast<uint64_t>(blocks) + 7) / 8, allSet ? 0xFF : 0x00) {
    // Bits past the last block stay clear, so counts and runs stop there.
    if (allSet && blocks % 8)
        bytes_.back() = static_cast<unsigned char>((1u << (blocks % 8)) - 1);
}

uint32_t BlockBitmap::count() const {
    uint32_t n = 0;
    for (unsigned char b : bytes_)
        n += static_cast<uint32_t>(std::popcount(b));
    return n;
}

void BlockBitmap::merge(const BlockBitmap &other) {
    if (other.blocks_ != blocks_)
        throw std::invalid_argument("merging block maps of different sizes");
    for (std::size_t i = 0; i < bytes_.size(); ++i)
        bytes_[i] |= other.bytes_[i];
}

std::vector<BlockBitmap::Run> BlockBitmap::runs(uint32_t maxRun) const {
    // A transfer buffer smaller than one block would give empty runs for ever.
    if (maxRun == 0)
        throw std::invalid_argument("a run must hold at least one block");
    std::vector<Run> out;
    uint32_t b = 0;
    while (b < blocks_) {
        if (bytes_[b / 8] == 0) {
            b = (b / 8 + 1) * 8;
            continue;
        }
        if (!test(b)) {
            ++b;
            continue;
        }
        uint32_t start = b;
        while (b < blocks_ && test(b) && b - start < maxRun)
            ++b;
        out.push_back({start, b - start});
    }
    return out;
}

}  // namespace velmora::agent
