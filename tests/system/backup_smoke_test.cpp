// A full and an incremental backup of a partition under concurrent writes,
// each image compared with the partition's content at its snapshot; a run
// stopped after its snapshot, which the next run goes on from; and a store's
// chain of points under writes, each restored byte for byte before and after
// a prune, and a damaged block found.
#include "system_test.h"

#include <backup_runner.h>
#include <device_backup.h>
#include <key_store.h>
#include <disk_image.h>
#include <standin/disk.h>
#include <store_destination.h>
#include <store_layout.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <iterator>
#include <vector>

namespace velmora::test {
namespace {

constexpr unsigned kMajor = 1;
constexpr unsigned kDisk = STANDIN_MKDEV(kMajor, 0);
constexpr unsigned kPart = STANDIN_MKDEV(kMajor, 1);
constexpr unsigned long long kPartSectors = 32768;

std::vector<char> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<char> bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::vector<char> capture(unsigned dev, unsigned long long bytes) {
    std::vector<char> out(bytes);
    EXPECT_EQ(standin_capture_read(dev, 0, out.data(), bytes), 0);
    return out;
}

class BackupSmoke : public LoadedModule {
  protected:
    void SetUp() override {
        ASSERT_EQ(standin_ramdisk_create("ram0", kMajor, 0, 16, 40000), 0);
        ASSERT_EQ(standin_disk_set_partition(kDisk, 1, 2048, kPartSectors), 0);
        ASSERT_EQ(standin_mount(kPart, "testfs", 4096), 0);
        LoadedModule::SetUp();
    }
    void TearDown() override {
        if (workload >= 0) {
            standin_workload_stop(workload);
            standin_workload_free(workload);
        }
        LoadedModule::TearDown();
        standin_capture_release(kPart);
        standin_umount(kPart);
        standin_disk_remove(kDisk);
    }
    // Four writers on the partition, 200 writes done before it returns.
    void startWriters(unsigned seed) {
        standin_workload_config cfg{};
        cfg.dev = kPart;
        cfg.writers = 4;
        cfg.mode = STANDIN_FS_DIRECT;
        cfg.seed = seed;
        workload = standin_workload_start(&cfg);
        ASSERT_GE(workload, 0);
        standin_workload_wait(workload, 200);
    }
    int workload = -1;
    sim::TempDir dir;
};

TEST_F(BackupSmoke, FullThenIncrementalUnderWrites) {
    ASSERT_NO_FATAL_FAILURE(startWriters(7));

    agent::BackupRequest req;
    req.major = kMajor;
    req.minor = 1;
    req.imagePath = dir.file("image");
    ASSERT_EQ(standin_capture_arm(kPart), 0);
    agent::BackupReport full = agent::runBackup(req);
    const unsigned long long bytes = kPartSectors * 512;
    EXPECT_EQ(full.totalBlocks, bytes / 4096);
    EXPECT_FALSE(full.incremental);
    EXPECT_TRUE(readFile(req.imagePath) == capture(kPart, bytes)) << "full image differs";
    standin_capture_release(kPart);

    standin_workload_wait(workload, standin_workload_log_count(workload) + 200);
    req.previousKey = full.newKey;
    ASSERT_EQ(standin_capture_arm(kPart), 0);
    agent::BackupReport inc = agent::runBackup(req);
    EXPECT_TRUE(inc.incremental);
    EXPECT_LT(inc.blocksCopied, inc.totalBlocks);
    EXPECT_TRUE(readFile(req.imagePath) == capture(kPart, bytes)) << "incremental image differs";
}

// The library as a program embeds it: a backup that stops after its
// snapshot leaves the image of the backup before it, and the next one copies
// what that stopped run was to copy as well as what changed since.
TEST_F(BackupSmoke, AStoppedRunLeavesTheImageAndTheNextGoesOnFromItsSnapshot) {
    ASSERT_NO_FATAL_FAILURE(startWriters(11));
    const unsigned long long bytes = kPartSectors * 512;

    agent::DeviceBackupRequest rq;
    rq.device = "ram0p1";
    rq.major = kMajor;
    rq.minor = 1;
    rq.image = dir.file("image");
    rq.keyDirectory = dir.file("keys");
    ASSERT_EQ(standin_capture_arm(kPart), 0);
    agent::DeviceBackupResult first = agent::backUpDevice(rq);
    EXPECT_NE(first.fullReason.find("no earlier backup of ram0p1"), std::string::npos);
    const std::vector<char> firstImage = capture(kPart, bytes);
    EXPECT_TRUE(readFile(rq.image) == firstImage);
    standin_capture_release(kPart);

    standin_workload_wait(workload, standin_workload_log_count(workload) + 200);
    agent::DeviceBackupRequest stopped = rq;
    stopped.beforeReads = [] { throw std::runtime_error("stopped by the test"); };
    EXPECT_THROW(agent::backUpDevice(stopped), std::runtime_error);
    EXPECT_TRUE(readFile(rq.image) == firstImage) << "a stopped run changed the image";
    EXPECT_FALSE(std::filesystem::exists(rq.image + ".partial"));

    // What the stopped run was to copy must be copied by the next one.
    std::optional<agent::PendingKey> pending =
        agent::KeyStore(rq.keyDirectory, rq.device).pending();
    ASSERT_TRUE(pending.has_value()) << "the stopped run kept no key";
    EXPECT_GT(pending->blocks.count(), 0u);

    standin_workload_wait(workload, standin_workload_log_count(workload) + 200);
    ASSERT_EQ(standin_capture_arm(kPart), 0);
    agent::DeviceBackupResult next = agent::backUpDevice(rq);
    EXPECT_TRUE(next.report.incremental);
    EXPECT_TRUE(next.resumed);
    ASSERT_TRUE(next.earlierRun.has_value());
    EXPECT_FALSE(next.earlierRun->killed);
    EXPECT_EQ(next.earlierRun->reason, "stopped by the test");
    uint32_t carried = 0;
    for (uint32_t b = 0; b < pending->blocks.blocks(); ++b)
        carried += pending->blocks.test(b) && next.report.copied.test(b);
    EXPECT_EQ(carried, pending->blocks.count()) << "the stopped run's blocks were not carried";
    EXPECT_TRUE(readFile(rq.image) == capture(kPart, bytes)) << "resumed image differs";
}

TEST_F(BackupSmoke, AStoreChainUnderWritesRestoresEveryPointBeforeAndAfterAPrune) {
    ASSERT_NO_FATAL_FAILURE(startWriters(13));
    const unsigned long long bytes = kPartSectors * 512;
    const std::string store = dir.file("store");
    agent::DeviceBackupRequest rq;
    rq.device = "ram0p1";
    rq.major = kMajor;
    rq.minor = 1;
    rq.keyDirectory = dir.file("keys");
    agent::store::DeviceChain chain(store, rq.device);
    auto restored = [&](uint32_t id) {
        chain.restoreToFile(id, dir.file("restored"));
        return readFile(dir.file("restored"));
    };

    // The device at each point's snapshot, kept on disk: six of them.
    auto snapshotFile = [&](uint32_t id) { return dir.file("capture-" + std::to_string(id)); };
    auto backUp = [&](uint32_t expectId) {
        standin_workload_wait(workload, standin_workload_log_count(workload) + 150);
        auto destination = std::make_shared<agent::store::StoreDestination>(store, rq.device);
        rq.destination = destination;
        ASSERT_EQ(standin_capture_arm(kPart), 0);
        agent::DeviceBackupResult r = agent::backUpDevice(rq);
        const std::vector<char> captured = capture(kPart, bytes);
        standin_capture_release(kPart);
        ASSERT_TRUE(destination->committed().has_value());
        EXPECT_EQ(destination->committed()->id, expectId);
        EXPECT_EQ(r.report.incremental, expectId > 1) << r.fullReason;
        std::ofstream(snapshotFile(expectId), std::ios::binary)
            .write(captured.data(), static_cast<std::streamsize>(captured.size()));
        EXPECT_TRUE(restored(expectId) == captured) << "point " << expectId << " differs";
    };
    for (uint32_t id = 1; id <= 6; ++id)
        ASSERT_NO_FATAL_FAILURE(backUp(id));
    for (uint32_t id = 1; id <= 6; ++id)
        EXPECT_TRUE(restored(id) == readFile(snapshotFile(id))) << "point " << id << " changed";

    const agent::store::PruneResult pruned = chain.prune({.keepLast = 3, .keepSince = {}});
    EXPECT_EQ(pruned.removed, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(pruned.mergedInto, 4u);
    const std::vector<agent::store::PointInfo> kept = chain.points();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].kind, "full");
    for (const agent::store::PointInfo &p : kept)
        EXPECT_TRUE(restored(p.id) == readFile(snapshotFile(p.id))) << "pruned, point " << p.id;
    // The kept key still carries on from the newest point.
    ASSERT_NO_FATAL_FAILURE(backUp(7));
    EXPECT_TRUE(chain.verify().empty());

