/*
 * The simulated disks: what a partition's bio writes lands at the right place
 * of the backing store; sectors told to fail end their bio with an error and
 * not up to date (with the older completion, with the failed bytes still
 * outstanding) after moving the sectors before them; a paused disk holds its
 * bios until it resumes, and a hold rule only the bios it names until their
 * release.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/genhd.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/mm.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/disk.h>

#include "blk_test_util.h"

#define SD_MAJOR 242
#define SD_DISK STANDIN_MKDEV(SD_MAJOR, 0)
#define SD_PART1 STANDIN_MKDEV(SD_MAJOR, 1)
#define PART1_START 2048

/* A RAM disk of 8 MiB with partition 1 from sector 2048 on. */
static int make_disk(void) {
    int ret = standin_ramdisk_create("simd", SD_MAJOR, 0, 8, 16384);
    if (!ret)
        ret = standin_disk_set_partition(SD_DISK, 1, PART1_START, 8192);
    return ret;
}

static void partition_writes_land_at_the_partition(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    struct block_device *part = bdget(SD_PART1);
    struct page *page = alloc_page(GFP_KERNEL);
    fill_page(page, 3);
    struct bio_result r;
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(part, WRITE, 16, page, PAGE_SIZE, &r));
    char *raw = (char *)kmalloc(PAGE_SIZE, GFP_KERNEL);
    KUNIT_ASSERT_EQ(test,
                    standin_dev_read_raw(SD_DISK, (PART1_START + 16) * 512ULL, raw, PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, memcmp(raw, page_address(page), PAGE_SIZE), 0);
    KUNIT_ASSERT_EQ(test, standin_dev_read_raw(SD_PART1, 16 * 512ULL, raw, PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, memcmp(raw, page_address(page), PAGE_SIZE), 0);
    /* And a read through the block layer gives it back. */
    struct page *back = alloc_page(GFP_KERNEL);
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(part, READ, 16, back, PAGE_SIZE, &r));
    KUNIT_EXPECT_EQ(test, memcmp(page_address(back), page_address(page), PAGE_SIZE), 0);
    struct standin_disk_stats stats;
    KUNIT_ASSERT_EQ(test, standin_get_disk_stats(SD_PART1, &stats), 0);
    KUNIT_EXPECT_EQ(test, stats.write_bytes, (unsigned long long)PAGE_SIZE);
    kfree(raw);
    __free_page(page);
    __free_page(back);
    bdput(part);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), 0);
}

static void failed_sectors_end_the_bio_with_an_error(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    struct block_device *part = bdget(SD_PART1);
    struct page *page = alloc_page(GFP_KERNEL);
    char *raw = (char *)kzalloc(PAGE_SIZE, GFP_KERNEL);
    /* Known content first, then sectors 2 and 3 of the block fail reads. */
    fill_page(page, 9);
    KUNIT_ASSERT_EQ(test, standin_dev_write_raw(SD_PART1, 0, page_address(page), PAGE_SIZE), 0);
    KUNIT_ASSERT_EQ(test, standin_disk_fail_sectors(SD_PART1, 2, 2, STANDIN_FAIL_READ), 0);
    struct page *got = alloc_page(GFP_KERNEL);
    memset(page_address(got), 0x5a, PAGE_SIZE);
    struct bio_result r;
    KUNIT_EXPECT_FALSE(test, bio_rw_wait(part, READ, 0, got, PAGE_SIZE, &r));
    KUNIT_EXPECT_EQ(test, r.error, -EIO);
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
    KUNIT_EXPECT_EQ(test, r.left, 4096U - 1024U); /* the failed bytes are outstanding */
#endif
    /* The sectors before the failed one arrived; the rest did not. */
    KUNIT_EXPECT_EQ(test, memcmp(page_address(got), page_address(page), 1024), 0);
    KUNIT_EXPECT_EQ(test, ((unsigned char *)page_address(got))[1024], 0x5a);
    /* Writes are not affected; a bio beside the failed sectors neither. */
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(part, WRITE, 0, page, PAGE_SIZE, &r));
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(part, READ, 8, got, PAGE_SIZE, &r));

    /* A failing write moves the sectors before the bad one only. */
    KUNIT_ASSERT_EQ(test, standin_disk_fail_sectors(SD_PART1, 13, 1, STANDIN_FAIL_WRITE), 0);
    fill_page(page, 77);
    KUNIT_EXPECT_FALSE(test, bio_rw_wait(part, WRITE, 8, page, PAGE_SIZE, &r));
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
    KUNIT_EXPECT_EQ(test, r.left, 3U * 512);
