// What the snapshot does when it cannot or must not load the device's change
// record: a wrong key, the two automap flags, a resized device, a device
// with no file system, a freeze that fails; and the shutdown command refused
// while a backup runs. Each checked by its status, its message and what the
// agent sees afterwards.
#include "backup_fixture.h"
#include "kernel_log.h"
#include "raw_commands.h"

#include <cerrno>
#include <cstring>

namespace velmora::test {
namespace {

using agent::BackupSession;
using agent::SessionKey;
using sim::Machine;

bool sameKey(const AMSessionKey &a, const AMSessionKey &b) {
    return std::memcmp(a.key, b.key, sizeof a.key) == 0;
}

class SnapshotRefusals : public BackupTest {
  protected:
    void SetUp() override {
        BackupTest::SetUp();
        makeRig({"testfs", 4096, 4, 2});
    }
    // Starts a backup of the rig's partition on the session's file.
    void start(const BackupSession &s, uint32_t totalBlocks = 0) const {
        ASSERT_EQ(startBackup(s.device(), rig->major(), rig->minor(),
                              totalBlocks ? totalBlocks : rig->blocks()),
                  0);
    }
    // The next freeze of the partition fails; false where none can.
    bool failNextFreeze() const {
        int armed = standin_fs_fail_freeze(rig->part(), -EIO, 1);
        EXPECT_TRUE(armed == 0 || armed == -ENOSYS) << armed;
        return armed == 0;
    }
    std::set<uint32_t> fetchMap(const BackupSession &s) const {
        std::set<uint32_t> out;
        agent::BlockBitmap map = s.automap(rig->blocks());
        for (uint32_t b = 0; b < map.blocks(); ++b)
            if (map.test(b))
                out.insert(b);
        return out;
    }
};

TEST_F(SnapshotRefusals, AWrongKeyTakesNoSnapshotAndLeavesTheSessionAlone) {
    const SessionKey key = fullBackup();
    rig->writeBlock(40, 0x40);
    BackupSession s;
    start(s);
    const unsigned long freezes = standin_fs_freezes(rig->part());

    AMSessionKey wrong = key.raw;
    wrong.key[55] ^= 1;
    Machine::clearLog();
    EXPECT_EQ(snapshot(s.device(), wrong), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlSnapShot: session key mismatch"));
    // A short key is compared with its missing bytes taken as zero.
    EXPECT_EQ(snapshot(s.device(), key.raw, 20), VEL_ERR_INVALID);
    EXPECT_EQ(logCount("ioctlSnapShot: session key mismatch"), 2);
    EXPECT_EQ(s.state().state, VEL_STATE_STARTED);
    EXPECT_EQ(standin_fs_freezes(rig->part()), freezes);
    AutoMapState st = automapState(s.device());
    EXPECT_EQ(st.state, VEL_AMS_IN_SYNC);
    EXPECT_TRUE(sameKey(st.amsKey, key.raw));
    unsigned char map[64] = {};
    EXPECT_EQ(getAutomap(s.device(), map, rig->blocks()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlGetAutoMap: backup error map not loaded "));

    // The right key on the same file: bytes past the key's 56 are not read.
    unsigned char longKey[80];
    std::memset(longKey, 0x5A, sizeof longKey);
    std::memcpy(longKey, key.raw.key, sizeof key.raw.key);
    EXPECT_EQ(snapshot(s.device(), *reinterpret_cast<AMSessionKey *>(longKey), sizeof longKey), 0);
    EXPECT_EQ(s.state().state, VEL_STATE_SNAPSHOT);
    EXPECT_EQ(fetchMap(s), std::set<uint32_t>{40});
    EXPECT_FALSE(sameKey(automapState(s.device()).amsKey, key.raw));
}

TEST_F(SnapshotRefusals, NoStartAutoMapClosesTheSessionAndStillSnapshots) {
    const SessionKey key = fullBackup();
    rig->writeBlock(7, 0x07);
    {
        BackupSession s;
        start(s);
        s.noStartAutoMap();
        ASSERT_EQ(standin_capture_arm(rig->part()), 0);
        EXPECT_EQ(snapshot(s.device(), key.raw), 0);
        EXPECT_EQ(s.state().state, VEL_STATE_SNAPSHOT);
        AutoMapState st = automapState(s.device());
        EXPECT_EQ(st.state, VEL_AMS_NOT_IN_SYNC);
        EXPECT_EQ(st.mapLen, 0u);
        Machine::clearLog();
        unsigned char map[64];
        EXPECT_EQ(getAutomap(s.device(), map, rig->blocks()), VEL_ERR_INVALID);
        EXPECT_TRUE(logHasLine(3, "ioctlGetAutoMap: backup error automap is NULL "));
        rig->writeBlock(8, 0x08);  // copied on write: the image keeps the old block
        EXPECT_EQ(differences(readWholeImage(s), rig->capture(), rig->blockSize()), "");
    }
    // Nothing was tracked since: the next backup starts a new session.
    rig->writeBlock(9, 0x09);
    agent::BackupRequest req = request();
    req.previousKey = key;
    agent::BackupReport rep = agent::runBackup(req);
    EXPECT_FALSE(rep.incremental);
    EXPECT_EQ(rep.blocksCopied, rig->blocks());
}

TEST_F(SnapshotRefusals, NoLoadFromAutoMapStartsAFreshSession) {
    const SessionKey key = fullBackup();
    rig->writeBlock(100, 0x64);
    SessionKey fresh;
    {
        BackupSession s;
        start(s);
        s.noLoadFromAutoMap();
        EXPECT_EQ(snapshot(s.device(), key.raw), 0);
        AutoMapState st = automapState(s.device());
        EXPECT_EQ(st.state, VEL_AMS_IN_SYNC);
        EXPECT_EQ(st.mapLen, rig->blocks());
        EXPECT_FALSE(sameKey(st.amsKey, key.raw));
        fresh.raw = st.amsKey;
        Machine::clearLog();
        unsigned char map[64];
        EXPECT_EQ(getAutomap(s.device(), map, rig->blocks()), VEL_ERR_INVALID);
        EXPECT_TRUE(logHasLine(3, "ioctlGetAutoMap: backup error automap is NULL "));
    }
    // The new session started at that snapshot: block 100 is not in its map.
    rig->writeBlock(200, 0xC8);
    agent::BackupRequest req = request();
    req.previousKey = fresh;
    agent::BackupReport rep = agent::runBackup(req);
    EXPECT_TRUE(rep.incremental);
    EXPECT_EQ(rep.blocksCopied, 1u);
    EXPECT_TRUE(rep.copied.test(200));
}

TEST_F(SnapshotRefusals, AResizedDeviceGetsANewSession) {
    const SessionKey key = fullBackup();
    const uint32_t smaller = rig->blocks() - 8;
    BackupSession s;
    start(s, smaller);
    Machine::clearLog();
    EXPECT_EQ(snapshot(s.device(), key.raw), 0);
    EXPECT_TRUE(logHasLine(4, "ioctlSnapShot: device resize detected, device has (" +
                                  std::to_string(smaller) + ") blocks and automap has (" +
                                  std::to_string(rig->blocks()) + "), resetting automap"));
    EXPECT_EQ(s.state().state, VEL_STATE_SNAPSHOT);
    AutoMapState st = automapState(s.device());
    EXPECT_EQ(st.state, VEL_AMS_IN_SYNC);
    EXPECT_EQ(st.mapLen, smaller);
    EXPECT_FALSE(sameKey(st.amsKey, key.raw));
    unsigned char map[64];
    EXPECT_EQ(getAutomap(s.device(), map, smaller), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlGetAutoMap: backup error automap is NULL "));
}

TEST_F(SnapshotRefusals, NoFileSystemToFreezeLeavesTheQueueHooked) {
    const SessionKey key = fullBackup();
    rig->writeBlock(30, 0x1E);
    BackupSession s;
    start(s);
    ASSERT_EQ(standin_umount(rig->part()), 0);
    Machine::clearLog();
    EXPECT_EQ(snapshot(s.device(), key.raw), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlSnapShot: freeze_bdev could not freeze the device."));
    EXPECT_EQ(s.state().state, VEL_STATE_STARTED);
    // The key was renewed before the freeze; the session is still in sync.
    AutoMapState st = automapState(s.device());
    EXPECT_EQ(st.state, VEL_AMS_IN_SYNC);
    EXPECT_FALSE(sameKey(st.amsKey, key.raw));

    // The hook stayed: a write between the two attempts is recorded.
    ASSERT_EQ(standin_mount(rig->part(), "testfs", rig->blockSize()), 0);
    rig->writeBlock(31, 0x1F);
    ASSERT_EQ(standin_capture_arm(rig->part()), 0);
    EXPECT_EQ(snapshot(s.device(), st.amsKey), 0);
    EXPECT_EQ(s.state().state, VEL_STATE_SNAPSHOT);
    EXPECT_EQ(fetchMap(s), (std::set<uint32_t>{30, 31}));
    rig->writeBlock(30, 0xEE);
    EXPECT_EQ(differences(readWholeImage(s), rig->capture(), rig->blockSize()), "");
}

TEST_F(SnapshotRefusals, AFailedFreezeIsRefusedAndCanBeRetried) {
    BackupSession s;
    start(s);
    if (!failNextFreeze())
        GTEST_SKIP() << "a freeze cannot fail before 2.6.29";
    Workload &w = startWorkload(rig->part(), {.nrBlocks = 200});
    w.waitMore(30);
    ASSERT_EQ(standin_capture_arm(rig->part()), 0);
    Machine::clearLog();
    EXPECT_EQ(snapshot(s.device(), SessionKey::none().raw), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlSnapShot: freeze_bdev could not freeze the device."));
    EXPECT_EQ(s.state().state, VEL_STATE_STARTED);
    unsigned long epoch = 0;
    EXPECT_EQ(standin_capture_taken(rig->part(), &epoch), 0);

    EXPECT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
    EXPECT_EQ(s.state().state, VEL_STATE_SNAPSHOT);
    ASSERT_EQ(standin_capture_taken(rig->part(), &epoch), 1);
    w.waitMore(60);
    Bytes image = readWholeImage(s);
    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(differences(image, rig->capture(), rig->blockSize()), "");
}

// A snapshot that loaded the session's bits and then failed at the freeze
// left an all-clear map in the backup; a retry that loads nothing must not
// hand that out as the change record.
TEST_F(SnapshotRefusals, ARetryAfterAFailedLoadHandsOutNoMap) {
    const SessionKey key = fullBackup();
    rig->writeBlock(40, 0x40);
    BackupSession s;
    start(s);
    if (!failNextFreeze())
        GTEST_SKIP() << "a freeze cannot fail before 2.6.29";
    EXPECT_EQ(snapshot(s.device(), key.raw), VEL_ERR_INVALID);
    const AMSessionKey renewed = automapState(s.device()).amsKey;
    s.noLoadFromAutoMap();
    EXPECT_EQ(snapshot(s.device(), renewed), 0);
    Machine::clearLog();
    std::vector<unsigned char> map((rig->blocks() + 7) / 8);
    EXPECT_EQ(getAutomap(s.device(), map.data(), rig->blocks()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlGetAutoMap: backup error automap is NULL "));
}

TEST_F(SnapshotRefusals, ShutdownIsRefusedWhileABackupRuns) {
    Workload &w = startWorkload(rig->part(), {.nrBlocks = 200});
    w.waitMore(30);
    {
        BackupSession s;
        start(s);
        ASSERT_EQ(standin_capture_arm(rig->part()), 0);
        ASSERT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
        agent::ControlDevice other;
        Machine::clearLog();
        EXPECT_EQ(other.command(VEL_SHUTDOWN, nullptr), VEL_ERR_OTHER_BACKUP);
        EXPECT_TRUE(logHasLine(3, "velIOCTL: a backup is running, change tracking not shut down"));
        // Copy-on-write goes on: the image is still the one of the snapshot.
        w.waitMore(100);
        Bytes image = readWholeImage(s);
        w.waitMore(20);
        EXPECT_EQ(differences(image, rig->capture(), rig->blockSize()), "");
        EXPECT_EQ(automapState(s.device()).state, VEL_AMS_IN_SYNC);
    }
    EXPECT_EQ(w.stop(), 0);
    agent::ControlDevice dev;
    EXPECT_EQ(dev.command(VEL_SHUTDOWN, nullptr), VEL_OK);
    // Change tracking is gone with it.
    BackupSession s;
    start(s);
    EXPECT_EQ(automapState(s.device()).state, VEL_AMS_NOT_IN_SYNC);
}

}  // namespace
}  // namespace velmora::test
