// The central property: while writers keep changing the partition (and the
// second partition of the same disk), a full backup reads an image equal, byte
// for byte, to the partition's content at the instant of the snapshot, for
// each block size; and the writers' own log says the same block by block.
#include "backup_fixture.h"
#include "kernel_log.h"

#include <string>

namespace velmora::test {
namespace {

class PointInTime : public BackupTest, public ::testing::WithParamInterface<RigCase> {};

TEST_P(PointInTime, FullImageIsTheContentAtTheSnapshot) {
    const RigCase &c = GetParam();
    DiskRig &r = makeRig(c.layout);
    const Bytes base = r.raw();
    Workload &w = startWorkload(r.part(), {.writers = 4,
                                           .mode = c.mode,
                                           .firstBlock = 16,
                                           .nrBlocks = 400,
                                           .syncEvery = c.syncEvery,
                                           .seed = 3});
    Workload &other = startWorkload(r.otherPart(), {.writers = 2,
                                                    .mode = STANDIN_FS_BUFFERED,
                                                    .firstBlock = 16,
                                                    .nrBlocks = 200,
                                                    .syncEvery = 5,
                                                    .seed = 4});
    w.waitMore(100);

    ASSERT_EQ(standin_capture_arm(r.part()), 0);
    agent::BackupRequest req = request();
    // Writers go on between the snapshot and the first read, so blocks not
    // yet read are overwritten while the image is read.
    req.afterSnapshot = [&w] { w.waitMore(150); };
    agent::BackupReport report = agent::runBackup(req);
    w.waitMore(50);
    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(other.stop(), 0);

    unsigned long epoch = 0;
    ASSERT_EQ(standin_capture_taken(r.part(), &epoch), 1);
    EXPECT_FALSE(report.incremental);
    EXPECT_EQ(report.blocksCopied, r.blocks());
    const Bytes image = readFile(req.imagePath);
    EXPECT_EQ(differences(image, r.capture(), r.blockSize()), "") << "against the capture";
    EXPECT_EQ(differences(image, contentAtFreeze(base, w.log(), epoch), r.blockSize()), "")
        << "against the writers' log";
    // The writers really overtook the reads: old contents were saved.
    EXPECT_GT(std::stoi(loggedStat("total cached blocks")), 0);
    EXPECT_EQ(loggedStat("block size"), std::to_string(r.blockSize()));
    EXPECT_EQ(loggedStat("state"), "7");
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, PointInTime,
    ::testing::Values(
        RigCase{"ext4_1024_direct", {"ext4", 1024, 8, 4}, STANDIN_FS_DIRECT, 0},
        RigCase{"ext3_2048_buffered", {"ext3", 2048, 8, 4}, STANDIN_FS_BUFFERED, 7},
        RigCase{"ext4_4096_direct", {"ext4", 4096, 12, 4}, STANDIN_FS_DIRECT, 0},
        RigCase{"ramdisk_testfs_1024_buffered", {"testfs", 1024, 8, 4}, STANDIN_FS_BUFFERED, 5}),
    rigCaseName);

}  // namespace
}  // namespace velmora::test
