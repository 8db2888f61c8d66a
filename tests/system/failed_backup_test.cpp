// A backup the driver gives up on while the agent reads its image: writers
// overtake the reads of a snapshot whose copy-on-write cache may hold no
// block. The agent reports the failure with the state's meaning and leaves
// no image that claims to be good: a full run leaves none, an incremental one
// leaves the previous image as it was.
#include "backup_fixture.h"

#include <backup_state.h>

#include <filesystem>

namespace velmora::test {
namespace {

class FailedBackup : public BackupTest {
  protected:
    // A run whose writers start once the blocks to copy are loaded.
    agent::BackupRequest overtakenRun(std::optional<agent::SessionKey> key) {
        agent::BackupRequest req = request();
        req.previousKey = key;
        req.maxCacheBlocks = 0;
        req.beforeReads = [this] {
            startWorkload(rig->part(), {.writers = 2, .firstBlock = 16, .nrBlocks = 64})
                .waitMore(20);
        };
        return req;
    }
    void expectFailed(const agent::BackupRequest &req) {
        try {
            agent::runBackup(req);
            ADD_FAILURE() << "the backup reported success";
        } catch (const agent::BackupFailed &e) {
            EXPECT_EQ(e.state(), VEL_STATE_CACHE_FULL);
            EXPECT_NE(std::string(e.what()).find("copy-on-write cache is full"), std::string::npos)
                << e.what();
        }
        workloads.clear();
        EXPECT_FALSE(std::filesystem::exists(req.imagePath + ".partial"));
    }
};

TEST_F(FailedBackup, NoImageClaimsToBeGood) {
    makeRig({"testfs", 4096, 4, 2});
    const std::string image = request().imagePath;

    expectFailed(overtakenRun(std::nullopt));
    EXPECT_FALSE(std::filesystem::exists(image));

    agent::BackupReport full = agent::runBackup(request());
    const Bytes previous = readFile(image);
    // Changes for the incremental run to copy, in the blocks its writers hit.
    startWorkload(rig->part(), {.writers = 2, .firstBlock = 16, .nrBlocks = 64}).waitMore(40);
    workloads.clear();
    expectFailed(overtakenRun(full.newKey));
    EXPECT_EQ(differences(readFile(image), previous, rig->blockSize()), "");
}

}  // namespace
}  // namespace velmora::test
