// hostfs freezes the host mount it was given and no other: a freeze of the
// device freezes the host's ext4 until the thaw; once the host unmounted it,
// a freeze is refused (before 2.6.29, goes on without the host) instead of
// freezing the directory's file system.
#include "export_host.h"

#include <disk_image.h>
#include <machine.h>
#include <standin/disk.h>
#include <standin/host_fs.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace velmora::test {
namespace {

// errno of a FIFREEZE of the host's file system at dir: EBUSY when frozen.
int freezeErrno(const std::string &dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    int r = ioctl(fd, FIFREEZE, 0) == 0 ? 0 : errno;
    if (r == 0)
        ioctl(fd, FITHAW, 0);
    close(fd);
    return r;
}

TEST(HostFs, FreezesOnlyTheHostMountItWasGiven) {
    std::string missing = missingForExportTests(true);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    sim::Machine machine;
    const unsigned dev = STANDIN_MKDEV(241, 0);
    ASSERT_EQ(standin_ramdisk_create("hf", 241, 0, 1, 2048), 0);
    sim::TempDir dir;
    runOrThrow("truncate -s 16M " + dir.file("host.img") + " && mkfs.ext4 -q -F " +
               dir.file("host.img"));
    auto loop = std::make_unique<LoopDevice>(dir.file("host.img"));
    auto mount = std::make_unique<HostMount>(loop->device(), dir.file("mnt"));

    EXPECT_EQ(standin_mount_host(dev, "/", 4096), -EINVAL);
    EXPECT_EQ(standin_mount_host(dev, dir.file("host.img").c_str(), 4096), -EINVAL);
    ASSERT_EQ(standin_mount_host(dev, mount->dir().c_str(), 4096), 0);
    ASSERT_EQ(standin_fs_freeze(dev), 0);
    EXPECT_EQ(freezeErrno(mount->dir()), EBUSY) << "the host is not frozen";
    ASSERT_EQ(standin_fs_thaw(dev), 0);
    EXPECT_EQ(freezeErrno(mount->dir()), 0) << "the host is still frozen";

    mount.reset();
    // Before 2.6.29 no freeze can fail: it goes on without the host.
    const bool freezesCanFail = standin_fs_fail_freeze(dev, -EIO, 0) != -ENOSYS;
    int r = standin_fs_freeze(dev);
    if (r == 0)
        standin_fs_thaw(dev);
    EXPECT_EQ(r, freezesCanFail ? -ENOENT : 0);
    EXPECT_EQ(standin_fs_freezes(dev), 1u) << "counted (and captured) without the host frozen";
    EXPECT_EQ(standin_umount(dev), 0);
    loop.reset();
    EXPECT_EQ(standin_disk_remove(dev), 0);
}

}  // namespace
}  // namespace velmora::test
