// The simulated workload and the capture at a freeze: the capture holds
// exactly the writes accepted before the freeze (the last of each block, its
// stamps whole), none accepted after; once the writers stop and the file
// system is synced the disk holds every logged write; and every bio of the
// run has completed once.
#include <gtest/gtest.h>
#include <machine.h>
#include <standin/disk.h>

#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr unsigned kMajor = 1;
constexpr unsigned kDisk = STANDIN_MKDEV(kMajor, 32);
constexpr unsigned kPart = STANDIN_MKDEV(kMajor, 33);
constexpr unsigned kBlockSize = 2048;
constexpr unsigned long long kPartSectors = 8192;  // 4 MiB

struct Mode {
    const char *name;
    int mode;
    unsigned long long latencyNs;
    int writers;
};

class WorkloadCapture : public ::testing::TestWithParam<Mode> {
  protected:
    void SetUp() override {
        ASSERT_EQ(standin_ramdisk_create("ramw", kMajor, 32, 4, 20000), 0);
        ASSERT_EQ(standin_disk_set_partition(kDisk, 1, 1000, kPartSectors), 0);
        ASSERT_EQ(standin_mount(kPart, "testfs", kBlockSize), 0);
        ASSERT_EQ(standin_disk_set_latency(kDisk, GetParam().latencyNs), 0);
    }
    void TearDown() override {
        if (workload >= 0)
            standin_workload_free(workload);
        standin_capture_release(kPart);
        standin_umount(kPart);
        standin_disk_remove(kDisk);
        if (HasFailure())
            velmora::sim::Machine::dumpLog();
    }

    std::vector<standin_write_record> log() {
        std::vector<standin_write_record> records(standin_workload_log_count(workload));
        records.resize(standin_workload_log_read(workload, 0, records.data(), records.size()));
        return records;
    }

    // What each block must hold: its last write among the records that pass.
    template <typename Keep>
    static std::map<unsigned long long, standin_write_record> lastWrites(
        const std::vector<standin_write_record> &records, Keep keep) {
        std::map<unsigned long long, standin_write_record> last;
        for (const auto &r : records)
            if (keep(r))
                last[r.block] = r;
        return last;
    }

    // Checks an image of the partition against the expected last writes:
    // those blocks carry their write's stamps, every other block is zero.
    static void expectImage(const std::vector<unsigned char> &image,
                            const std::map<unsigned long long, standin_write_record> &expected) {
        const unsigned sectorsPerBlock = kBlockSize / 512;
        int bad = 0;
        for (unsigned long long block = 0; block < image.size() / kBlockSize && bad < 5; ++block) {
            auto it = expected.find(block);
            for (unsigned s = 0; s < sectorsPerBlock; ++s) {
                const unsigned char *sector = &image[block * kBlockSize + s * 512];
                standin_stamp stamp{};
                int parsed = standin_stamp_parse(sector, &stamp);
                if (it == expected.end()) {
                    bool zero =
                        parsed == 0 && sector[0] == 0 && std::memcmp(sector, sector + 1, 511) == 0;
                    if (!zero) {
                        ADD_FAILURE() << "block " << block << " was never written but holds data";
                        ++bad;
                    }
                    continue;
                }
                const standin_write_record &w = it->second;
                if (parsed != 1 || stamp.sector != w.first_sector + s ||
                    stamp.generation != w.generation || stamp.writer != w.writer) {
                    ADD_FAILURE() << "block " << block << " sector " << s << ": stamp " << parsed
                                  << " gen " << stamp.generation << ", expected gen "
                                  << w.generation << " of writer " << w.writer;
                    ++bad;
                }
            }
        }
    }

    velmora::sim::Machine machine;
    int workload = -1;
};

TEST_P(WorkloadCapture, CaptureHoldsTheWritesAcceptedBeforeTheFreeze) {
    standin_bio_counters before{};
    standin_get_bio_counters(&before);
    standin_workload_config config{};
    config.dev = kPart;
    config.writers = GetParam().writers;
    config.mode = GetParam().mode;
    config.sync_every = 7;
    config.seed = 42;
    workload = standin_workload_start(&config);
    ASSERT_GE(workload, 0);

    ASSERT_GE(standin_workload_wait(workload, 300), 300u);
    ASSERT_EQ(standin_capture_arm(kPart), 0);
    ASSERT_EQ(standin_fs_freeze(kPart), 0);
    ASSERT_EQ(standin_fs_thaw(kPart), 0);
    unsigned long long atThaw = standin_workload_log_count(workload);
    ASSERT_GE(standin_workload_wait(workload, atThaw + 300), atThaw + 300);
    EXPECT_EQ(standin_workload_stop(workload), 0);

    unsigned long epoch = 0;
    ASSERT_EQ(standin_capture_taken(kPart, &epoch), 1);
    ASSERT_EQ(epoch, 1ul);
    std::vector<unsigned char> capture(kPartSectors * 512);
    ASSERT_EQ(standin_capture_read(kPart, 0, capture.data(), capture.size()), 0);

    auto records = log();
    auto before_freeze = lastWrites(records, [](const auto &r) { return r.epoch < 1; });
    auto after_freeze = lastWrites(records, [](const auto &r) { return r.epoch >= 1; });
    ASSERT_FALSE(before_freeze.empty());
    ASSERT_FALSE(after_freeze.empty());
    {
        SCOPED_TRACE("the capture");
        expectImage(capture, before_freeze);
    }

    ASSERT_EQ(standin_fs_sync(kPart), 0);
    std::vector<unsigned char> disk(kPartSectors * 512);
    ASSERT_EQ(standin_dev_read_raw(kPart, 0, disk.data(), disk.size()), 0);
    {
        SCOPED_TRACE("the disk after the run");
        expectImage(disk, lastWrites(records, [](const auto &) { return true; }));
    }

    standin_bio_counters after{};
    standin_get_bio_counters(&after);
    EXPECT_EQ(after.submitted - before.submitted, after.completed - before.completed);
    EXPECT_GT(after.completed - before.completed, 0u);
    EXPECT_EQ(after.failed, before.failed);
}

INSTANTIATE_TEST_SUITE_P(Modes, WorkloadCapture,
                         ::testing::Values(Mode{"buffered", STANDIN_FS_BUFFERED, 0, 4},
                                           Mode{"direct_with_latency", STANDIN_FS_DIRECT, 200000,
                                                3}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
