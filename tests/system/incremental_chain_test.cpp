// Incremental backups under writers: each presents the key the previous one
// left; the changed-block map the driver hands out holds exactly the blocks
// written between the two snapshots (by the writers' log, by freeze epoch);
// and reading only those blocks onto the previous image gives, byte for byte,
// the content at the new snapshot, along a chain of three incrementals.
#include "backup_fixture.h"

#include <string>

namespace velmora::test {
namespace {

class IncrementalChain : public BackupTest, public ::testing::WithParamInterface<RigCase> {};

std::set<uint32_t> blocksOf(const agent::BlockBitmap &map) {
    std::set<uint32_t> blocks;
    for (uint32_t b = 0; b < map.blocks(); ++b)
        if (map.test(b))
            blocks.insert(b);
    return blocks;
}

TEST_P(IncrementalChain, EachImageIsTheContentAtItsSnapshot) {
    const RigCase &c = GetParam();
    DiskRig &r = makeRig(c.layout);
    const Bytes base = r.raw();
    Workload &w = startWorkload(r.part(), {.writers = 3,
                                           .mode = c.mode,
                                           .firstBlock = 8,
                                           .nrBlocks = 300,
                                           .syncEvery = c.syncEvery,
                                           .seed = 11});
    Workload &other = startWorkload(r.otherPart(), {.writers = 2, .nrBlocks = 100, .seed = 12});
    w.waitMore(60);

    constexpr int kBackups = 4;  // a full one and three incrementals
    std::vector<unsigned long> epochs;
    std::vector<agent::BackupReport> reports;
    agent::BackupRequest req = request();
    req.afterSnapshot = [&w] { w.waitMore(40); };
    for (int i = 0; i < kBackups; ++i) {
        SCOPED_TRACE("backup " + std::to_string(i));
        ASSERT_EQ(standin_capture_arm(r.part()), 0);
        reports.push_back(agent::runBackup(req));
        unsigned long epoch = 0;
        ASSERT_EQ(standin_capture_taken(r.part(), &epoch), 1);
        epochs.push_back(epoch);
        EXPECT_EQ(differences(readFile(req.imagePath), r.capture(), r.blockSize()), "");
        standin_capture_release(r.part());
        req.previousKey = reports.back().newKey;
        w.waitMore(50);
    }
    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(other.stop(), 0);

    // Every write accepted before a freeze is logged by now.
    const auto log = w.log();
    EXPECT_FALSE(reports[0].incremental);
    for (int i = 1; i < kBackups; ++i) {
        SCOPED_TRACE("incremental " + std::to_string(i));
        const agent::BackupReport &rep = reports[i];
        EXPECT_TRUE(rep.incremental);
        std::set<uint32_t> changed = blocksOf(rep.copied);
        EXPECT_FALSE(changed.empty());
        EXPECT_EQ(changed, blocksWrittenBetween(log, r.blockSize(), epochs[i - 1], epochs[i]));
        EXPECT_EQ(rep.blocksCopied, changed.size());
        EXPECT_NE(rep.newKey, reports[i - 1].newKey);
    }
    // The last image, patched three times, by the writers' log.
    EXPECT_EQ(differences(readFile(req.imagePath), contentAtFreeze(base, log, epochs.back()),
                          r.blockSize()),
              "");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, IncrementalChain,
    ::testing::Values(
        RigCase{"ext4_4096_direct", {"ext4", 4096, 4, 2}, STANDIN_FS_DIRECT, 0},
        RigCase{"ramdisk_testfs_2048_buffered", {"testfs", 2048, 4, 2}, STANDIN_FS_BUFFERED, 4}),
    rigCaseName);

}  // namespace
}  // namespace velmora::test
