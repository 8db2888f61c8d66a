/*
 * Freezing a file system: the freeze waits for the writes already accepted
 * and their bios in flight, holds every new write until the thaw, flushes
 * what is dirty, and the capture taken at that moment is the device's content
 * then; freezing a device without a file system gives NULL; from 2.6.29
 * freezes nest and can be made to fail.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/err.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/disk.h>

#define FZ_MAJOR 245
#define FZ_DEV STANDIN_MKDEV(FZ_MAJOR, 0)
#define BLOCK 1024

static unsigned char block_a[BLOCK], block_b[BLOCK], zeros[BLOCK];
static struct completion a_done, b_done, frozen_done, thaw_go;
static unsigned char raw_a_at_freeze[BLOCK], raw_b_at_freeze[BLOCK];
static struct super_block *frozen_sb;

static int mount_disk(void) {
    int ret = standin_ramdisk_create("fz", FZ_MAJOR, 0, 1, 2048);
    if (!ret)
        ret = standin_mount(FZ_DEV, "testfs", BLOCK);
    return ret;
}

static void unmount_disk(struct kunit *test) {
    KUNIT_EXPECT_EQ(test, standin_umount(FZ_DEV), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(FZ_DEV), 0);
}

static int writer_a(void *arg) {
    standin_fs_write_block(FZ_DEV, 10, block_a, STANDIN_FS_DIRECT);
    complete_and_exit(&a_done, 0);
}

static int writer_b(void *arg) {
    standin_fs_write_block(FZ_DEV, 11, block_b, STANDIN_FS_BUFFERED);
    complete_and_exit(&b_done, 0);
}

static int freezer(void *arg) {
    struct block_device *bdev = bdget(FZ_DEV);
    frozen_sb = freeze_bdev(bdev);
    standin_dev_read_raw(FZ_DEV, 10 * BLOCK, raw_a_at_freeze, BLOCK);
    standin_dev_read_raw(FZ_DEV, 11 * BLOCK, raw_b_at_freeze, BLOCK);
    complete(&frozen_done);
    wait_for_completion(&thaw_go);
    thaw_bdev(bdev, frozen_sb);
    bdput(bdev);
    complete_and_exit(&frozen_done, 0);
}

static void freeze_waits_for_bios_in_flight_and_holds_writers(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, mount_disk(), 0);
    memset(block_a, 0xa1, BLOCK);
    memset(block_b, 0xb2, BLOCK);
    init_completion(&a_done);
    init_completion(&b_done);
    init_completion(&frozen_done);
    init_completion(&thaw_go);
    KUNIT_ASSERT_EQ(test, standin_capture_arm(FZ_DEV), 0);

    /* A's write is in flight (the disk holds it) when the freeze begins. */
    standin_disk_pause(FZ_DEV);
    KUNIT_ASSERT_GT(test, kernel_thread(writer_a, NULL, CLONE_KERNEL), 0);
    standin_disk_wait_queued(FZ_DEV, 1);
    KUNIT_ASSERT_GT(test, kernel_thread(freezer, NULL, CLONE_KERNEL), 0);
    KUNIT_ASSERT_EQ(test, standin_fs_wait_freezing(FZ_DEV), 0);

    /* B comes during the freeze: it is held. */
    KUNIT_ASSERT_GT(test, kernel_thread(writer_b, NULL, CLONE_KERNEL), 0);
    KUNIT_ASSERT_EQ(test, standin_fs_wait_held_writers(FZ_DEV, 1), 0);
    KUNIT_EXPECT_EQ(test, __atomic_load_n(&frozen_done.done, __ATOMIC_SEQ_CST), 0U);

    standin_disk_resume(FZ_DEV);
    wait_for_completion(&frozen_done);
    KUNIT_ASSERT_NOT_NULL(test, frozen_sb);
    KUNIT_EXPECT_FALSE(test, IS_ERR(frozen_sb));
    /* A's bio finished before the freeze returned; B's write has not happened. */
    KUNIT_EXPECT_EQ(test, memcmp(raw_a_at_freeze, block_a, BLOCK), 0);
    KUNIT_EXPECT_EQ(test, memcmp(raw_b_at_freeze, zeros, BLOCK), 0);
    KUNIT_EXPECT_EQ(test, standin_fs_held_writers(FZ_DEV), 1);
    KUNIT_EXPECT_EQ(test, __atomic_load_n(&b_done.done, __ATOMIC_SEQ_CST), 0U);

    /* The capture is the device at the freeze. */
    unsigned long epoch = 0;
    KUNIT_EXPECT_EQ(test, standin_capture_taken(FZ_DEV, &epoch), 1);
    KUNIT_EXPECT_EQ(test, epoch, 1UL);
    unsigned char captured[BLOCK];
    KUNIT_EXPECT_EQ(test, standin_capture_read(FZ_DEV, 10 * BLOCK, captured, BLOCK), 0);
    KUNIT_EXPECT_EQ(test, memcmp(captured, block_a, BLOCK), 0);

    complete(&thaw_go);
    wait_for_completion(&b_done);
    wait_for_completion(&frozen_done);
    KUNIT_EXPECT_EQ(test, standin_fs_held_writers(FZ_DEV), 0);
    /* B is dirty in the cache until a sync writes it. */
    unsigned char raw[BLOCK];
    standin_dev_read_raw(FZ_DEV, 11 * BLOCK, raw, BLOCK);
    KUNIT_EXPECT_EQ(test, memcmp(raw, zeros, BLOCK), 0);
    KUNIT_EXPECT_EQ(test, standin_fs_sync(FZ_DEV), 0);
    standin_dev_read_raw(FZ_DEV, 11 * BLOCK, raw, BLOCK);
    KUNIT_EXPECT_EQ(test, memcmp(raw, block_b, BLOCK), 0);
    KUNIT_EXPECT_EQ(test, standin_capture_read(FZ_DEV, 11 * BLOCK, captured, BLOCK), 0);
    KUNIT_EXPECT_EQ(test, memcmp(captured, zeros, BLOCK), 0);
    standin_capture_release(FZ_DEV);
    unmount_disk(test);
}

