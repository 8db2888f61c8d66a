// Two partitions of one disk: ending a backup of one must not end the change
// tracking of the other.
#include "backup_fixture.h"

#include <standin/disk.h>

namespace velmora::test {
namespace {

class NeighbourSession : public BackupTest {};

// A backup of the partition beside it, with no session of its own, leaves the
// disk's queue hooked for the neighbour: its next backup is incremental.
TEST_F(NeighbourSession, SurvivesABackupOfTheOtherPartition) {
    DiskRig &r = makeRig({});
    const unsigned otherMinor = STANDIN_MINOR(r.otherPart());
    agent::SessionKey key;
    {
        agent::BackupSession neighbour;
        neighbour.start(r.major(), otherMinor, 1024, 1024);
        neighbour.snapshot(agent::SessionKey::none());
        key.raw = neighbour.automapState().amsKey;
    }
    {
        agent::BackupSession untracked;
        untracked.start(r.major(), r.minor(), r.blocks(), 1024);
        untracked.noStartAutoMap();
        untracked.snapshot(agent::SessionKey::none());
    }
    std::vector<unsigned char> block(4096, 0x5a);
    ASSERT_EQ(standin_fs_write_block(r.otherPart(), 7, block.data(), STANDIN_FS_DIRECT), 0);

    agent::BackupSession neighbour;
    neighbour.start(r.major(), otherMinor, 1024, 1024);
    neighbour.snapshot(key);
    agent::BlockBitmap changed = neighbour.automap(1024);
    EXPECT_EQ(changed.count(), 1u);
    EXPECT_TRUE(changed.test(7));
}

}  // namespace
}  // namespace velmora::test
