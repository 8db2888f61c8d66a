/*
 * bios: each completes exactly once, on the disk's completion thread and in
 * interrupt context; completing twice, freeing one in flight and sleeping
 * where a bio completes are stopped; allocation fails on demand and
 * bio_add_page respects the bio's and the queue's limits.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/mm.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/disk.h>
#include <standin/fault.h>

#include "blk_test_util.h"

#define BIO_MAJOR 240
#define BIO_DEV STANDIN_MKDEV(BIO_MAJOR, 0)

static struct block_device *ram_disk(struct kunit *test) {
    if (standin_ramdisk_create("biotest", BIO_MAJOR, 0, 1, 2048) != 0)
        return NULL;
    return bdget(BIO_DEV);
}

static void remove_disk(struct block_device *bdev) {
    bdput(bdev);
    standin_disk_remove(BIO_DEV);
}

static void every_bio_completes_once_elsewhere_in_irq(struct kunit *test) {
    struct block_device *bdev = ram_disk(test);
    KUNIT_ASSERT_NOT_NULL(test, bdev);
    struct standin_bio_counters before, after;
    standin_get_bio_counters(&before);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r;
    for (int i = 0; i < 8; i++) {
        fill_page(page, (unsigned char)i);
        KUNIT_EXPECT_TRUE(test, bio_rw_wait(bdev, WRITE, (sector_t)i * 8, page, PAGE_SIZE, &r));
        KUNIT_EXPECT_TRUE(test, r.task != current);
        KUNIT_EXPECT_TRUE(test, r.in_irq);
        KUNIT_EXPECT_TRUE(test, r.irqs_off);
        KUNIT_EXPECT_TRUE(test, bio_rw_wait(bdev, READ, (sector_t)i * 8, page, PAGE_SIZE, &r));
        KUNIT_EXPECT_EQ(test, r.calls, 1);
    }
    standin_get_bio_counters(&after);
    KUNIT_EXPECT_EQ(test, after.submitted - before.submitted, 16ULL);
    KUNIT_EXPECT_EQ(test, after.completed - before.completed, 16ULL);
    KUNIT_EXPECT_EQ(test, after.failed - before.failed, 0ULL);
    KUNIT_EXPECT_EQ(test, after.allocated - before.allocated, after.freed - before.freed);
    __free_page(page);
    remove_disk(bdev);
}

static void second_completion_is_a_bug(struct kunit *test) {
    struct block_device *bdev = ram_disk(test);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r;
    struct bio *bio = test_bio(bdev, 0, page, PAGE_SIZE, &r);
    submit_bio(READ, bio);
    wait_for_completion(&r.done);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
    bio_endio(bio, 0);
#else
    bio_endio(bio, 0, 0);
#endif
}

static void put_while_in_flight_is_a_bug(struct kunit *test) {
    struct block_device *bdev = ram_disk(test);
    standin_disk_pause(BIO_DEV);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r;
    struct bio *bio = test_bio(bdev, 0, page, PAGE_SIZE, &r);
    submit_bio(READ, bio);
    standin_disk_wait_queued(BIO_DEV, 1);
    bio_put(bio);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static void sleeping_end_io(struct bio *bio, int error) {
    kfree(kmalloc(16, GFP_KERNEL));
}
#else
static int sleeping_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    kfree(kmalloc(16, GFP_KERNEL));
    return 0;
}
#endif

static void sleeping_in_a_completion_is_a_bug(struct kunit *test) {
    struct block_device *bdev = ram_disk(test);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r;
    struct bio *bio = test_bio(bdev, 0, page, PAGE_SIZE, &r);
    bio->bi_end_io = sleeping_end_io;
    submit_bio(READ, bio);
    wait_for_completion(&r.done); /* never: the completion stops the kernel */
}

static void sleeping_allocation_under_a_spin_lock_is_a_bug(struct kunit *test) {
    static DEFINE_SPINLOCK(lock);
    spin_lock(&lock);
    bio_alloc(GFP_NOIO, 1);
}

