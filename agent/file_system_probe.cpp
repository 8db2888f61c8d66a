// Reads an image's ext superblock: ext2, ext3 and ext4 are told apart by
// the feature flags (ext4 is whatever uses a feature the ext3 driver does
// not know), and the file system's size is its block count.
#include "image_check.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace velmora::agent {
namespace {

constexpr off_t superblockOffset = 1024;
constexpr size_t superblockSize = 1024;
constexpr uint16_t extMagic = 0xEF53;

// Offsets within the superblock.
constexpr size_t blocksCountAt = 4;
constexpr size_t logBlockSizeAt = 24;
constexpr size_t magicAt = 56;
constexpr size_t compatAt = 92;
constexpr size_t incompatAt = 96;
constexpr size_t roCompatAt = 100;
constexpr size_t blocksCountHighAt = 336;

constexpr uint32_t compatHasJournal = 0x4;
constexpr uint32_t incompat64Bit = 0x80;
// What ext3 mounts: compression (never used), filetype, needs_recovery,
// journal_dev, meta_bg. Any other incompat flag is ext4's.
constexpr uint32_t ext3Incompat = 0x1 | 0x2 | 0x4 | 0x8 | 0x10;
// sparse_super, large_file, btree_dir; huge_file, dir_nlink, extra_isize and
// the rest came with ext4.
constexpr uint32_t ext3RoCompat = 0x1 | 0x2 | 0x4;
// Blocks of 1 KiB << 6 = 64 KiB at most; a larger shift means the magic
// matched by chance.
constexpr uint32_t maxLogBlockSize = 6;

uint32_t little32(const unsigned char *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads the superblock's bytes; false when the file ends before it.
bool readSuperblock(const std::string &path, unsigned char *out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < superblockSize) {
        const ssize_t n = ::pread(fd, out + done, superblockSize - done,
                                  superblockOffset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw std::runtime_error("cannot read " + path + ": " + std::strerror(error));
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == superblockSize;
}

// An ext superblock read from the image; empty when there is none.
struct Superblock {
    unsigned char bytes[superblockSize];
    bool found = false;

    explicit Superblock(const std::string &path) {
        found = readSuperblock(path, bytes) &&
                (bytes[magicAt] | bytes[magicAt + 1] << 8) == extMagic &&
                field(logBlockSizeAt) <= maxLogBlockSize;
    }
    uint32_t field(size_t at) const { return little32(bytes + at); }
};

}  // namespace

std::string probeFileSystem(const std::string &imagePath) {
    const Superblock sb(imagePath);
    if (!sb.found)
        return "";
    if ((sb.field(incompatAt) & ~ext3Incompat) != 0 || (sb.field(roCompatAt) & ~ext3RoCompat) != 0)
        return "ext4";
    if (sb.field(compatAt) & compatHasJournal)
        return "ext3";
    return "ext2";
}

uint64_t probeFileSystemBytes(const std::string &imagePath) {
    const Superblock sb(imagePath);
    if (!sb.found)
        return 0;
    uint64_t blocks = sb.field(blocksCountAt);
    if (sb.field(incompatAt) & incompat64Bit)
        blocks |= static_cast<uint64_t>(sb.field(blocksCountHighAt)) << 32;
    return blocks * (uint64_t{1024} << sb.field(logBlockSizeAt));
}

}  // namespace velmora::agent
