// The backup store: a randomized chain restored byte for byte at every point,
// a damaged frame found by verify and by the restores that need it, and
// writers that die before they publish.
#include <device_chain.h>
#include <durable_file.h>
#include <point_selection.h>
#include <store_layout.h>

#include "store_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace velmora::agent::store {
namespace {

namespace fs = std::filesystem;

// A device in memory, whose blocks the test rewrites and the store keeps.
class Device {
  public:
    Device(uint32_t blocks, uint32_t blockSize, uint32_t seed)
        : blockSize_(blockSize), bytes_(std::size_t{blocks} * blockSize), random_(seed) {}

    uint32_t blocks() const { return static_cast<uint32_t>(bytes_.size() / blockSize_); }
    char *block(uint32_t n) { return bytes_.data() + std::size_t{n} * blockSize_; }
    const std::vector<char> &bytes() const { return bytes_; }

    // Random bytes (incompressible), a short repeated pattern (compressible), or
    // a copy of another block (stored once), a third of the time each.
    void rewrite(uint32_t n) {
        char *out = block(n);
        switch (random_() % 3) {
            case 0:
                for (uint32_t i = 0; i < blockSize_; ++i)
                    out[i] = static_cast<char>(random_());
                break;
            case 1: {
                const uint32_t period = 1 + random_() % 64;
                std::string pattern(period, '\0');
                for (char &c : pattern)
                    c = static_cast<char>(random_());
                for (uint32_t i = 0; i < blockSize_; ++i)
                    out[i] = pattern[i % period];
                break;
            }
            default:
                std::memmove(out, block(random_() % blocks()), blockSize_);
        }
    }

    std::mt19937 &random() { return random_; }

