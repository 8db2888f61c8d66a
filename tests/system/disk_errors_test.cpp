// A disk that fails under a backup: read errors wherever they fall, a copy
// that cannot be read, writes that fail, slow answers and a disk that goes
// away. Whatever the disk does, a read the driver reports good holds the
// snapshot's bytes, and a failure comes out as its status and state.
#include "backup_fixture.h"
#include "raw_commands.h"

#include <transfer_buffer.h>

#include <cstring>

namespace velmora::test {
namespace {

using agent::BackupSession;
using agent::TransferBuffer;

class DiskErrors : public BackupTest {
  protected:
    // A backup with every block to copy and its reference captured.
    struct Open {
        std::unique_ptr<BackupSession> session;
        std::unique_ptr<TransferBuffer> buffer;
        Bytes reference;
        uint32_t perRead = 0;
    };
    Open begin() {
        Open o;
        o.session = std::make_unique<BackupSession>();
        const agent::ControlDevice &dev = o.session->device();
        EXPECT_EQ(startBackup(dev, rig->major(), rig->minor(), rig->blocks()), VEL_OK);
        EXPECT_EQ(dev.command(VEL_NO_LOAD_FROM_AUTOMAP, nullptr), VEL_OK);
        standin_capture_release(rig->part());
        EXPECT_EQ(standin_capture_arm(rig->part()), 0);
        EXPECT_EQ(snapshot(dev, agent::SessionKey::none().raw), VEL_OK);
        o.session->loadBlockMap(agent::BlockBitmap(rig->blocks(), true));
        o.reference = rig->capture();
        o.buffer = std::make_unique<TransferBuffer>(
            dev, static_cast<std::size_t>(o.session->state().mmapSize));
        o.perRead = static_cast<uint32_t>(o.buffer->size() / rig->blockSize());
        return o;
    }
    // Reads blocks [start, start + n) and checks each against the snapshot:
    // every block of a good read, and every block not in `failing` of a read
    // that reported 12; the blocks in `failing` read as zeros. The status.
    int readChecked(const Open &o, uint32_t start, uint32_t n, uint32_t failFrom = 1,
                    uint32_t failTo = 0) {
        ReadBlocks rec{start, n, const_cast<char *>(o.buffer->data())};
        const int status = o.session->device().command(VEL_READ_BLOCKS, &rec);
        if (status != VEL_OK && status != VEL_ERR_READ_FAILED)
            return status;
        const unsigned bs = rig->blockSize();
        for (uint32_t i = 0; i < n; ++i) {
            const char *got = o.buffer->data() + static_cast<std::size_t>(i) * bs;
            const uint32_t b = start + i;
            if (status == VEL_ERR_READ_FAILED && b >= failFrom && b < failTo) {
                EXPECT_EQ(Bytes(got, got + bs), Bytes(bs, 0)) << "failed block " << b;
                continue;
            }
            EXPECT_EQ(std::memcmp(got, &o.reference[static_cast<std::size_t>(b) * bs], bs), 0)
                << "block " << b << " of a read that returned " << status;
        }
        return status;
    }
    void failBlocks(uint32_t from, uint32_t to, int directions) {
        const unsigned spb = rig->blockSize() / 512;
        ASSERT_EQ(standin_disk_fail_sectors(rig->part(), uint64_t{from} * spb,
                                            uint64_t{to - from} * spb, directions),
                  0);
    }
};

TEST_F(DiskErrors, ReadErrorsAnywhereGiveZeroedBlocksAndTwelve) {
    makeRig({"testfs", 4096, 4, 2});
    const uint32_t total = rig->blocks();
    struct Case {
        const char *name;
        uint32_t from, to;
    };
    const Case cases[] = {{"one block", 70, 71},
                          {"first block", 0, 1},
                          {"last block", total - 1, total},
                          {"a whole batch and more", 200, 600}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Open o = begin();
        failBlocks(c.from, c.to, STANDIN_FAIL_READ);
        for (uint32_t b = 0; b < total; b += o.perRead) {
            const uint32_t n = std::min(o.perRead, total - b);
            const bool touches = b < c.to && c.from < b + n;
            EXPECT_EQ(readChecked(o, b, n, c.from, c.to), touches ? VEL_ERR_READ_FAILED : VEL_OK);
        }
        // The error was the disk's, not the backup's: the blocks read again.
        ASSERT_EQ(standin_disk_clear_failures(rig->disk()), 0);
        EXPECT_EQ(o.session->state().state, VEL_STATE_MAP_LOADED);
        EXPECT_EQ(readChecked(o, c.from, std::min(c.to - c.from, o.perRead)), VEL_OK);
    }
}

TEST_F(DiskErrors, ACopyThatCannotBeReadFailsTheBackupNotTheWriters) {
    makeRig({"testfs", 4096, 4, 2});
    const uint32_t total = rig->blocks();
    Open o = begin();
    failBlocks(total / 2, total, STANDIN_FAIL_READ);
    Workload &w =
        startWorkload(rig->part(), {.writers = 2, .firstBlock = total / 2, .nrBlocks = total / 2});
    w.waitMore(50);
    EXPECT_EQ(w.stop(), 0);
    ASSERT_EQ(standin_disk_clear_failures(rig->disk()), 0);
    EXPECT_EQ(o.session->state().state, VEL_STATE_READ_ERROR);
    for (uint32_t b = 0; b < total; b += o.perRead)
        EXPECT_NE(readChecked(o, b, std::min(o.perRead, total - b)), VEL_OK);
}

TEST_F(DiskErrors, FailingWritesAndSlowAnswersLeaveTheImageRight) {
    makeRig({"testfs", 4096, 4, 2});
    const uint32_t total = rig->blocks();
    for (bool slow : {false, true}) {
        SCOPED_TRACE(slow ? "slow disk" : "failing writes");
        Open o = begin();
        if (slow)
            ASSERT_EQ(standin_disk_set_latency(rig->disk(), 3'000'000), 0);
        else
            failBlocks(total / 2, total / 2 + 64, STANDIN_FAIL_WRITE);
        Workload &w = startWorkload(rig->part(),
                                    {.writers = 2, .firstBlock = total / 2, .nrBlocks = total / 2});
        w.waitMore(100);
        for (uint32_t b = 0; b < total; b += o.perRead)
            EXPECT_EQ(readChecked(o, b, std::min(o.perRead, total - b)), VEL_OK);
        const long failed = w.stop();
        EXPECT_EQ(failed > 0, !slow) << failed << " writes failed";
        ASSERT_EQ(standin_disk_clear_failures(rig->disk()), 0);
        ASSERT_EQ(standin_disk_set_latency(rig->disk(), 0), 0);
        workloads.clear();
        EXPECT_EQ(o.session->state().state, VEL_STATE_MAP_LOADED);
    }
}

TEST_F(DiskErrors, ADiskThatGoesAwayEndsTheBackupCleanly) {
    makeRig({"testfs", 4096, 4, 2});
    const uint32_t total = rig->blocks();
    Open o = begin();
    Workload &w = startWorkload(rig->part(), {.writers = 2, .firstBlock = 16, .nrBlocks = 256});
    w.waitMore(50);
    EXPECT_EQ(readChecked(o, 0, o.perRead), VEL_OK);
    ASSERT_EQ(standin_disk_unplug(rig->disk()), 0);
    for (uint32_t b = o.perRead; b < total; b += o.perRead) {
        const int status = readChecked(o, b, std::min(o.perRead, total - b));
        EXPECT_TRUE(status == VEL_ERR_READ_FAILED || status == VEL_ERR_INVALID) << status;
    }
    w.stop();
    o.buffer.reset();
    o.session.reset();
    // The module lets go of the dead queue: it unloads (TearDown) with
    // nothing left behind.
}

class DiskMoves : public DiskErrors {
  protected:
    void movedUnderTracking(bool replug) {
        makeRig({"testfs", 4096, 4, 2});
        agent::BackupRequest req = request();
        const agent::SessionKey key = agent::runBackup(req).newKey;
        const Bytes before = rig->raw();
        unsigned long long start = 0, sectors = 0, otherStart = 0, otherSectors = 0;
        ASSERT_EQ(standin_disk_partition(rig->disk(), 1, &start, &sectors), 0);
        ASSERT_EQ(standin_disk_partition(rig->disk(), 2, &otherStart, &otherSectors), 0);

        ASSERT_EQ(standin_umount(rig->part()), 0);
        if (replug) {
            const uint64_t diskSectors = standin_dev_sectors(rig->disk());
            ASSERT_EQ(standin_disk_unplug(rig->disk()), 0);
            ASSERT_EQ(standin_umount(rig->otherPart()), 0);
            ASSERT_EQ(standin_ramdisk_create("ramb", rig->major(), 0, 16, diskSectors), 0);
            ASSERT_EQ(standin_disk_set_partition(rig->disk(), 1, start, sectors), 0);
            ASSERT_EQ(standin_disk_set_partition(rig->disk(), 2, otherStart, otherSectors), 0);
            ASSERT_EQ(standin_mount(rig->otherPart(), "testfs", 4096), 0);
        } else {
            ASSERT_EQ(standin_disk_set_partition(rig->disk(), 1, start - 1024, sectors), 0);
        }
        ASSERT_EQ(standin_dev_write_raw(rig->part(), 0, before.data(), before.size()), 0);
        ASSERT_EQ(standin_mount(rig->part(), "testfs", 4096), 0);

        for (uint32_t b = 40; b < 48; ++b)
            rig->writeBlock(b, static_cast<unsigned char>(b));
        req.previousKey = key;
        agent::runBackup(req);
        EXPECT_EQ(differences(readFile(req.imagePath), rig->raw(), rig->blockSize()), "");
    }
};

// A disk pulled out and put back (the same numbers, the same bytes) is a new
// queue the old hook never saw, and a partition moved on its disk has other
// sectors than those the hook knows: the writes made since must not be
// missing from the next incremental backup.
TEST_F(DiskMoves, ADiskPluggedInAgainLosesNoWrite) {
    movedUnderTracking(true);
}

TEST_F(DiskMoves, AMovedPartitionLosesNoWrite) {
    movedUnderTracking(false);
}

}  // namespace
}  // namespace velmora::test