    // A point another writer adds after the key was checked is not a base
    // for this backup's changes: the backup fails and writes nothing.
    rq.destination = std::make_shared<agent::store::StoreDestination>(store, rq.device);
    rq.afterSnapshot = [&] {
        auto intruder = chain.begin("full", "intruder", 4096, bytes / 4096);
        const std::vector<char> zeros(4096);
        for (uint32_t b = 0; b < bytes / 4096; ++b)
            intruder.add(b, zeros.data());
        intruder.commit();
    };
    EXPECT_THROW(agent::backUpDevice(rq), std::runtime_error);
    rq.afterSnapshot = nullptr;
    EXPECT_EQ(chain.points().back().time, "intruder") << "the backup wrote onto another point";

    // A byte flipped in one frame of the merged point's pack.
    const std::string point4 = chain.pointsDirectory() + "/" + agent::store::pointName(4);
    const auto entries = agent::store::decodeIndex(sim::readWholeFile(point4 + "/index"));
    const agent::store::IndexEntry &frame = entries.at(entries.size() / 2);
    {
        std::fstream pack(point4 + "/pack", std::ios::binary | std::ios::in | std::ios::out);
        pack.seekg(static_cast<std::streamoff>(frame.offset + frame.length / 2));
        const char byte = static_cast<char>(pack.get() ^ 0x10);
        pack.seekp(static_cast<std::streamoff>(frame.offset + frame.length / 2));
        pack.put(byte);
    }
    const std::vector<std::string> problems = chain.verify();
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems[0].find("point 000004 block " + std::to_string(frame.block) + ":"),
              std::string::npos)
        << problems[0];
    try {
        chain.restore(4, [](uint32_t, const char *) {});
        ADD_FAILURE() << "a damaged point restored";
    } catch (const agent::store::StoreCorrupt &e) {
        EXPECT_EQ(e.point(), 4u);
        EXPECT_EQ(e.block(), frame.block);
    }
}

}  // namespace
}  // namespace velmora::test