  private:
    uint32_t blockSize_;
    std::vector<char> bytes_;
    std::mt19937 random_;
};

// Writes the given blocks of device as one point, counting the contents the
// chain had not stored before into `seen`.
PointInfo writePoint(DeviceChain &chain, Device &device, const std::string &kind,
                     const std::set<uint32_t> &blocks, uint32_t blockSize,
                     std::set<std::string> &seen, uint32_t &unseen) {
    auto writer = chain.begin(kind, "t" + std::to_string(seen.size()), blockSize, device.blocks());
    unseen = 0;
    for (uint32_t b : blocks) {
        writer.add(b, device.block(b));
        unseen += seen.emplace(device.block(b), blockSize).second;
    }
    return writer.commit();
}

std::vector<char> restored(const DeviceChain &chain, uint32_t id) {
    uint32_t blockSize = 0;
    for (const PointInfo &p : chain.points())
        blockSize = p.id == id ? p.blockSize : blockSize;
    std::vector<char> out;
    uint32_t expected = 0;
    chain.restore(id, [&](uint32_t block, const char *bytes) {
        EXPECT_EQ(block, expected++) << "blocks come in order";
        out.insert(out.end(), bytes, bytes + blockSize);
    });
    return out;
}

TEST(BackupStore, RandomChainRestoresEveryPointByteForByte) {
    constexpr uint32_t kBlocks = 2048, kBlockSize = 4096;
    StoreDir dir;
    DeviceChain chain(dir.path(), "sda1");
    Device device(kBlocks, kBlockSize, 20240611);
    std::set<uint32_t> all;
    for (uint32_t b = 0; b < kBlocks; ++b) {
        device.rewrite(b);
        all.insert(b);
    }

    std::set<std::string> seen;
    std::vector<std::vector<char>> copies;
    std::vector<PointInfo> written;
    uint32_t unseen = 0;
    written.push_back(writePoint(chain, device, "full", all, kBlockSize, seen, unseen));
    EXPECT_EQ(written[0].newChunks, unseen) << "equal blocks of the full point stored once";
    EXPECT_LT(unseen, kBlocks) << "the full point has copies to share";
    copies.push_back(device.bytes());
    for (int n = 0; n < 6; ++n) {
        std::set<uint32_t> changed;
        const uint32_t count = 20 + device.random()() % 150;
        while (changed.size() < count)
            changed.insert(device.random()() % kBlocks);
        for (uint32_t b : changed)
            device.rewrite(b);
        written.push_back(
            writePoint(chain, device, "incremental", changed, kBlockSize, seen, unseen));
        EXPECT_EQ(written.back().changedBlocks, count);
        EXPECT_EQ(written.back().newChunks, unseen)
            << "a block already stored anywhere in the chain is not stored again";
        EXPECT_LT(written.back().newChunks, count);
        EXPECT_LT(written.back().storedBytes * 5, written[0].storedBytes);
        copies.push_back(device.bytes());
    }

    const std::vector<PointInfo> points = chain.points();
    ASSERT_EQ(points.size(), 7u);
    for (uint32_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(points[i].id, i + 1);
        EXPECT_EQ(points[i].parent, i);
        EXPECT_EQ(points[i].kind, i == 0 ? "full" : "incremental");
        EXPECT_EQ(points[i].time, written[i].time);
        EXPECT_EQ(points[i].storedBytes, written[i].storedBytes);
        EXPECT_TRUE(restored(chain, i + 1) == copies[i]) << "point " << i + 1;
    }
    const std::string image = dir.path() + "/restored.img";
    chain.restoreToFile(4, image);
    std::ifstream in(image, std::ios::binary);
    EXPECT_TRUE(std::vector<char>(std::istreambuf_iterator<char>(in), {}) == copies[3]);
    EXPECT_TRUE(chain.verify().empty());

    uint64_t incremental = 0;
    for (uint32_t i = 1; i < written.size(); ++i)
        incremental += written[i].storedBytes;
    std::printf(
        "store figures: full %u blocks -> %u frames, %llu of %llu bytes; "
        "6 incrementals %llu bytes\n",
        kBlocks, written[0].newChunks, (unsigned long long)written[0].storedBytes,
        (unsigned long long)kBlocks * kBlockSize, (unsigned long long)incremental);
}

TEST(BackupStore, DamagedFrameIsNamedAndOnlyItsRestoresFail) {
    constexpr uint32_t kBlocks = 64, kBlockSize = 1024;
    StoreDir dir;
    DeviceChain chain(dir.path(), "sdb");
    std::mt19937 random(7);
    std::vector<char> device(kBlocks * kBlockSize);
    auto scramble = [&](uint32_t b) {
        for (uint32_t i = 0; i < kBlockSize; ++i)
            device[b * kBlockSize + i] = static_cast<char>(random());
    };
    std::vector<std::vector<char>> copies;
    auto write = [&](const std::string &kind, std::vector<uint32_t> blocks) {
        auto writer = chain.begin(kind, "now", kBlockSize, kBlocks);
        for (uint32_t b : blocks)
            writer.add(b, device.data() + b * kBlockSize);
        writer.commit();
        copies.push_back(device);
    };
    std::vector<uint32_t> all;
    for (uint32_t b = 0; b < kBlocks; ++b) {
        scramble(b);
        all.push_back(b);
    }
    write("full", all);
    scramble(5);
    write("incremental", {5});
    scramble(9);
    write("incremental", {9});

    // Flip one byte inside the frame of block 5 in the full point's pack.
    const std::string point1 = chain.pointsDirectory() + "/000001/";
    std::ifstream indexFile(point1 + "index", std::ios::binary);
    const auto entries = decodeIndex(std::string(std::istreambuf_iterator<char>(indexFile), {}));
    const IndexEntry &frame = entries.at(5);
    ASSERT_EQ(frame.block, 5u);
    std::fstream pack(point1 + "pack", std::ios::binary | std::ios::in | std::ios::out);
    pack.seekg(static_cast<std::streamoff>(frame.offset + frame.length / 2));
    const char byte = static_cast<char>(pack.get() ^ 0x40);
    pack.seekp(static_cast<std::streamoff>(frame.offset + frame.length / 2));
    pack.put(byte);
    pack.close();

    const auto problems = chain.verify();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("point 000001 block 5:"), std::string::npos) << problems[0];
    try {
        restored(chain, 1);
        ADD_FAILURE() << "restore of the damaged point succeeded";
    } catch (const StoreCorrupt &e) {
        EXPECT_EQ(e.point(), 1u);
        EXPECT_EQ(e.block(), 5u);
    }
    EXPECT_TRUE(restored(chain, 2) == copies[1]) << "point 2 holds its own block 5";
    EXPECT_TRUE(restored(chain, 3) == copies[2]);
    EXPECT_THROW(chain.restoreToFile(1, dir.path() + "/one.img"), StoreCorrupt);
    EXPECT_FALSE(fs::exists(dir.path() + "/one.img")) << "a failed restore leaves no file";
}

