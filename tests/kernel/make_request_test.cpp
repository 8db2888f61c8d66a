/*
 * generic_make_request: a partition's bio reaches the disk's queue remapped
 * onto the whole disk; a make_request_fn that returns non-zero gets the bio
 * handed to the queue again, through whatever function the queue holds by
 * then; a bio past the end of its device ends in an error; and from 2.6.22 a
 * bio submitted inside a make_request_fn waits until that function returns.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/genhd.h>
#include <linux/string.h>
#include <linux/mm.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/disk.h>

#include "blk_test_util.h"

#define MR_MAJOR 241

/* What the recording queue saw, in order. */
struct seen {
    int calls;
    sector_t sector[8];
    struct block_device *bdev[8];
    int hook_calls;
    int nested_done_before_return;
};

static struct seen seen;
static struct bio *nested_bio;

static int record_request(struct request_queue *q, struct bio *bio) {
    if (seen.calls < 8) {
        seen.sector[seen.calls] = bio->bi_sector;
        seen.bdev[seen.calls] = bio->bi_bdev;
    }
    seen.calls++;
    if (bio_data_dir(bio) == READ) {
        struct bio_vec *bv;
        int i;
        bio_for_each_segment(bv, bio, i)
            memset((char *)page_address(bv->bv_page) + bv->bv_offset, 0, bv->bv_len);
    }
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
    bio_endio(bio, 0);
#else
    bio_endio(bio, bio->bi_size, 0);
#endif
    return 0;
}

/* A hook that passes the bio on by swapping itself out and asking for a
 * resubmission, as a driver that unhooks would. */
static int unhooking_request(struct request_queue *q, struct bio *bio) {
    seen.hook_calls++;
    q->make_request_fn = record_request;
    return 1;
}

/* A hook that submits a second bio of its own before passing the first on. */
static int nesting_request(struct request_queue *q, struct bio *bio) {
    seen.hook_calls++;
    q->make_request_fn = record_request;
    int before = seen.calls;
    generic_make_request(nested_bio);
    seen.nested_done_before_return = seen.calls > before;
    return 1;
}

static int make_disk(struct test_disk *t) {
    int ret = make_test_disk(t, MR_MAJOR, "mrtest", record_request);
    memset(&seen, 0, sizeof(seen)); /* forget the partition-table read */
    return ret;
}

static void partition_bio_is_remapped_onto_the_disk(struct kunit *test) {
    struct test_disk t;
    KUNIT_ASSERT_EQ(test, make_disk(&t), 0);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r;
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(t.part, WRITE, 8, page, 4096, &r));
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(t.whole, WRITE, 8, page, 4096, &r));
    KUNIT_ASSERT_EQ(test, seen.calls, 2);
    KUNIT_EXPECT_EQ(test, seen.sector[0], (sector_t)108);
    KUNIT_EXPECT_TRUE(test, seen.bdev[0] == t.whole);
    KUNIT_EXPECT_EQ(test, seen.sector[1], (sector_t)8);
    KUNIT_EXPECT_TRUE(test, seen.bdev[1] == t.whole);
    __free_page(page);
    drop_test_disk(&t);
}

static void nonzero_return_resubmits_through_the_new_function(struct kunit *test) {
    struct test_disk t;
    KUNIT_ASSERT_EQ(test, make_disk(&t), 0);
    t.queue->make_request_fn = unhooking_request;
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r;
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(t.part, READ, 0, page, 512, &r));
    KUNIT_EXPECT_EQ(test, seen.hook_calls, 1);
    KUNIT_ASSERT_EQ(test, seen.calls, 1);
    /* Remapped once only, although it went through the queue twice. */
    KUNIT_EXPECT_EQ(test, seen.sector[0], (sector_t)100);
    __free_page(page);
    drop_test_disk(&t);
}

static void bio_past_the_end_fails(struct kunit *test) {
    struct test_disk t;
    KUNIT_ASSERT_EQ(test, make_disk(&t), 0);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result r;
    klog_clear();
    /* The partition's last 8 sectors are fine; one sector more is not. */
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(t.part, READ, 42, page, 4096, &r));
    KUNIT_EXPECT_FALSE(test, bio_rw_wait(t.part, READ, 43, page, 4096, &r));
    KUNIT_EXPECT_EQ(test, r.error, -EIO);
    KUNIT_EXPECT_EQ(test, seen.calls, 1);
    KUNIT_EXPECT_LOG(test, "attempt to access beyond end of device");
    KUNIT_EXPECT_LOG(test, "mrtest1: rw=0, want=51, limit=50");
    /* The same sectors on the whole disk are inside it. */
    KUNIT_EXPECT_TRUE(test, bio_rw_wait(t.whole, READ, 43, page, 4096, &r));
    KUNIT_EXPECT_FALSE(test, bio_rw_wait(t.whole, WRITE, 996, page, 4096, &r));
    KUNIT_EXPECT_LOG(test, "mrtest: rw=1, want=1004, limit=1000");
    __free_page(page);
    drop_test_disk(&t);
}

static void bio_submitted_inside_a_make_request_fn(struct kunit *test) {
    struct test_disk t;
    KUNIT_ASSERT_EQ(test, make_disk(&t), 0);
    struct page *page = alloc_page(GFP_KERNEL);
    struct bio_result outer, inner;
    nested_bio = test_bio(t.whole, 500, page, 512, &inner);
    struct bio *bio = test_bio(t.part, 1, page, 512, &outer);
    t.queue->make_request_fn = nesting_request;
    submit_bio(READ, bio);
    wait_for_completion(&outer.done);
    wait_for_completion(&inner.done);
    KUNIT_ASSERT_EQ(test, seen.calls, 2);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 22)
    /* Queued until the hook returned: the outer bio reached the disk first. */
    KUNIT_EXPECT_FALSE(test, seen.nested_done_before_return);
    KUNIT_EXPECT_EQ(test, seen.sector[0], (sector_t)101);
    KUNIT_EXPECT_EQ(test, seen.sector[1], (sector_t)500);
#else
    KUNIT_EXPECT_TRUE(test, seen.nested_done_before_return);
    KUNIT_EXPECT_EQ(test, seen.sector[0], (sector_t)500);
    KUNIT_EXPECT_EQ(test, seen.sector[1], (sector_t)101);
#endif
    bio_put(bio);
    bio_put(nested_bio);
    __free_page(page);
    drop_test_disk(&t);
}

static struct kunit_case make_request_cases[] = {
    KUNIT_CASE(partition_bio_is_remapped_onto_the_disk),
    KUNIT_CASE(nonzero_return_resubmits_through_the_new_function),
    KUNIT_CASE(bio_past_the_end_fails),
    KUNIT_CASE(bio_submitted_inside_a_make_request_fn),
    {},
};

static struct kunit_suite make_request_suite = {"make_request", make_request_cases};
kunit_test_suite(make_request_suite);
