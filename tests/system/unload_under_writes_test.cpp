// Unloading the module while writes of a tracked device go on: the queue
// gets its own function back and every bio already inside the module's hook
// leaves it before the module's code goes away.
#include "backup_fixture.h"

namespace velmora::test {
namespace {

class UnloadUnderWrites : public BackupTest {};

TEST_F(UnloadUnderWrites, HookedQueueSurvivesRepeatedUnloads) {
    DiskRig &r = makeRig({});
    Workload::Options busy;
    busy.writers = 4;
    busy.pauseNs = 0;
    Workload &writers = startWorkload(r.part(), busy);
    for (int round = 0; round < 40; round++) {
        SCOPED_TRACE(round);
        {
            // A snapshot starts the change tracking, which outlives the file.
            agent::BackupSession session;
            session.start(r.major(), r.minor(), r.blocks(), 1024);
            session.snapshot(agent::SessionKey::none());
        }
        writers.waitMore(50);
        sim::Machine::clearLog();
        ASSERT_EQ(machine.tryUnload("velmora"), 0);
        EXPECT_TRUE(sim::Machine::logHas(
            "velUnload: velmora version 3.1.0 build 9504 ready to be unloaded"));
        // The writes go on through the disk's own function.
        writers.waitMore(50);
        ASSERT_EQ(machine.tryLoad(sim::velmoraModulePath()), 0);
    }
    EXPECT_EQ(writers.stop(), 0) << "no write failed";
}

}  // namespace
}  // namespace velmora::test