#endif
    KUNIT_ASSERT_EQ(test, standin_dev_read_raw(SD_PART1, 8 * 512ULL, raw, PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, memcmp(raw, page_address(page), 5 * 512), 0);
    KUNIT_EXPECT_NE(test, memcmp(raw + 5 * 512, (char *)page_address(page) + 5 * 512, 512), 0);

    /* Failures are on disk sectors: the whole disk sees the same ones. */
    struct block_device *whole = bdget(SD_DISK);
    KUNIT_EXPECT_FALSE(test, bio_rw_wait(whole, READ, PART1_START, got, 2048, &r));
    KUNIT_EXPECT_EQ(test, standin_disk_clear_failures(SD_DISK), 0);
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(whole, READ, PART1_START, got, 2048, &r));
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(part, WRITE, 8, page, PAGE_SIZE, &r));
    struct standin_disk_stats stats;
    standin_get_disk_stats(SD_DISK, &stats);
    KUNIT_EXPECT_EQ(test, stats.errors, 3ULL);
    bdput(whole);
    kfree(raw);
    __free_page(page);
    __free_page(got);
    bdput(part);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), 0);
}

static void paused_disk_holds_its_bios(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    struct block_device *whole = bdget(SD_DISK);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r[3];
    struct bio *bio[3];
    KUNIT_ASSERT_EQ(test, standin_disk_pause(SD_DISK), 0);
    for (int i = 0; i < 3; i++) {
        bio[i] = test_bio(whole, (sector_t)i * 8, page, PAGE_SIZE, &r[i]);
        submit_bio(READ, bio[i]);
    }
    KUNIT_EXPECT_EQ(test, standin_disk_wait_queued(SD_DISK, 3), 3);
    for (int i = 0; i < 3; i++)
        KUNIT_EXPECT_EQ(test, r[i].calls, 0);
    KUNIT_ASSERT_EQ(test, standin_disk_resume(SD_DISK), 0);
    for (int i = 0; i < 3; i++) {
        wait_for_completion(&r[i].done);
        KUNIT_EXPECT_TRUE(test, r[i].uptodate);
        bio_put(bio[i]);
    }
    __free_page(page);
    bdput(whole);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), 0);
}

/* Four reads of partition sector 16 race a write to it: the rule holds the
 * first two (one through the whole disk), lets the rest by, and the held ones
 * return what the disk holds at their release. */
