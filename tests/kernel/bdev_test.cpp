/*
 * Block devices and super blocks as a driver reads them: one block device
 * per number, partitions tied to their whole disk and partition record (in
 * the form of the kernel release), get_super only for a mounted device, with
 * a reference, and the test file system's chosen block size. Opens and
 * closes as on a 2.6 kernel: tied to the disk at the first open, untied at the
 * last, which writes the device's dirty pages back under its bd_mutex.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/disk.h>
#include <standin/bdev.h>

#define BD_MAJOR 244
#define BD_DISK STANDIN_MKDEV(BD_MAJOR, 16)
#define BD_PART1 STANDIN_MKDEV(BD_MAJOR, 17)

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

/* What reached the disk's queue while a test function sat in front of it. */
static struct {
    make_request_fn *real;
    struct block_device *whole;
    int reads, writes;
    int reads_locked, writes_locked; /* with the whole disk's lock held by the submitter */
    struct task_struct *tester;
    int elsewhere; /* submitted by another task than the test's */
} seen;

static int lock_held_here(struct block_device *bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    return mutex_is_locked(&bdev->bd_mutex) && bdev->bd_mutex.owner == current;
#else
    return bdev->bd_sem.count == 0; /* a semaphore knows no owner */
#endif
}

static int watching_request(struct request_queue *q, struct bio *bio) {
    int locked = lock_held_here(seen.whole);
    if (bio_data_dir(bio) == WRITE) {
        seen.writes++;
        seen.writes_locked += locked;
    } else {
        seen.reads++;
        seen.reads_locked += locked;
    }
    seen.elsewhere += current != seen.tester;
    return seen.real(q, bio);
}

