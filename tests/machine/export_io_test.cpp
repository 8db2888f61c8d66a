// The exported files are the devices: what the host writes lands where the
// device lies on its disk, through the disk's queue; reads at any offset see
// the device's bytes; what cannot be done is refused, and a device that
// fails or goes away answers EIO. The export leaves no mount behind, even
// with files still open.
#include "export_host.h"

#include <disk_export.h>
#include <disk_image.h>
#include <machine.h>
#include <standin/disk.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

namespace velmora::test {
namespace {

constexpr unsigned kMajor = 240;
constexpr unsigned long long kPartStart = 2048, kPartSectors = 4096;

std::set<std::string> listing(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename());
    return names;
}

bool mounted(const std::string &dir) {
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line))
        if (line.find(" " + dir + " ") != std::string::npos)
            return true;
    return false;
}

// errno of a failed call, 0 when it moved `expect` bytes.
int ioError(ssize_t r, std::size_t expect) {
    return r < 0 ? errno : r == static_cast<ssize_t>(expect) ? 0 : -1;
}

TEST(DiskExportIo, FilesAreTheDevicesThroughTheBlockLayer) {
    std::string missing = missingForExportTests(false);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    sim::Machine machine;
    const unsigned disk = STANDIN_MKDEV(kMajor, 0);
    ASSERT_EQ(standin_ramdisk_create("vd", kMajor, 0, 4, 8192), 0);
    ASSERT_EQ(standin_disk_set_partition(disk, 1, kPartStart, kPartSectors), 0);
    sim::TempDir dir;
    const std::string mountPoint = dir.file("export");
    std::filesystem::create_directory(mountPoint);

    int fdDisk = -1, fdPart = -1;
    {
        machine::DiskExport exp(mountPoint, {disk});
        EXPECT_EQ(listing(mountPoint), (std::set<std::string>{"vd", "vd1"}));
        EXPECT_EQ(std::filesystem::file_size(exp.path("vd1")), kPartSectors * 512);
        fdDisk = open(exp.path("vd").c_str(), O_RDWR);
        fdPart = open(exp.path("vd1").c_str(), O_RDWR);
        ASSERT_GE(fdDisk, 0);
        ASSERT_GE(fdPart, 0);

        std::vector<char> data(3 * 4096 + 512);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(i * 7 + i / 512);
        const off_t at = 5 * 512;
        standin_disk_stats before{}, after{};
        standin_get_disk_stats(disk, &before);
        EXPECT_EQ(ioError(pwrite(fdPart, data.data(), data.size(), at), data.size()), 0);
        standin_get_disk_stats(disk, &after);
        EXPECT_GT(after.writes, before.writes) << "the write went around the disk's queue";
        std::vector<char> raw(data.size());
        ASSERT_EQ(standin_dev_read_raw(disk, kPartStart * 512 + at, raw.data(), raw.size()), 0);
        EXPECT_EQ(raw, data) << "not where the partition lies";

        std::vector<char> bytes(1000);
        const off_t unaligned = static_cast<off_t>(kPartStart * 512) + at + 100;
        EXPECT_EQ(ioError(pread(fdDisk, bytes.data(), bytes.size(), unaligned), bytes.size()), 0);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), data.begin() + 100));

        EXPECT_EQ(ioError(pwrite(fdPart, data.data(), 100, 512), 100), EINVAL);
        EXPECT_EQ(ioError(pwrite(fdPart, data.data(), 512, kPartSectors * 512), 512), ENOSPC);
        EXPECT_EQ(pread(fdPart, bytes.data(), 512, kPartSectors * 512), 0);
        EXPECT_EQ(fsync(fdPart), 0);
        EXPECT_EQ(ftruncate(fdPart, 4096), -1);

        ASSERT_EQ(standin_disk_fail_sectors(disk, kPartStart + 8, 1, STANDIN_FAIL_READ), 0);
        EXPECT_EQ(ioError(pread(fdPart, bytes.data(), 512, 8 * 512), 512), EIO);
        ASSERT_EQ(standin_disk_unplug(disk), 0);
        EXPECT_EQ(ioError(pread(fdDisk, bytes.data(), 512, 0), 512), EIO);
        EXPECT_EQ(ioError(pwrite(fdDisk, data.data(), 512, 0), 512), EIO);

        machine::ExportStats stats = exp.stats();
        EXPECT_EQ(stats.refusedWrites, 1u);
        EXPECT_EQ(stats.failures, 3u);
        EXPECT_EQ(stats.unalignedReads, 1u);
        EXPECT_EQ(exp.openFiles(), 2);
    }
    // Ended with the host's files still open: cut off, and no mount left.
    std::vector<char> byte(512);
    EXPECT_EQ(pread(fdDisk, byte.data(), 512, 0), -1);
    EXPECT_FALSE(mounted(mountPoint));
    close(fdDisk);
    close(fdPart);
}

}  // namespace
}  // namespace velmora::test
