// The block read commands as the agent sees them: every refusal with its
// message; the cache consulted in state 4 and consumed in state 6; a write
// that reaches the disk ahead of a read of the same block caught by the
// re-check; an injected read error; and the dirty-block answers.
#include "backup_fixture.h"
#include "kernel_log.h"
#include "raw_commands.h"

#include <standin/fault.h>
#include <transfer_buffer.h>

#include <cstring>
#include <thread>

namespace velmora::test {
namespace {

using agent::BackupSession;
using agent::SessionKey;
using agent::TransferBuffer;
using sim::Machine;

constexpr uint32_t kNone = 0xFFFFFFFFu;

class ReadCommands : public BackupTest {
  protected:
    // A started backup of the rig's partition, snapshot taken (state 4) with
    // the capture armed.
    void startAndSnapshot(const BackupSession &s) const {
        ASSERT_EQ(startBackup(s.device(), rig->major(), rig->minor(), rig->blocks()), 0);
        ASSERT_EQ(standin_capture_arm(rig->part()), 0);
        ASSERT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
    }
    void loadAllSet(const BackupSession &s) const {
        s.loadBlockMap(agent::BlockBitmap(rig->blocks(), true));
    }
    Bytes block(const TransferBuffer &buffer, uint32_t position) const {
        const unsigned char *p =
            reinterpret_cast<const unsigned char *>(buffer.data()) + position * rig->blockSize();
        return Bytes(p, p + rig->blockSize());
    }
    Bytes filled(unsigned char fill) const { return Bytes(rig->blockSize(), fill); }
    Bytes captured(uint32_t blockNum) const {
        Bytes whole = rig->capture();
        auto at = whole.begin() + static_cast<std::ptrdiff_t>(blockNum) * rig->blockSize();
        return Bytes(at, at + rig->blockSize());
    }
    uint32_t dirty(const BackupSession &s) const {
        uint32_t blockNum = 0;
        EXPECT_EQ(dirtyBlock(s.device(), &blockNum), 0);
        return blockNum;
    }
};

TEST_F(ReadCommands, EachCheckRefusesWithItsMessage) {
    makeRig({"testfs", 4096, 4, 2});
    const uint32_t blocks = rig->blocks();
    rig->writeBlock(3, 0x33);
    BackupSession s;
    ASSERT_EQ(startBackup(s.device(), rig->major(), rig->minor(), blocks), 0);
    TransferBuffer buffer(s.device(), 16 * 4096);
    Machine::clearLog();
    EXPECT_EQ(readBlocks(s.device(), 0, 1, buffer.data()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlReadBlocks: state (2) not valid"));

    ASSERT_EQ(standin_capture_arm(rig->part()), 0);
    ASSERT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
    EXPECT_EQ(readBlocks(s.device(), 0xFFFFFFF0u, 32, buffer.data()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlReadBlocks: invalid block read range (4294967280-16)"));
    EXPECT_EQ(readBlocks(s.device(), blocks - 1, 2, buffer.data()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlReadBlocks: block num (" + std::to_string(blocks + 1) +
                                  ") out of range (" + std::to_string(blocks) + ")"));
    std::vector<char> unmapped(4096);
    EXPECT_EQ(readBlocks(s.device(), 0, 1, unmapped.data()), VEL_ERR_INVALID);
    EXPECT_EQ(readBlocks(s.device(), 0, 1, buffer.data() + 4096), VEL_ERR_INVALID);
    EXPECT_EQ(logCount("ioctlReadBlocks: invalid data pointer"), 2);
    EXPECT_EQ(readBlocks(s.device(), 0, 17, buffer.data()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3,
                           "ioctlReadBlocks: tried to read (17) number of blocks size (4096) and "
                           "mmap region can hold (65536) bytes"));

    EXPECT_EQ(readBlocks(s.device(), 0, 0, buffer.data()), 0);
    ASSERT_EQ(readBlocks(s.device(), 0, 16, buffer.data()), 0);
    EXPECT_EQ(block(buffer, 3), filled(0x33));
    const Bytes capture = rig->capture();
    EXPECT_TRUE(std::equal(capture.begin(), capture.begin() + 16 * 4096,
                           reinterpret_cast<const unsigned char *>(buffer.data())));

    // A map of 100 blocks: runs end at its size, not the device's.
    std::vector<unsigned char> map(13, 0xFF);
    ASSERT_EQ(loadBlockMap(s.device(), map.data(), 100), 0);
    EXPECT_EQ(readBlocks(s.device(), 90, 10, buffer.data()), 0);
    EXPECT_EQ(readBlocks(s.device(), 91, 10, buffer.data()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlReadBlocks: end block number out of block map range"));
}

TEST_F(ReadCommands, InStateFourASavedBlockIsReadAgainAndAgain) {
    makeRig({"testfs", 4096, 4, 2});
    rig->writeBlock(20, 0x11);
    {
        BackupSession s;
        startAndSnapshot(s);
        rig->writeBlock(20, 0x22);  // its old contents are saved first
        TransferBuffer buffer(s.device(), 4096);
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(readBlocks(s.device(), 20, 1, buffer.data()), 0);
            EXPECT_EQ(block(buffer, 0), filled(0x11));
        }
        uint32_t blockNum = 0;
        EXPECT_EQ(dirtyBlock(s.device(), &blockNum), 2);
    }
    EXPECT_EQ(loggedStat("total reads from cache"), "2");
    EXPECT_EQ(loggedStat("total reads from disk"), "0");
    EXPECT_EQ(loggedStat("total cached blocks"), "1");
}

TEST_F(ReadCommands, InStateSixAReadTakesTheBlockOutOfTheMapAndTheCache) {
    makeRig({"testfs", 4096, 4, 2});
    rig->writeBlock(20, 0x11);
    {
        BackupSession s;
        startAndSnapshot(s);
        loadAllSet(s);
        EXPECT_EQ(dirty(s), kNone);
        rig->writeBlock(20, 0x22);
        EXPECT_EQ(dirty(s), 20u);
        TransferBuffer buffer(s.device(), 4096);
        ASSERT_EQ(readBlocks(s.device(), 20, 1, buffer.data()), 0);
        EXPECT_EQ(block(buffer, 0), filled(0x11));
        EXPECT_EQ(dirty(s), kNone);
        // Read once, the block is the backup's no more: the disk has it now,
        // and a later write is not saved.
        ASSERT_EQ(readBlocks(s.device(), 20, 1, buffer.data()), 0);
        EXPECT_EQ(block(buffer, 0), filled(0x22));
        rig->writeBlock(20, 0x33);
        EXPECT_EQ(dirty(s), kNone);
    }
    EXPECT_EQ(loggedStat("total cached blocks"), "1");
    EXPECT_EQ(loggedStat("total reads from cache"), "1");
    EXPECT_EQ(loggedStat("total reads from disk"), "1");
}

TEST_F(ReadCommands, DirtyBlocksOfOneBucketComeNewestFirstUntilTheCacheIsEmpty) {
    makeRig({"testfs", 1024, 8, 2});
    ASSERT_GT(rig->blocks(), 4103u);
    rig->writeBlock(7, 0x07);
    BackupSession s;
    startAndSnapshot(s);
    loadAllSet(s);
    EXPECT_EQ(dirty(s), kNone);
    rig->writeBlock(7, 0x70);
    rig->writeBlock(4103, 0x71);
    TransferBuffer buffer(s.device(), 4096);
    std::vector<uint32_t> answered;
    for (uint32_t b = dirty(s); b != kNone && answered.size() < 4; b = dirty(s)) {
        answered.push_back(b);
        ASSERT_EQ(readBlocks(s.device(), b, 1, buffer.data()), 0);
        EXPECT_EQ(block(buffer, 0), captured(b)) << "block " << b;
    }
    EXPECT_EQ(answered, (std::vector<uint32_t>{4103, 7}));
    EXPECT_EQ(captured(7), filled(0x07));
}

// The read of block X is held after it found X unsaved and before it reaches
// the disk (the driver's allocations fail meanwhile); a write to X is then
// copied and written; the read finds the new contents on the disk, and the
// re-check must give the old ones back.
TEST_F(ReadCommands, AWriteThatOvertakesADiskReadIsCaughtByTheRecheck) {
    makeRig({"testfs", 4096, 4, 2});
    constexpr uint32_t kBlock = 50;
    rig->writeBlock(kBlock, 0x11);
    {
        BackupSession s;
        startAndSnapshot(s);
        TransferBuffer buffer(s.device(), 4096);

        ASSERT_EQ(standin_disk_pause(rig->part()), 0);
        std::thread writer([&] { rig->writeBlock(kBlock, 0x22); });
        // The copy's read of the old contents waits at the disk.
        ASSERT_EQ(standin_disk_wait_queued(rig->part(), 1), 1);
        standin_fault_rule rule{};
        rule.sites = FAULT_KMALLOC;
        rule.module_only = 1;
        rule.times = -1;
        int id = standin_fault_add(&rule);
        int status = -1;
        std::thread reader([&] { status = readBlocks(s.device(), kBlock, 1, buffer.data()); });
        while (standin_fault_hits(id) == 0)
            std::this_thread::yield();
        ASSERT_EQ(standin_disk_resume(rig->part()), 0);
        writer.join();
        Bytes onDisk(rig->blockSize());
        ASSERT_EQ(standin_dev_read_raw(rig->part(), uint64_t{kBlock} * rig->blockSize(),
                                       onDisk.data(), onDisk.size()),
                  0);
        EXPECT_EQ(onDisk, filled(0x22));
        standin_fault_clear();
        reader.join();
        EXPECT_EQ(status, VEL_OK);
        EXPECT_EQ(block(buffer, 0), filled(0x11));
    }
    EXPECT_EQ(loggedStat("total reads from disk"), "1");
    EXPECT_EQ(loggedStat("total reads from cache"), "1");
}

TEST_F(ReadCommands, AnInjectedReadErrorZeroesThatBlockAndKeepsTheOthers) {
    makeRig({"testfs", 4096, 4, 2});
    for (uint32_t b = 60; b < 65; ++b)
        rig->writeBlock(b, static_cast<unsigned char>(b));
    BackupSession s;
    startAndSnapshot(s);
    TransferBuffer buffer(s.device(), 8 * 4096);
    ASSERT_EQ(readBlocks(s.device(), 60, 5, buffer.data()), 0);
    EXPECT_EQ(block(buffer, 2), filled(62));

    ASSERT_EQ(standin_disk_fail_sectors(rig->part(), 62 * 8, 8, STANDIN_FAIL_READ), 0);
    Machine::clearLog();
    EXPECT_EQ(readBlocks(s.device(), 60, 5, buffer.data()), VEL_ERR_READ_FAILED);
    EXPECT_TRUE(logHasLine(4,
                           "ioctlReadBlocks: Received an IO error while reading sectors for "
                           "backup.  Some sectors could not be read"));
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(block(buffer, i), filled(i == 2 ? 0 : static_cast<unsigned char>(60 + i)))
            << "position " << i;
    standin_disk_clear_failures(rig->part());
}

}  // namespace
}  // namespace velmora::test
