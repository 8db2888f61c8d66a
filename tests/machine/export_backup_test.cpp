// The host's own ext4, made and mounted by the host on a loop device over
// the exported partition, backed up in-process while the host keeps writing
// to it: the snapshot's freeze freezes the host's file system through
// hostfs, the image is the partition's content at that freeze byte for byte,
// and it is a clean ext4 by e2fsck.
#include "backup_rig.h"
#include "export_host.h"
#include "host_commands.h"
#include "system_test.h"

#include <backup_runner.h>
#include <disk_export.h>
#include <disk_image.h>
#include <hostfs_mount.h>
#include <logged_stats.h>
#include <attached_disk.h>
#include <standin/disk.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>
#include <vector>

namespace velmora::test {
namespace {

constexpr unsigned kBlockSize = 4096;
constexpr std::size_t kFileBytes = 2 << 20;

// Host threads rewriting blocks of their own files, each write synced, and
// now and then a new small file: data and journal traffic of the host's
// ext4 that reaches the partition through the loop device and the export.
class HostWriters {
  public:
    HostWriters(const std::string &dir, int count) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, dir, i] { run(dir, i); });
    }
    ~HostWriters() { stop(); }

    void stop() {
        stopping_ = true;
        for (auto &t : threads_)
            if (t.joinable())
                t.join();
    }
    std::uint64_t writes() const { return writes_; }
    int errors() const { return errors_; }
    // Waits until `more` writes beyond those done now are done; false when
    // the host stopped writing.
    bool waitMore(std::uint64_t more) const {
        std::uint64_t target = writes_ + more;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (writes_ < target && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return writes_ >= target;
    }

  private:
    void run(const std::string &dir, int id) {
        std::string path = dir + "/data" + std::to_string(id);
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
        std::vector<char> block(kBlockSize);
        std::mt19937 random(static_cast<unsigned>(id) + 1);
        for (std::uint64_t n = 0; fd >= 0 && !stopping_; ++n) {
            std::fill(block.begin(), block.end(), static_cast<char>(n * 31 + id));
            off_t at = static_cast<off_t>(random() % (kFileBytes / kBlockSize) * kBlockSize);
            bool ok =
                pwrite(fd, block.data(), block.size(), at) == kBlockSize && fdatasync(fd) == 0;
            if (ok && n % 8 == 0)
                ok = smallFile(dir + "/small" + std::to_string(id) + "-" + std::to_string(n));
            if (!ok)
                ++errors_;
            ++writes_;
        }
        if (fd < 0)
            ++errors_;
        else
            close(fd);
    }

    static bool smallFile(const std::string &path) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        bool ok = fd >= 0 && write(fd, path.data(), path.size()) == ssize_t(path.size()) &&
                  fsync(fd) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    }

    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> writes_{0};
    std::atomic<int> errors_{0};
    std::vector<std::thread> threads_;
};

class HostExt4Backup : public LoadedModule {};

TEST_F(HostExt4Backup, ImageIsTheFrozenHostFileSystem) {
    std::string missing = missingForExportTests(true);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    sim::TempDir dir;
    const std::string image = dir.file("disk.img");
    sim::buildPartitionedImage(image, 64, {{.sizeMiB = 48, .fsType = ""}});
    sim::AttachedDisk disk(image, 8, "sda");
    const unsigned part = disk.partition(1);
    std::filesystem::create_directories(dir.file("export"));
    machine::DiskExport exp(dir.file("export"), {STANDIN_MKDEV(8, 0)});
    LoopDevice loop(exp.path("sda1"));
    runOrThrow("mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 " +
               loop.device());
    HostMount mount(loop.device(), dir.file("mnt"));
    machine::HostFsMount hostfs(part, mount.dir());

    HostWriters writers(mount.dir(), 3);
    ASSERT_TRUE(writers.waitMore(60));
    ASSERT_EQ(standin_capture_arm(part), 0);
    agent::BackupRequest req;
    req.major = 8;
    req.minor = 1;
    req.imagePath = dir.file("image");
    // The host goes on writing before the first block is read: every one
    // of those writes must leave the snapshot's content to the image.
    req.afterSnapshot = [&writers] { EXPECT_TRUE(writers.waitMore(60)); };
    agent::BackupReport report = agent::runBackup(req);
    ASSERT_TRUE(writers.waitMore(20)) << "the host is still frozen";
    writers.stop();
    EXPECT_EQ(writers.errors(), 0);

    unsigned long epoch = 0;
    ASSERT_EQ(standin_capture_taken(part, &epoch), 1);
    EXPECT_EQ(epoch, 1u);
    EXPECT_EQ(report.blockSize, kBlockSize);
    Bytes capture(standin_dev_sectors(part) * 512);
    ASSERT_EQ(standin_capture_read(part, 0, capture.data(), capture.size()), 0);
    EXPECT_EQ(differences(readFile(req.imagePath), capture, kBlockSize), "");
    live::CommandResult fsck = live::run({"e2fsck", "-fn", req.imagePath});
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    EXPECT_GT(std::stoi(sim::loggedStat("total cached blocks")), 0)
        << "no host write overtook the reads";

    // What the loop driver sends: whole sectors only.
    machine::ExportStats s = exp.stats();
    EXPECT_EQ(s.refusedWrites, 0u);
    EXPECT_EQ(s.failures, 0u);
    std::cout << "loop driver: " << s.writes << " writes of " << s.smallestWrite << " to "
              << s.largestWrite << " bytes, " << s.reads << " reads (" << s.unalignedReads
              << " unaligned), " << s.flushes << " flushes\n";
}

}  // namespace
}  // namespace velmora::test