static void freeze_flushes_dirty_blocks(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, mount_disk(), 0);
    memset(block_a, 0x3c, BLOCK);
    KUNIT_ASSERT_EQ(test, standin_fs_write_block(FZ_DEV, 20, block_a, STANDIN_FS_BUFFERED), 0);
    unsigned char raw[BLOCK];
    standin_dev_read_raw(FZ_DEV, 20 * BLOCK, raw, BLOCK);
    KUNIT_EXPECT_EQ(test, memcmp(raw, zeros, BLOCK), 0);
    /* Reads see the dirty block before it is written back. */
    KUNIT_ASSERT_EQ(test, standin_fs_read_block(FZ_DEV, 20, raw), 0);
    KUNIT_EXPECT_EQ(test, memcmp(raw, block_a, BLOCK), 0);

    struct block_device *bdev = bdget(FZ_DEV);
    struct super_block *sb = freeze_bdev(bdev);
    KUNIT_ASSERT_NOT_NULL(test, sb);
    KUNIT_EXPECT_NE(test, sb->s_frozen, SB_UNFROZEN);
    standin_dev_read_raw(FZ_DEV, 20 * BLOCK, raw, BLOCK);
    KUNIT_EXPECT_EQ(test, memcmp(raw, block_a, BLOCK), 0);
    thaw_bdev(bdev, sb);
    KUNIT_EXPECT_EQ(test, sb->s_frozen, SB_UNFROZEN);
    KUNIT_EXPECT_EQ(test, standin_fs_freezes(FZ_DEV), 1UL);
    bdput(bdev);
    unmount_disk(test);
}

static void freeze_without_a_file_system(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, standin_ramdisk_create("fz", FZ_MAJOR, 0, 1, 2048), 0);
    struct block_device *bdev = bdget(FZ_DEV);
    struct super_block *sb = freeze_bdev(bdev);
    KUNIT_EXPECT_NULL(test, sb);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    KUNIT_EXPECT_EQ(test, thaw_bdev(bdev, sb), 0);
    KUNIT_EXPECT_EQ(test, thaw_bdev(bdev, sb), -EINVAL); /* not frozen */
#else
    thaw_bdev(bdev, sb);
#endif
    KUNIT_EXPECT_EQ(test, fsync_bdev(bdev), 0);
    bdput(bdev);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(FZ_DEV), 0);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
static void freezes_nest_and_can_fail(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, mount_disk(), 0);
    struct block_device *bdev = bdget(FZ_DEV);
    struct super_block *first = freeze_bdev(bdev);
    struct super_block *second = freeze_bdev(bdev);
    KUNIT_ASSERT_NOT_NULL(test, first);
    KUNIT_EXPECT_TRUE(test, first == second);
    KUNIT_EXPECT_EQ(test, bdev->bd_fsfreeze_count, 2);
    KUNIT_EXPECT_EQ(test, thaw_bdev(bdev, second), 0);
    KUNIT_EXPECT_NE(test, first->s_frozen, SB_UNFROZEN); /* still frozen once */
    KUNIT_EXPECT_EQ(test, thaw_bdev(bdev, first), 0);
    KUNIT_EXPECT_EQ(test, first->s_frozen, SB_UNFROZEN);
    KUNIT_EXPECT_EQ(test, standin_fs_freezes(FZ_DEV), 1UL);

    klog_clear();
    KUNIT_ASSERT_EQ(test, standin_fs_fail_freeze(FZ_DEV, -EBUSY, 1), 0);
    struct super_block *failed = freeze_bdev(bdev);
    KUNIT_EXPECT_TRUE(test, IS_ERR(failed));
    KUNIT_EXPECT_EQ(test, PTR_ERR(failed), (long)-EBUSY);
    KUNIT_EXPECT_LOG(test, "VFS:Filesystem freeze failed");
    KUNIT_EXPECT_EQ(test, bdev->bd_fsfreeze_count, 0);
    /* Not frozen: writes go through, and the next freeze works. */
    memset(block_a, 1, BLOCK);
    KUNIT_EXPECT_EQ(test, standin_fs_write_block(FZ_DEV, 1, block_a, STANDIN_FS_DIRECT), 0);
    struct super_block *sb = freeze_bdev(bdev);
    KUNIT_EXPECT_FALSE(test, IS_ERR(sb));
    KUNIT_EXPECT_EQ(test, thaw_bdev(bdev, sb), 0);
    KUNIT_EXPECT_EQ(test, standin_fs_freezes(FZ_DEV), 2UL);
    bdput(bdev);
    unmount_disk(test);
}
#else
static void freeze_cannot_be_made_to_fail(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, mount_disk(), 0);
    KUNIT_EXPECT_EQ(test, standin_fs_fail_freeze(FZ_DEV, -EBUSY, 1), -ENOSYS);
    unmount_disk(test);
}
#endif

static struct kunit_case freeze_cases[] = {
    KUNIT_CASE(freeze_waits_for_bios_in_flight_and_holds_writers),
    KUNIT_CASE(freeze_flushes_dirty_blocks),
    KUNIT_CASE(freeze_without_a_file_system),
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    KUNIT_CASE(freezes_nest_and_can_fail),
#else
    KUNIT_CASE(freeze_cannot_be_made_to_fail),
#endif
    {},
};

static struct kunit_suite freeze_suite = {"freeze", freeze_cases};
kunit_test_suite(freeze_suite);