static void put_le32(unsigned char *p, unsigned int v) {
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static void opens_tie_and_last_close_writes_back_under_the_lock(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, standin_ramdisk_create("bd", BD_MAJOR, 16, 8, 20000), 0);
    KUNIT_ASSERT_EQ(test, standin_disk_set_partition(BD_DISK, 1, 64, 1000), 0);
    struct block_device *whole = bdget(BD_DISK);
    struct block_device *p1 = bdget(BD_PART1);
    struct gendisk *disk = whole->bd_disk; /* never opened: tied since the disk was added */
    KUNIT_ASSERT_NOT_NULL(test, disk);
    static unsigned char data[4096], back[4096];

    /* Mounted, the partition holds its whole disk open; unmounted, both are untied. */
    KUNIT_ASSERT_EQ(test, standin_mount(BD_PART1, "testfs", 512), 0);
    KUNIT_EXPECT_EQ(test, whole->bd_openers, 1);
    KUNIT_EXPECT_EQ(test, whole->bd_part_count, 1U);
    memset(data, 0x5a, 512);
    KUNIT_EXPECT_EQ(test, standin_fs_write_block(BD_PART1, 3, data, STANDIN_FS_DIRECT), 0);
    KUNIT_ASSERT_EQ(test, standin_umount(BD_PART1), 0);
    KUNIT_EXPECT_NULL(test, p1->bd_disk);
    KUNIT_EXPECT_NULL(test, p1->bd_part);
    KUNIT_EXPECT_NULL(test, p1->bd_contains);
    KUNIT_EXPECT_NULL(test, whole->bd_disk);
    KUNIT_EXPECT_EQ(test, whole->bd_openers + p1->bd_openers, 0);
    /* The bytes of the closed partition are still found by its number. */
    KUNIT_EXPECT_EQ(test, standin_dev_sectors(BD_PART1), 1000ULL);
    KUNIT_EXPECT_EQ(test, standin_dev_read_raw(BD_PART1, 3 * 512, back, 512), 0);
    KUNIT_EXPECT_EQ(test, memcmp(back, data, 512), 0);

    /* The next open ties it again, and opens the whole disk. */
    int h = standin_bdev_open(BD_PART1);
    KUNIT_ASSERT_GE(test, h, 0);
    KUNIT_EXPECT_TRUE(test, p1->bd_disk == disk);
    KUNIT_EXPECT_TRUE(test, p1->bd_contains == whole);
    KUNIT_EXPECT_EQ(test, get_start_sect(p1), (sector_t)64);
    KUNIT_EXPECT_TRUE(test, whole->bd_disk == disk);
    KUNIT_EXPECT_EQ(test, whole->bd_openers, 1);
    /* A partition that is open is neither replaced nor rescanned away. */
    KUNIT_EXPECT_EQ(test, standin_disk_set_partition(BD_DISK, 1, 64, 2000), -EBUSY);
    KUNIT_EXPECT_EQ(test, standin_disk_rescan(BD_DISK), -EBUSY);
    KUNIT_EXPECT_EQ(test, standin_bdev_read(h, 3 * 512, back, 512), 0);
    KUNIT_EXPECT_EQ(test, memcmp(back, data, 512), 0);
    KUNIT_EXPECT_EQ(test, standin_bdev_read(h, 1000 * 512 - 256, back, 512), -EINVAL);
    KUNIT_EXPECT_EQ(test, standin_bdev_close(h), 0);
    KUNIT_EXPECT_NULL(test, p1->bd_disk);
    KUNIT_EXPECT_NULL(test, whole->bd_disk);
    KUNIT_EXPECT_EQ(test, standin_bdev_close(h), -EBADF);

    /* Buffered writes to the whole disk: across two pages, neither whole. */
    seen.whole = whole;
    seen.tester = current;
    seen.real = disk->queue->make_request_fn;
    disk->queue->make_request_fn = watching_request;
    int a = standin_bdev_open(BD_DISK), b = standin_bdev_open(BD_DISK);
    KUNIT_ASSERT_GE(test, a, 0);
    KUNIT_ASSERT_GE(test, b, 0);
    for (int i = 0; i < 4096; i++)
        data[i] = (unsigned char)(i * 13 + 1);
    const unsigned long long at = 10 * 4096 + 100;
    KUNIT_EXPECT_EQ(test, standin_bdev_write(a, at, data, 4096), 0);
    KUNIT_EXPECT_EQ(test, standin_bdev_read(b, at, back, 4096), 0);
    KUNIT_EXPECT_EQ(test, memcmp(back, data, 4096), 0);
    KUNIT_EXPECT_EQ(test, standin_bdev_close(a), 0);
    KUNIT_EXPECT_EQ(test, standin_dev_read_raw(BD_DISK, at, back, 4096), 0);
    KUNIT_EXPECT_NE(test, memcmp(back, data, 4096), 0); /* not before the last close */
    KUNIT_EXPECT_EQ(test, seen.writes, 0);
    KUNIT_EXPECT_EQ(test, standin_bdev_close(b), 0);
    KUNIT_EXPECT_EQ(test, standin_dev_read_raw(BD_DISK, at, back, 4096), 0);
    KUNIT_EXPECT_EQ(test, memcmp(back, data, 4096), 0);
    KUNIT_EXPECT_EQ(test, seen.writes, 2);
    KUNIT_EXPECT_EQ(test, seen.writes_locked, 2);
    KUNIT_EXPECT_NULL(test, whole->bd_disk);

    /* A table written onto the MBR as dd would, then read again under the lock. */
    memset(data, 0, 512);
    unsigned char *e = data + 446;
    e[4] = 0x83;
    put_le32(e + 8, 2048);
    put_le32(e + 12, 4096);
    e[16 + 4] = 0x83;
    put_le32(e + 16 + 8, 8192);
    put_le32(e + 16 + 12, 2048);
    data[510] = 0x55;
    data[511] = 0xaa;
    h = standin_bdev_open(BD_DISK);
    KUNIT_ASSERT_GE(test, h, 0);
    KUNIT_EXPECT_EQ(test, standin_bdev_write(h, 0, data, 512), 0);
    KUNIT_EXPECT_EQ(test, standin_bdev_close(h), 0);
    seen.reads = seen.reads_locked = 0;
    KUNIT_EXPECT_EQ(test, standin_disk_rescan(BD_DISK), 0);
    KUNIT_EXPECT_GT(test, seen.reads, 0);
    KUNIT_EXPECT_EQ(test, seen.reads_locked, seen.reads);
    KUNIT_EXPECT_LOG(test, " bd: bd1 bd2");
    unsigned long long start = 0, sectors = 0;
    KUNIT_EXPECT_EQ(test, standin_disk_partition(BD_DISK, 2, &start, &sectors), 0);
    KUNIT_EXPECT_EQ(test, start, 8192ULL);
    KUNIT_EXPECT_EQ(test, sectors, 2048ULL);
    KUNIT_EXPECT_EQ(test, standin_dev_sectors(BD_PART1), 4096ULL);
    KUNIT_EXPECT_EQ(test, seen.elsewhere, 0); /* every bio came from this task */

    disk->queue->make_request_fn = seen.real;
    bdput(p1);
    bdput(whole);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(BD_DISK), 0);
}

static struct kunit_case bdev_cases[] = {
    KUNIT_CASE(block_devices_of_a_partitioned_disk),
    KUNIT_CASE(get_super_needs_a_mounted_file_system),
    KUNIT_CASE(opens_tie_and_last_close_writes_back_under_the_lock),
    {},
};

static struct kunit_suite bdev_suite = {"block_device", bdev_cases};
kunit_test_suite(bdev_suite);
