// Where a device's points live in a store and how their index files are laid out:
//   STORE/<device>/CURRENT            names the chain in use: "chain-000001"
//   STORE/<device>/chain-000001/<id>/{manifest.json, changed.bits, index, pack}
//   STORE/<device>/{write.lock, read.lock}
// A point is built in <chain>/<id>.tmp/ and published by renaming that
// directory. A prune writes the points it keeps into a new chain directory
// and switches CURRENT to it by one rename; until then the old chain is whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chunk_codec.h"

namespace velmora::agent::store {

inline constexpr const char *kManifestFile = "manifest.json";
inline constexpr const char *kChangedFile = "changed.bits";
inline constexpr const char *kIndexFile = "index";
inline constexpr const char *kPackFile = "pack";
inline constexpr const char *kBuildingSuffix = ".tmp";
inline constexpr const char *kCurrentFile = "CURRENT";
inline constexpr const char *kWriteLockFile = "write.lock";
inline constexpr const char *kReadLockFile = "read.lock";

// "chain-000001", and back; nothing for any other name.
std::string chainName(uint32_t generation);
std::optional<uint32_t> parseChainName(const std::string &name);

// CURRENT's text: the chain's name and the XXH64 of it, so that a damaged
// CURRENT is refused instead of naming another chain. Nothing for other text.
std::string encodeCurrent(uint32_t generation);
std::optional<uint32_t> decodeCurrent(const std::string &text);

// "000001": zero-padded so that names sort as ids do for the first million points.
std::string pointName(uint32_t id);
// The id a published point's directory name stands for; nothing for any other name.
std::optional<uint32_t> parsePointName(const std::string &name);

// Where a block's bytes are: a frame in the pack of point packPoint (this
// point's own, or an earlier one's when the block was already stored).
struct IndexEntry {
    uint32_t block = 0;
    uint32_t packPoint = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
    BlockHash hash{};
};

// The index file: a 16-byte header (magic "VMSTIDX1", u32 record size, u32
// record count) then one 36-byte record per entry, little-endian: block u32,
// packPoint u32, offset u64, length u32, hash 16 bytes.
inline constexpr std::size_t kIndexHeaderSize = 16;
inline constexpr std::size_t kIndexRecordSize = 36;

std::string encodeIndex(const std::vector<IndexEntry> &entries);
// Throws std::runtime_error when the header or the size is not an index's.
std::vector<IndexEntry> decodeIndex(const std::string &bytes);

}  // namespace velmora::agent::store
