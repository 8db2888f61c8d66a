// One block as the store keeps it: a zstd frame of its bytes, known by the
// XXH3-128 of the plain bytes so that equal blocks are found and restores checked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::agent::store {

// XXH3-128 in its canonical (big-endian) byte order, as the index stores it.
using BlockHash = std::array<unsigned char, 16>;

BlockHash hashBlock(const char *bytes, std::size_t size);

// One zstd frame holding bytes. Throws std::runtime_error if zstd fails.
std::string compressBlock(const char *bytes, std::size_t size);

// Expands one frame into out, which must come to exactly expectedSize bytes.
// Returns false for a damaged frame or a wrong size; throws std::runtime_error
// only when zstd has no memory for its context.
bool decompressBlock(const std::string &frame, std::size_t expectedSize, std::string &out);

// XXH64 of a whole file's bytes, to catch a damaged index before it is used.
uint64_t hashFile(const std::string &bytes);

}  // namespace velmora::agent::store