TEST(BackupStore, UnpublishedPointsLeaveNoTrace) {
    constexpr uint32_t kBlocks = 16, kBlockSize = 512;
    StoreDir dir;
    DeviceChain chain(dir.path(), "vda");
    const std::string pointsDir = chain.pointsDirectory();
    std::vector<char> device(kBlocks * kBlockSize);
    for (std::size_t i = 0; i < device.size(); ++i)
        device[i] = static_cast<char>(i * 31 / 7);
    auto fill = [&](DeviceChain::Writer &writer, uint32_t upTo) {
        for (uint32_t b = 0; b < upTo; ++b)
            writer.add(b, device.data() + b * kBlockSize);
    };

    EXPECT_THROW(chain.begin("incremental", "x", kBlockSize, kBlocks), std::logic_error)
        << "an incremental needs a parent";
    {
        auto writer = chain.begin("full", "killed", kBlockSize, kBlocks);
        fill(writer, 8);
        EXPECT_THROW(writer.commit(), std::logic_error) << "a full point needs every block";
    }
    EXPECT_TRUE(chain.points().empty());
    EXPECT_TRUE(fs::is_empty(pointsDir)) << "the destroyed writer removed its directory";

    auto full = chain.begin("full", "first", kBlockSize, kBlocks);
    fill(full, kBlocks);
    EXPECT_THROW(full.add(3, device.data()), std::invalid_argument) << "out of order";
    EXPECT_EQ(full.commit().id, 1u);
    EXPECT_THROW(chain.begin("incremental", "x", kBlockSize * 2, kBlocks), std::logic_error)
        << "an incremental keeps its parent's geometry";

    fs::create_directories(pointsDir + "/000009.tmp");
    std::ofstream(pointsDir + "/000009.tmp/pack") << "half a frame";
    ASSERT_EQ(chain.points().size(), 1u) << "a killed writer's directory is not a point";
    device[3 * kBlockSize] ^= 1;
    auto next = chain.begin("incremental", "second", kBlockSize, kBlocks);
    EXPECT_FALSE(fs::exists(pointsDir + "/000009.tmp")) << "a new writer clears leftovers";
    next.add(3, device.data() + 3 * kBlockSize);
    const PointInfo second = next.commit();
    EXPECT_EQ(second.id, 2u);
    EXPECT_EQ(second.parent, 1u);
    EXPECT_TRUE(restored(chain, 2) == device);
    EXPECT_TRUE(chain.verify().empty());
}

// Every bit of the store's manifests, a bit of every byte of its indexes and
// maps and of bytes all over its packs, flipped one at a time: each restore gives the point's bytes
// or fails; never other bytes.
TEST(BackupStore, AnyFlippedByteFailsARestoreOrLeavesItExact) {
    constexpr uint32_t kBlocks = 24, kBlockSize = 512;
    StoreDir dir;
    Device device(kBlocks, kBlockSize, 99);
    std::vector<std::vector<char>> copies;
    {
        DeviceChain chain(dir.path(), "sdc");
        std::set<uint32_t> changed;
        for (uint32_t b = 0; b < kBlocks; ++b)
            changed.insert(b);
        // Each incremental changes blocks the others do not, so that a point
        // read over the wrong parent shows.
        const std::set<uint32_t> later[] = {{1, 5, 6, 7, 20}, {2, 9}, {5, 11, 23}};
        for (int n = 0; n < 4; ++n) {
            for (uint32_t b : changed)
                device.rewrite(b);
            std::set<std::string> seen;
            uint32_t unseen = 0;
            writePoint(chain, device, n ? "incremental" : "full", changed, kBlockSize, seen,
                       unseen);
            copies.push_back(device.bytes());
            if (n < 3)
                changed = later[n];
        }
    }
    const DeviceChain chain(dir.path(), "sdc", false);
    std::vector<std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(dir.path()))
        if (entry.is_regular_file() && !entry.path().string().ends_with(".lock"))
            files.push_back(entry.path().string());
    int flips = 0, failed = 0;
    for (const std::string &file : files) {
        const std::string original = readWholeFile(file);
        // Every frame is checked by its hash: a byte in eleven of a pack
        // suffices. Records are read as text or numbers: every bit of them.
        const bool pack = file.ends_with("/pack");
        const int bits = file.ends_with(".json") || file.ends_with("CURRENT") ? 8 : 1;
        for (std::size_t flip = 0; flip < original.size() * bits; flip += pack ? 11 : 1) {
            const std::size_t at = flip / bits;
            std::string damaged = original;
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << (bits == 1 ? at % 8 : flip % 8)));
            std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;
            ++flips;
            for (uint32_t id = 1; id <= copies.size(); ++id) {
                std::vector<char> out;
                try {
                    chain.restore(id, [&](uint32_t, const char *bytes) {
                        out.insert(out.end(), bytes, bytes + kBlockSize);
                    });
                } catch (const std::exception &) {
                    ++failed;
                    continue;
                }
                ASSERT_TRUE(out == copies[id - 1])
                    << "point " << id << " restored other bytes with byte " << at << " of " << file
                    << " flipped";
            }
        }
        std::ofstream(file, std::ios::binary | std::ios::trunc) << original;
    }
    EXPECT_GT(failed, flips) << "most damage fails some restore";
    EXPECT_TRUE(chain.verify().empty());
}

