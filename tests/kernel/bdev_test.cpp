/*
 * Block devices and super blocks as a driver reads them: one block device
 * per number, partitions tied to their whole disk and partition record (in
 * the form of the kernel release), get_super only for a mounted device, with
 * a reference, and the test file system's chosen block size.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/mutex.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/disk.h>

#define BD_MAJOR 244
#define BD_DISK STANDIN_MKDEV(BD_MAJOR, 16)

static void block_devices_of_a_partitioned_disk(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, standin_ramdisk_create("bd", BD_MAJOR, 16, 8, 20000), 0);
    KUNIT_ASSERT_EQ(test, standin_disk_set_partition(BD_DISK, 1, 64, 1000), 0);
    KUNIT_ASSERT_EQ(test, standin_disk_set_partition(BD_DISK, 5, 4096, 8000), 0);
    struct block_device *whole = bdget(BD_DISK);
    struct block_device *p1 = bdget(STANDIN_MKDEV(BD_MAJOR, 17));
    struct block_device *p5 = bdget(STANDIN_MKDEV(BD_MAJOR, 21));
    struct block_device *again = bdget(STANDIN_MKDEV(BD_MAJOR, 17));
    KUNIT_EXPECT_TRUE(test, p1 == again);
    bdput(again);

    KUNIT_EXPECT_TRUE(test, whole->bd_contains == whole);
    KUNIT_EXPECT_TRUE(test, p1->bd_contains == whole);
    KUNIT_EXPECT_TRUE(test, p5->bd_disk == whole->bd_disk);
    KUNIT_EXPECT_EQ(test, p5->bd_part->partno, 5);
    KUNIT_EXPECT_EQ(test, get_start_sect(whole), (sector_t)0);
    KUNIT_EXPECT_EQ(test, get_start_sect(p1), (sector_t)64);
    KUNIT_EXPECT_EQ(test, get_start_sect(p5), (sector_t)4096);
    KUNIT_EXPECT_EQ(test, p5->bd_part->nr_sects, (sector_t)8000);
    struct gendisk *disk = whole->bd_disk;
    KUNIT_EXPECT_EQ(test, disk->first_minor, 16);
    KUNIT_EXPECT_EQ(test, get_capacity(disk), (sector_t)20000);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    KUNIT_EXPECT_TRUE(test, whole->bd_part == &disk->part0);
    KUNIT_EXPECT_EQ(test, disk->part_tbl->len, 6); /* as long as the highest partition needs */
    KUNIT_EXPECT_TRUE(test, disk->part_tbl->part[5] == p5->bd_part);
    KUNIT_EXPECT_NULL(test, disk->part_tbl->part[2]);
#else
    KUNIT_EXPECT_TRUE(test, disk->part[4] == p5->bd_part);
    KUNIT_EXPECT_NULL(test, disk->part[1]);
#endif
    /* The whole disk's lock, as a driver walks the partitions under it. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    KUNIT_EXPECT_EQ(test, mutex_trylock(&whole->bd_mutex), 1);
    KUNIT_EXPECT_EQ(test, mutex_trylock(&whole->bd_mutex), 0);
    mutex_unlock(&whole->bd_mutex);
#else
    KUNIT_EXPECT_EQ(test, down_trylock(&whole->bd_sem), 0);
    KUNIT_EXPECT_EQ(test, down_trylock(&whole->bd_sem), 1);
    up(&whole->bd_sem);
#endif
    /* Once the disk is gone the numbers have no disk behind them. */
    bdput(p5);
    bdput(p1);
    bdput(whole);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(BD_DISK), 0);
    struct block_device *gone = bdget(STANDIN_MKDEV(BD_MAJOR, 17));
    KUNIT_EXPECT_NULL(test, gone->bd_disk);
    KUNIT_EXPECT_NULL(test, get_super(gone));
    bdput(gone);
}

static void get_super_needs_a_mounted_file_system(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, standin_ramdisk_create("bd", BD_MAJOR, 16, 8, 20000), 0);
    KUNIT_ASSERT_EQ(test, standin_disk_set_partition(BD_DISK, 1, 64, 1000), 0);
    struct block_device *p1 = bdget(STANDIN_MKDEV(BD_MAJOR, 17));
    struct block_device *whole = bdget(BD_DISK);
    KUNIT_EXPECT_NULL(test, get_super(p1));

    KUNIT_ASSERT_EQ(test, standin_mount(STANDIN_MKDEV(BD_MAJOR, 17), "testfs", 256), 0);
    KUNIT_EXPECT_NULL(test, get_super(whole)); /* mounted on the partition only */
    struct super_block *sb = get_super(p1);
    KUNIT_ASSERT_NOT_NULL(test, sb);
    KUNIT_EXPECT_EQ(test, sb->s_blocksize, 256UL);
    KUNIT_EXPECT_EQ(test, sb->s_blocksize_bits, 8);
    KUNIT_EXPECT_TRUE(test, sb->s_bdev == p1);
    KUNIT_EXPECT_EQ(test, sb->s_dev, (dev_t)STANDIN_MKDEV(BD_MAJOR, 17));
    KUNIT_EXPECT_EQ(test, sb->s_count, 1);
    KUNIT_EXPECT_STREQ(test, sb->s_type->name, "testfs");
    drop_super(sb);
    KUNIT_EXPECT_EQ(test, sb->s_count, 0);
    /* A freeze keeps a reference of its own until the thaw. */
    struct super_block *frozen = freeze_bdev(p1);
    KUNIT_EXPECT_TRUE(test, frozen == sb);
    KUNIT_EXPECT_EQ(test, sb->s_count, 1);
    struct super_block *again = get_super(p1);
    KUNIT_EXPECT_TRUE(test, again == sb);
    KUNIT_EXPECT_EQ(test, sb->s_count, 2);
    drop_super(again);
    thaw_bdev(p1, frozen);
    KUNIT_EXPECT_EQ(test, sb->s_count, 0);
    KUNIT_EXPECT_EQ(test, standin_mount(STANDIN_MKDEV(BD_MAJOR, 17), "testfs", 512), -EBUSY);
    KUNIT_EXPECT_EQ(test, standin_umount(STANDIN_MKDEV(BD_MAJOR, 17)), 0);
    KUNIT_EXPECT_NULL(test, get_super(p1));
    /* Only powers of two that fit a page; a blank disk is no ext file system. */
    KUNIT_EXPECT_EQ(test, standin_mount(BD_DISK, "testfs", 768), -EINVAL);
    KUNIT_EXPECT_EQ(test, standin_mount(BD_DISK, "testfs", 8192), -EINVAL);
    KUNIT_EXPECT_EQ(test, standin_mount(BD_DISK, NULL, 0), -EINVAL);
    KUNIT_EXPECT_LOG(test, "VFS: Can't find ext2 filesystem on dev bd.");
    bdput(whole);
    bdput(p1);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(BD_DISK), 0);
}

static struct kunit_case bdev_cases[] = {
    KUNIT_CASE(block_devices_of_a_partitioned_disk),
    KUNIT_CASE(get_super_needs_a_mounted_file_system),
    {},
};

static struct kunit_suite bdev_suite = {"block_device", bdev_cases};
kunit_test_suite(bdev_suite);
