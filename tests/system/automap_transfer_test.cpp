// Moving block maps across the user boundary: the changed-block map handed
// out once and kept when the caller's length is wrong, the map of blocks to
// copy refused before the snapshot, a 32,769-block map moving as one page of
// 4096 bytes and one of 1 byte in both directions, and the automap state
// copied for the length the caller gives.
#include "backup_fixture.h"
#include "kernel_log.h"
#include "raw_commands.h"

#include <transfer_buffer.h>

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace velmora::test {
namespace {

using agent::BackupSession;
using agent::SessionKey;
using sim::Machine;

// Two readable and writable pages followed by one that cannot be touched,
// so a copy that strays past the end of a map placed against it fails.
class GuardedPages {
  public:
    GuardedPages() {
        void *p =
            mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::runtime_error("mmap failed");
        base_ = static_cast<unsigned char *>(p);
        mprotect(base_ + 2 * kPage, kPage, PROT_NONE);
        std::memset(base_, 0xA5, 2 * kPage);
    }
    ~GuardedPages() { munmap(base_, 3 * kPage); }
    // `bytes` bytes that end right at the untouchable page.
    unsigned char *endingAtGuard(std::size_t bytes) const { return base_ + 2 * kPage - bytes; }
    unsigned char *base() const { return base_; }
    static constexpr std::size_t kPage = 4096;

  private:
    unsigned char *base_ = nullptr;
};

class AutomapTransfer : public BackupTest {
  protected:
    void start(const BackupSession &s, uint32_t totalBlocks) const {
        ASSERT_EQ(startBackup(s.device(), rig->major(), rig->minor(), totalBlocks), 0);
    }
};

TEST_F(AutomapTransfer, TheMapIsHandedOutOnceAndKeptOnAWrongLength) {
    makeRig({"testfs", 4096, 4, 2});
    const uint32_t blocks = rig->blocks();
    const SessionKey key = fullBackup();
    rig->writeBlock(5, 1);
    rig->writeBlock(9, 2);
    BackupSession s;
    start(s, blocks);
    ASSERT_EQ(snapshot(s.device(), key.raw), 0);

    std::vector<unsigned char> map((blocks + 8) / 8 + 1, 0);
    Machine::clearLog();
    EXPECT_EQ(getAutomap(s.device(), map.data(), blocks + 1), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlGetAutoMap: backup error map size mismatch kernel map size=" +
                                  std::to_string(blocks) +
                                  " user map size=" + std::to_string(blocks + 1)));
    ASSERT_EQ(getAutomap(s.device(), map.data(), blocks), 0);
    std::vector<unsigned char> expected(map.size(), 0);
    expected[0] = 1 << 5;
    expected[1] = 1 << 1;
    EXPECT_EQ(map, expected);
    EXPECT_EQ(getAutomap(s.device(), map.data(), blocks), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlGetAutoMap: backup error automap is NULL "));
    EXPECT_EQ(s.state().state, VEL_STATE_SNAPSHOT);
}

TEST_F(AutomapTransfer, AMapNeverFetchedIsReleasedByTheLoad) {
    makeRig({"testfs", 4096, 4, 2});
    const SessionKey key = fullBackup();
    rig->writeBlock(12, 1);
    {
        BackupSession s;
        start(s, rig->blocks());
        ASSERT_EQ(snapshot(s.device(), key.raw), 0);
        ASSERT_EQ(automapState(s.device()).state, VEL_AMS_IN_SYNC);
        s.loadBlockMap(agent::BlockBitmap(rig->blocks(), true));
        EXPECT_EQ(s.state().state, VEL_STATE_MAP_LOADED);
        Machine::clearLog();
    }
    // The changed-block map's pages went with the load, none are left over.
    EXPECT_EQ(loggedStat("current pages allocated"), "0");
    EXPECT_EQ(loggedStat("state"), "7");
}

TEST_F(AutomapTransfer, NoBlockMapIsLoadedBeforeTheSnapshot) {
    makeRig({"testfs", 4096, 4, 2});
    BackupSession s;
    start(s, rig->blocks());
    std::vector<unsigned char> map(rig->blocks() / 8, 0xFF);
    Machine::clearLog();
    EXPECT_EQ(loadBlockMap(s.device(), map.data(), rig->blocks()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlLoadBlockMap: backup error snapshot not complete"));
    EXPECT_EQ(s.state().state, VEL_STATE_STARTED);
    // The backup is still good for its snapshot.
    EXPECT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
    EXPECT_EQ(loadBlockMap(s.device(), map.data(), rig->blocks()), 0);
    EXPECT_EQ(s.state().state, VEL_STATE_MAP_LOADED);
}

// The caller's word on a map's length costs kernel memory only up to the
// device's end, and a null bitmap is one that cannot be read, not "all".
TEST_F(AutomapTransfer, AMapLoadHoldsNoMoreThanTheDevice) {
    makeRig({"testfs", 4096, 4, 2});
    const uint32_t blocks = rig->blocks();
    {
        BackupSession s;
        start(s, blocks);
        s.noStartAutoMap();
        ASSERT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
        EXPECT_EQ(loadBlockMap(s.device(), nullptr, 0xFFFFFFFF), VEL_ERR_COPY_FROM_USER);
        EXPECT_EQ(s.state().state, VEL_STATE_MAP_FAILED);
    }
    // Only the device's bits can be read: the rest of the claimed map would
    // lie on the untouchable page. It holds what an exact map holds.
    GuardedPages pages;
    unsigned char *map = pages.endingAtGuard(blocks / 8);
    std::memset(map, 0, blocks / 8);
    const auto pagesHeldLoading = [&](uint32_t mapLen) {
        {
            BackupSession s;
            start(s, blocks);
            s.noStartAutoMap();
            EXPECT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
            EXPECT_EQ(loadBlockMap(s.device(), map, mapLen), 0);
            EXPECT_EQ(s.state().state, VEL_STATE_MAP_LOADED);
            Machine::clearLog();
        }
        return loggedStat("total pages allocated");
    };
    EXPECT_EQ(pagesHeldLoading(0xFFFFFFFF), pagesHeldLoading(blocks));
}

TEST_F(AutomapTransfer, AMapOf32769BlocksMovesAs4096BytesAndOne) {
    constexpr uint32_t kBlocks = 32769;  // 4097 bytes of map
    makeRig({"testfs", 1024, 33, 1});
    ASSERT_GE(rig->blocks(), kBlocks);
    SessionKey key;
    {
        BackupSession s;
        start(s, kBlocks);
        ASSERT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
        AutoMapState st = automapState(s.device());
        EXPECT_EQ(st.mapLen, kBlocks);
        EXPECT_EQ(st.mapSize, 4097u);
        key.raw = st.amsKey;
    }
    for (uint32_t b : {0u, 32767u, 32768u})
        rig->writeBlock(b, 0x33);
    BackupSession s;
    start(s, kBlocks);
    ASSERT_EQ(snapshot(s.device(), key.raw), 0);

    GuardedPages pages;
    // The second page of the map is its 4097th byte alone: placed on the
    // untouchable page, that one copy fails and names its address.
    unsigned char *short4096 = pages.endingAtGuard(4096);
    Machine::clearLog();
    EXPECT_EQ(getAutomap(s.device(), short4096, kBlocks), VEL_ERR_COPY_TO_USER);
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "ioctlGetAutoMap: copy to user space failed data=%p bytesCopied=1 "
                  "bytesInMap=4097",
                  static_cast<void *>(short4096 + 4096));
    EXPECT_TRUE(logHasLine(3, expected)) << expected;

    // Placed so that it ends at the last touchable byte, all of it moves.
    unsigned char *exact = pages.endingAtGuard(4097);
    ASSERT_EQ(getAutomap(s.device(), exact, kBlocks), 0);
    EXPECT_EQ(exact[0], 0x01);
    EXPECT_EQ(exact[4095], 0x80);
    EXPECT_EQ(exact[4096], 0x01);
    for (std::size_t i = 1; i < 4095; ++i)
        ASSERT_EQ(exact[i], 0) << "byte " << i;
    EXPECT_EQ(exact[-1], 0xA5);

    // The other way: the map of blocks to copy is read to its last byte, no
    // further; only block 32768 is set.
    std::memset(exact, 0, 4097);
    exact[4096] = 0x01;
    ASSERT_EQ(loadBlockMap(s.device(), exact, kBlocks), 0);
    EXPECT_EQ(s.state().state, VEL_STATE_MAP_LOADED);
    agent::TransferBuffer buffer(s.device(), 4096);
    Machine::clearLog();
    EXPECT_EQ(readBlocks(s.device(), 32768, 1, buffer.data()), 0);
    EXPECT_EQ(readBlocks(s.device(), 32768, 2, buffer.data()), VEL_ERR_INVALID);
    EXPECT_TRUE(logHasLine(3, "ioctlReadBlocks: end block number out of block map range"));
}

TEST_F(AutomapTransfer, TheStateIsCopiedForTheLengthGiven) {
    makeRig({"testfs", 4096, 4, 2});
    BackupSession s;
    unsigned char record[100];
    std::memset(record, 0xA5, sizeof record);
    ASSERT_EQ(automapState(s.device(), record, sizeof record), 0);
    for (std::size_t i = 0; i < sizeof(AutoMapState); ++i)
        ASSERT_EQ(record[i], 0) << "byte " << i << " before a backup started";

    start(s, rig->blocks());
    ASSERT_EQ(snapshot(s.device(), SessionKey::none().raw), 0);
    AutoMapState full = automapState(s.device());
    EXPECT_EQ(full.major, rig->major());
    EXPECT_EQ(full.minor, rig->minor());
    EXPECT_EQ(full.state, VEL_AMS_IN_SYNC);
    EXPECT_EQ(full.mapLen, rig->blocks());
    EXPECT_EQ(full.mapSize, (rig->blocks() + 7) / 8);

    std::memset(record, 0xA5, sizeof record);
    ASSERT_EQ(automapState(s.device(), record, 20), 0);
    EXPECT_EQ(std::memcmp(record, &full, 20), 0);
    for (std::size_t i = 20; i < sizeof record; ++i)
        ASSERT_EQ(record[i], 0xA5) << "byte " << i << " of a 20-byte copy";

    std::memset(record, 0xA5, sizeof record);
    ASSERT_EQ(automapState(s.device(), record, sizeof record), 0);
    EXPECT_EQ(std::memcmp(record, &full, sizeof full), 0);
    for (std::size_t i = sizeof full; i < sizeof record; ++i)
        ASSERT_EQ(record[i], 0xA5) << "byte " << i << " past the record";
}

}  // namespace
}  // namespace velmora::test