static void allocations_fail_on_demand(struct kunit *test) {
    struct standin_fault_rule bios = {FAULT_BIO, GFP_NOIO, NULL, 0, 1, 1};
    struct standin_fault_rule bhs = {FAULT_BUFFER_HEAD, 0, NULL, 0, 0, 1};
    int bio_rule = standin_fault_add(&bios);
    int bh_rule = standin_fault_add(&bhs);
    struct bio *first = bio_alloc(GFP_NOIO, 1);
    struct bio *second = bio_alloc(GFP_NOIO, 1);
    struct bio *atomic = bio_alloc(GFP_ATOMIC, 1);
    struct buffer_head *bh = alloc_buffer_head(GFP_NOIO);
    struct buffer_head *bh2 = alloc_buffer_head(GFP_NOIO);
    KUNIT_EXPECT_EQ(test, standin_fault_hits(bio_rule), 1UL);
    KUNIT_EXPECT_EQ(test, standin_fault_hits(bh_rule), 1UL);
    standin_fault_clear();
    KUNIT_EXPECT_NOT_NULL(test, first);
    KUNIT_EXPECT_NULL(test, second);
    KUNIT_EXPECT_NOT_NULL(test, atomic);
    KUNIT_EXPECT_NULL(test, bh);
    KUNIT_EXPECT_NOT_NULL(test, bh2);
    KUNIT_EXPECT_NULL(test, bio_alloc(GFP_NOIO, 257)); /* more than BIO_MAX_PAGES */
    bio_put(first);
    bio_put(atomic);
    free_buffer_head(bh2);
}

static void add_page_respects_vectors_and_queue_limit(struct kunit *test) {
    struct block_device *bdev = ram_disk(test);
    KUNIT_ASSERT_NOT_NULL(test, bdev);
    struct page *a = alloc_page(GFP_KERNEL), *b = alloc_page(GFP_KERNEL);

    /* Contiguous pieces of one page share a vector. */
    struct bio *bio = bio_alloc(GFP_NOIO, 1);
    bio->bi_bdev = bdev;
    KUNIT_EXPECT_EQ(test, bio_add_page(bio, a, 512, 0), 512);
    KUNIT_EXPECT_EQ(test, bio_add_page(bio, a, 1024, 512), 1024);
    KUNIT_EXPECT_EQ(test, bio_add_page(bio, b, 512, 0), 0); /* no vector left */
    KUNIT_EXPECT_EQ(test, bio->bi_vcnt, 1);
    KUNIT_EXPECT_EQ(test, bio->bi_size, 1536U);
    bio_put(bio);

    /* The RAM disk's queue takes 1024 sectors a bio: 128 pages. */
    bio = bio_alloc(GFP_NOIO, 256);
    bio->bi_bdev = bdev;
    int added = 0;
    while (added < 256 && bio_add_page(bio, added % 2 ? a : b, PAGE_SIZE, 0) == (int)PAGE_SIZE)
        added++;
    KUNIT_EXPECT_EQ(test, added, 128);
    KUNIT_EXPECT_EQ(test, bio->bi_size, 128U * PAGE_SIZE);
    bio_put(bio);
    __free_page(a);
    __free_page(b);
    remove_disk(bdev);
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
/* The older completion may be told of a bio piece by piece. */
static void old_form_completes_in_parts(struct kunit *test) {
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r;
    struct bio *bio = test_bio(NULL, 100, page, PAGE_SIZE, &r);
    bio_endio(bio, 1024, 0);
    KUNIT_EXPECT_EQ(test, r.calls, 0); /* bytes remain: not final */
    KUNIT_EXPECT_EQ(test, bio->bi_size, 3072U);
    KUNIT_EXPECT_EQ(test, bio->bi_sector, (sector_t)102);
    bio_endio(bio, 3072, 0);
    KUNIT_EXPECT_EQ(test, r.calls, 1);
    KUNIT_EXPECT_EQ(test, r.left, 0U);
    KUNIT_EXPECT_TRUE(test, r.uptodate);
    KUNIT_EXPECT_EQ(test, bio->bi_sector, (sector_t)108);
    bio_put(bio);
    __free_page(page);
}
#endif

static struct kunit_case bio_cases[] = {
    KUNIT_CASE(every_bio_completes_once_elsewhere_in_irq),
    KUNIT_CASE_BUG(second_completion_is_a_bug, "completed twice"),
    KUNIT_CASE_BUG(put_while_in_flight_is_a_bug, "freed while the block layer owns it"),
    KUNIT_CASE_BUG(sleeping_in_a_completion_is_a_bug,
                   "sleeping function called from invalid context"),
    KUNIT_CASE_BUG(sleeping_allocation_under_a_spin_lock_is_a_bug,
                   "sleeping function called from invalid context"),
    KUNIT_CASE(allocations_fail_on_demand),
    KUNIT_CASE(add_page_respects_vectors_and_queue_limit),
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
    KUNIT_CASE(old_form_completes_in_parts),
#endif
    {},
};

static struct kunit_suite bio_suite = {"bio", bio_cases};
kunit_test_suite(bio_suite);