// What a mistake or a damaged record must not destroy: a pipe named as the
// restore's target, a store whose CURRENT is lost, new backups beside a
// damaged point, a prune asked to keep everything older than the epoch.
TEST(BackupStore, MistakesAndDamageDestroyNothing) {
    constexpr uint32_t kBlocks = 8, kBlockSize = 512;
    StoreDir dir;
    DeviceChain chain(dir.path(), "sdd");
    const std::vector<char> zeros(kBlockSize), ones(kBlockSize, 1);
    auto point = [&](const std::string &kind, const std::string &time, const std::vector<char> &b) {
        auto writer = chain.begin(kind, time, kBlockSize, kBlocks);
        for (uint32_t n = 0; n < (kind == "full" ? kBlocks : 1); ++n)
            writer.add(n, b.data());
        writer.commit();
    };
    point("full", "2026-01-01T00:00:00Z", zeros);
    point("incremental", "2026-01-02T00:00:00Z", ones);
    point("incremental", "2026-01-03T00:00:00Z", zeros);

    const std::string pipe = dir.path() + "/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_THROW(chain.restoreToFile(1, pipe), std::invalid_argument);
    EXPECT_TRUE(fs::is_fifo(pipe));
    std::ofstream(dir.path() + "/real.img") << "old";
    fs::create_symlink(dir.path() + "/real.img", dir.path() + "/link.img");
    chain.restoreToFile(2, dir.path() + "/link.img");
    EXPECT_TRUE(fs::is_symlink(dir.path() + "/link.img")) << "the link's file is replaced";
    EXPECT_EQ(fs::file_size(dir.path() + "/real.img"), kBlocks * kBlockSize);

    EXPECT_EQ(timeBefore("600000d", 1'800'000'000), "1970-01-01T00:00:00Z");
    EXPECT_THROW(normalizeTime("0384-03-12"), std::invalid_argument);
    EXPECT_TRUE(chain.prune({.keepLast = 0, .keepSince = timeBefore("600000d", 1'800'000'000)})
                    .removed.empty());
    EXPECT_EQ(chain.prune({.keepLast = 2, .keepSince = {}}).mergedInto, 2u);

    // A damaged point shares nothing, and stops no new backup.
    const std::string index = chain.pointsDirectory() + "/000003/index";
    std::string bytes = readWholeFile(index);
    bytes[bytes.size() - 1] ^= 1;
    std::ofstream(index, std::ios::binary | std::ios::trunc) << bytes;
    point("full", "2026-01-04T00:00:00Z", ones);
    EXPECT_TRUE(restored(chain, 4) == std::vector<char>(kBlocks * kBlockSize, 1));

    // CURRENT lost after a prune: the chains stay, nothing new is begun.
    const std::string pruned = chain.pointsDirectory();
    fs::remove(dir.path() + "/sdd/CURRENT");
    EXPECT_THROW(DeviceChain(dir.path(), "sdd"), StoreCorrupt);
    EXPECT_TRUE(fs::exists(pruned + "/000004/pack"));
}

}  // namespace
}  // namespace velmora::agent::store
