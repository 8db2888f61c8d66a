/*
 * The simulated disks: what a partition's bio writes lands at the right place
 * of the backing store; sectors told to fail end their bio with an error and
 * not up to date (with the older completion, with the failed bytes still
 * outstanding) after moving the sectors before them; a paused disk holds its
 * bios until it resumes, and a hold rule only the bios it names until their
 * release; a direct disk serves in the submitter's context; the older completion hears of a bio of
 * several pages in pieces; an unplugged disk fails its bios and stays memory for those who hold it.
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

/* A direct disk ends a bio in its submitter's context, before submit_bio
 * returns; a pause still holds bios, which then keep their order. */
static void direct_disk_serves_in_the_submitters_context(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    KUNIT_ASSERT_EQ(test, standin_disk_set_direct(SD_DISK, 1), 0);
    struct block_device *whole = bdget(SD_DISK);
    struct page *page = alloc_page(GFP_KERNEL);
    fill_page(page, 4);
    struct bio_result r[2];
    struct bio *bio = test_bio(whole, 8, page, PAGE_SIZE, &r[0]);
    submit_bio(WRITE, bio);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
    KUNIT_EXPECT_EQ(test, r[0].calls, 1);
    KUNIT_EXPECT_TRUE(test, r[0].task == current);
#endif
    wait_for_completion(&r[0].done);
    KUNIT_EXPECT_TRUE(test, r[0].uptodate);
    bio_put(bio);
    KUNIT_ASSERT_EQ(test, standin_disk_pause(SD_DISK), 0);
    bio = test_bio(whole, 8, alloc_page(GFP_KERNEL), PAGE_SIZE, &r[1]);
    submit_bio(READ, bio);
    KUNIT_EXPECT_EQ(test, standin_disk_wait_queued(SD_DISK, 1), 1);
    KUNIT_EXPECT_EQ(test, r[1].calls, 0);
    KUNIT_ASSERT_EQ(test, standin_disk_resume(SD_DISK), 0);
    wait_for_completion(&r[1].done);
    KUNIT_EXPECT_EQ(
        test, memcmp(page_address(bio->bi_io_vec[0].bv_page), page_address(page), PAGE_SIZE), 0);
    __free_page(bio->bi_io_vec[0].bv_page);
    bio_put(bio);
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

/* What a completion heard of a bio: calls, bytes, and whether bi_size
 * always said what was left. */
struct pieces {
    struct completion done;
    unsigned int total, bytes;
    int calls, consistent;
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static void pieces_end_io(struct bio *bio, int error) {
    struct pieces *p = (struct pieces *)bio->bi_private;
    p->calls++;
    complete(&p->done);
}
#else
static int pieces_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    struct pieces *p = (struct pieces *)bio->bi_private;
    p->calls++;
    p->bytes += bytes_done;
    p->consistent &= !error && bio->bi_size == p->total - p->bytes;
    if (bio->bi_size)
        return 1;
    complete(&p->done);
    return 0;
}

/* Wrong for the older form: it takes the first call for the end. */
static int one_call_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    bio_put(bio);
    return 0;
}
#endif

static struct bio *four_page_bio(struct block_device *bdev, struct page **pages, struct pieces *p) {
    struct bio *bio = bio_alloc(GFP_NOIO, 4);
    bio->bi_bdev = bdev;
    bio->bi_sector = 64;
    for (int i = 0; i < 4; i++)
        bio_add_page(bio, pages[i], PAGE_SIZE, 0);
    bio->bi_end_io = pieces_end_io;
    bio->bi_private = p;
    init_completion(&p->done);
    p->total = bio->bi_size;
    p->bytes = 0;
    p->calls = 0;
    p->consistent = 1;
    return bio;
}

static void multi_page_bios_end_in_pieces_before_2_6_24(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    struct block_device *whole = bdget(SD_DISK);
    struct page *out[4], *in[4];
    for (int i = 0; i < 4; i++) {
        out[i] = alloc_page(GFP_KERNEL);
        in[i] = alloc_page(GFP_KERNEL);
        fill_page(out[i], (unsigned char)(i + 1));
    }
    struct standin_bio_counters before, after;
    standin_get_bio_counters(&before);
    for (int round = 0; round < 4; round++) {
        struct pieces p;
        struct bio *bio = four_page_bio(whole, round % 2 ? in : out, &p);
        submit_bio(round % 2 ? READ : WRITE, bio);
        wait_for_completion(&p.done);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
        KUNIT_EXPECT_EQ(test, p.calls, 1);
#else
        KUNIT_EXPECT_GE(test, p.calls, 2);
        KUNIT_EXPECT_EQ(test, p.bytes, 4 * (unsigned int)PAGE_SIZE);
        KUNIT_EXPECT_TRUE(test, p.consistent);
#endif
        KUNIT_EXPECT_TRUE(test, bio_flagged(bio, BIO_UPTODATE));
        bio_put(bio);
    }
    for (int i = 0; i < 4; i++)
        KUNIT_EXPECT_EQ(test, memcmp(page_address(in[i]), page_address(out[i]), PAGE_SIZE), 0);
    standin_get_bio_counters(&after);
    KUNIT_EXPECT_EQ(test, after.submitted - before.submitted, 4ULL);
    KUNIT_EXPECT_EQ(test, after.completed - before.completed, 4ULL);
    for (int i = 0; i < 4; i++) {
        __free_page(out[i]);
        __free_page(in[i]);
    }
    bdput(whole);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), 0);
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
static void completion_expecting_one_call_is_caught(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    struct block_device *whole = bdget(SD_DISK);
    struct page *pages[4];
    for (int i = 0; i < 4; i++)
        pages[i] = alloc_page(GFP_KERNEL);
    struct pieces p;
    struct bio *bio = four_page_bio(whole, pages, &p);
    bio->bi_end_io = one_call_end_io;
    submit_bio(READ, bio);
    wait_for_completion(&p.done); /* never: the first piece frees the bio */
}
#endif