static void held_bios_wait_for_their_release(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    struct block_device *part = bdget(SD_PART1);
    struct block_device *whole = bdget(SD_DISK);
    struct page *old_data = alloc_page(GFP_KERNEL), *new_data = alloc_page(GFP_KERNEL);
    struct page *got[3], *other = alloc_page(GFP_KERNEL);
    struct bio_result r[3], ro;
    struct bio *held[3];
    fill_page(old_data, 1);
    fill_page(new_data, 2);
    KUNIT_ASSERT_EQ(
        test, standin_dev_write_raw(SD_PART1, 16 * 512ULL, page_address(old_data), PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_hold(SD_PART1, 16, 1, 0, 1), -EINVAL);
    KUNIT_ASSERT_EQ(test, standin_disk_hold(SD_PART1, 20, 1, STANDIN_IO_READ, 2), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_hold(SD_DISK, 0, 1, STANDIN_IO_WRITE, 1), -EBUSY);
    for (int i = 0; i < 2; i++) {
        got[i] = alloc_page(GFP_KERNEL);
        held[i] = i ? test_bio(whole, PART1_START + 16, got[i], PAGE_SIZE, &r[i])
                    : test_bio(part, 16, got[i], PAGE_SIZE, &r[i]);
        submit_bio(READ, held[i]);
        KUNIT_EXPECT_EQ(test, standin_disk_wait_held(SD_DISK, i + 1), i + 1);
        /* Other sectors pass by the held read. */
        KUNIT_EXPECT_TRUE(test, bio_rw_wait(part, READ, 24 + 8 * i, other, PAGE_SIZE, &ro));
    }
    /* So do writes to the held sectors, and reads once two are caught. */
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(part, WRITE, 16, new_data, PAGE_SIZE, &ro));
    got[2] = alloc_page(GFP_KERNEL);
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(part, READ, 16, got[2], PAGE_SIZE, &ro));
    KUNIT_EXPECT_EQ(test, memcmp(page_address(got[2]), page_address(new_data), PAGE_SIZE), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_wait_held(SD_DISK, 3), 2);
    KUNIT_EXPECT_EQ(test, r[0].calls + r[1].calls, 0);
    KUNIT_EXPECT_EQ(test, standin_disk_release_held(SD_PART1), 2);
    for (int i = 0; i < 2; i++) {
        wait_for_completion(&r[i].done);
        KUNIT_EXPECT_TRUE(test, r[i].uptodate);
        KUNIT_EXPECT_EQ(test, memcmp(page_address(got[i]), page_address(new_data), PAGE_SIZE), 0);
        bio_put(held[i]);
    }
    /* Removal does not wait for ever on a held bio: it serves it. */
    KUNIT_ASSERT_EQ(test, standin_disk_hold(SD_DISK, 0, 8, STANDIN_IO_WRITE, 1), 0);
    held[2] = test_bio(whole, 0, new_data, PAGE_SIZE, &r[2]);
    submit_bio(WRITE, held[2]);
    KUNIT_EXPECT_EQ(test, standin_disk_wait_held(SD_DISK, 1), 1);
    bdput(part);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), 0);
    wait_for_completion(&r[2].done);
    KUNIT_EXPECT_TRUE(test, r[2].uptodate);
    bio_put(held[2]);
    bdput(whole);
    for (int i = 0; i < 3; i++)
        __free_page(got[i]);
    __free_page(old_data);
    __free_page(new_data);
    __free_page(other);
}

static void device_numbers_and_removal(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    /* Numbers overlapping a disk's are taken. */
    KUNIT_EXPECT_EQ(test, standin_ramdisk_create("other", SD_MAJOR, 4, 4, 64), -EBUSY);
    KUNIT_EXPECT_EQ(test, standin_ramdisk_create("other", SD_MAJOR, 8, 1, 64), 0);
    KUNIT_EXPECT_EQ(test, standin_dev_sectors(SD_PART1), 8192ULL);
    KUNIT_EXPECT_EQ(test, standin_dev_sectors(STANDIN_MKDEV(SD_MAJOR, 2)), 0ULL);
    KUNIT_ASSERT_EQ(test, standin_mount(SD_PART1, "testfs", 1024), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), -EBUSY);
    KUNIT_EXPECT_EQ(test, standin_disk_set_partition(SD_DISK, 1, 0, 0), -EBUSY);
    KUNIT_EXPECT_EQ(test, standin_umount(SD_PART1), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), 0);
    KUNIT_EXPECT_EQ(test, standin_dev_sectors(SD_PART1), 0ULL);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(STANDIN_MKDEV(SD_MAJOR, 8)), 0);
}

static struct kunit_case simdisk_cases[] = {
    KUNIT_CASE(partition_writes_land_at_the_partition),
    KUNIT_CASE(failed_sectors_end_the_bio_with_an_error),
    KUNIT_CASE(paused_disk_holds_its_bios),
    KUNIT_CASE(held_bios_wait_for_their_release),
    KUNIT_CASE(device_numbers_and_removal),
    {},
};

static struct kunit_suite simdisk_suite = {"simdisk", simdisk_cases};
kunit_test_suite(simdisk_suite);
