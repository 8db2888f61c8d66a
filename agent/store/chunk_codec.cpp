#include "chunk_codec.h"

#include <xxhash.h>
#include <zstd.h>

#include <cstring>
#include <stdexcept>

namespace velmora::agent::store {

namespace {

// Level 3 is zstd's default: most of the gain on block data at a fraction of the time.
constexpr int kCompressionLevel = 3;

// A context per thread, kept: making one per block costs more than the block.
struct Contexts {
    ZSTD_CCtx *compress = ZSTD_createCCtx();
    ZSTD_DCtx *decompress = ZSTD_createDCtx();
    ~Contexts() {
        ZSTD_freeCCtx(compress);
        ZSTD_freeDCtx(decompress);
    }
};

Contexts &contexts() {
    thread_local Contexts c;
    if (!c.compress || !c.decompress)
        throw std::runtime_error("zstd cannot make a context: out of memory");
    return c;
}

}  // namespace

BlockHash hashBlock(const char *bytes, std::size_t size) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(bytes, size));
    BlockHash hash;
    std::memcpy(hash.data(), canonical.digest, hash.size());
    return hash;
}

std::string compressBlock(const char *bytes, std::size_t size) {
    std::string frame(ZSTD_compressBound(size), '\0');
    const std::size_t n = ZSTD_compressCCtx(contexts().compress, frame.data(), frame.size(), bytes,
                                            size, kCompressionLevel);
    if (ZSTD_isError(n))
        throw std::runtime_error(std::string("zstd cannot compress a block: ") +
                                 ZSTD_getErrorName(n));
    frame.resize(n);
    return frame;
}

bool decompressBlock(const std::string &frame, std::size_t expectedSize, std::string &out) {
    out.resize(expectedSize);
    const std::size_t n = ZSTD_decompressDCtx(contexts().decompress, out.data(), out.size(),
                                              frame.data(), frame.size());
    return !ZSTD_isError(n) && n == expectedSize;
}

uint64_t hashFile(const std::string &bytes) {
    return XXH64(bytes.data(), bytes.size(), 0);
}

}  // namespace velmora::agent::store