/* Stands for a driver that hooked the disk's queue. */
static make_request_fn *unplug_real_fn;

static int unplug_hook(struct request_queue *q, struct bio *bio) {
    return unplug_real_fn(q, bio);
}

/* Yanked while a file system is mounted on it, a driver has hooked its queue
 * (holding a reference), writers keep sending bios and more wait at the
 * paused controller. */
static void unplugged_disk_fails_its_bios_and_stays_valid(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    KUNIT_ASSERT_EQ(test, standin_mount(SD_PART1, "testfs", 1024), 0);
    struct block_device *whole = bdget(SD_DISK), *part = bdget(SD_PART1);
    struct request_queue *q = bdev_get_queue(whole);
    KUNIT_ASSERT_EQ(test, blk_get_queue(q), 0);
    unplug_real_fn = q->make_request_fn;
    q->make_request_fn = unplug_hook;
    struct standin_bio_counters before, after;
    standin_get_bio_counters(&before);
    struct standin_workload_config cfg = {SD_PART1, 2, 0, 64, STANDIN_FS_DIRECT, 0, 0, 0, 7};
    int id = standin_workload_start(&cfg);
    KUNIT_ASSERT_GE(test, id, 0);
    standin_workload_wait(id, 8);
    KUNIT_ASSERT_EQ(test, standin_disk_pause(SD_DISK), 0);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r[3];
    struct bio *queued[2];
    for (int i = 0; i < 2; i++) {
        queued[i] = test_bio(whole, (sector_t)i * 8, page, PAGE_SIZE, &r[i]);
        submit_bio(READ, queued[i]);
    }
    KUNIT_EXPECT_EQ(test, standin_disk_wait_queued(SD_DISK, 4), 4); /* and a write per writer */

    KUNIT_ASSERT_EQ(test, standin_disk_unplug(SD_DISK), 0);
    for (int i = 0; i < 2; i++) {
        wait_for_completion(&r[i].done);
        KUNIT_EXPECT_EQ(test, r[i].calls, 1);
        KUNIT_EXPECT_EQ(test, r[i].error, -EIO);
        KUNIT_EXPECT_FALSE(test, r[i].uptodate);
        bio_put(queued[i]);
    }
    /* New bios fail, through the block layer or handed to the disk's function. */
    KUNIT_EXPECT_FALSE(test, bio_rw_wait(part, WRITE, 0, page, PAGE_SIZE, &r[2]));
    KUNIT_EXPECT_EQ(test, r[2].error, -EIO);
    struct bio *direct = test_bio(whole, 0, page, PAGE_SIZE, &r[2]);
    unplug_real_fn(q, direct);
    wait_for_completion(&r[2].done);
    KUNIT_EXPECT_FALSE(test, r[2].uptodate);
    bio_put(direct);
    KUNIT_EXPECT_GT(test, standin_workload_stop(id), 0L);
    standin_workload_free(id);

    /* The mounted partition keeps its disk, record and numbers: its writes
     * fail, and its unmount works. */
    KUNIT_EXPECT_STREQ(test, part->bd_disk->disk_name, "simd");
    KUNIT_EXPECT_EQ(test, part->bd_part->nr_sects, (sector_t)8192);
    KUNIT_EXPECT_EQ(test, standin_ramdisk_create("simd", SD_MAJOR, 0, 8, 16384), -EBUSY);
    static char block[1024];
    KUNIT_EXPECT_EQ(test, standin_fs_write_block(SD_PART1, 3, block, STANDIN_FS_DIRECT), -EIO);
    KUNIT_EXPECT_EQ(test, standin_umount(SD_PART1), 0);
    KUNIT_EXPECT_NULL(test, part->bd_disk);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), -ENODEV);
    standin_get_bio_counters(&after);
    KUNIT_EXPECT_EQ(test, after.submitted - before.submitted, after.completed - before.completed);
    KUNIT_EXPECT_GE(test, after.failed - before.failed, 6ULL);
    /* The queue stays the hooking driver's until it lets go. */
    q->make_request_fn = unplug_real_fn;
    blk_put_queue(q);
    bdput(part);
    bdput(whole);
    __free_page(page);
    KUNIT_ASSERT_EQ(test, make_disk(), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(SD_DISK), 0);
}

static struct kunit_case simdisk_cases[] = {
    KUNIT_CASE(partition_writes_land_at_the_partition),
    KUNIT_CASE(failed_sectors_end_the_bio_with_an_error),
    KUNIT_CASE(paused_disk_holds_its_bios),
    KUNIT_CASE(direct_disk_serves_in_the_submitters_context),
    KUNIT_CASE(held_bios_wait_for_their_release),
    KUNIT_CASE(device_numbers_and_removal),
    KUNIT_CASE(multi_page_bios_end_in_pieces_before_2_6_24),
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
    KUNIT_CASE_BUG(completion_expecting_one_call_is_caught, "freed while the block layer owns it"),
#endif
    KUNIT_CASE(unplugged_disk_fails_its_bios_and_stays_valid),
    {},
};

static struct kunit_suite simdisk_suite = {"simdisk", simdisk_cases};
kunit_test_suite(simdisk_suite);
