/*
 * synchronize_sched(): a task inside a queue's make_request_fn holds a grace
 * period back until it leaves the function or sleeps, since that is how long
 * it may still run code it reached through the queue's pointer.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/rcupdate.h>
#include <linux/sched.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <kunit/test.h>

#include "blk_test_util.h"

#define GP_MAJOR 242

static int inside, released;
static struct completion gate, submitted, synchronized;
static int synchronize_returned;
static struct bio *held_bio;

static void end_bio(struct bio *bio) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
    bio_endio(bio, 0);
#else
    bio_endio(bio, bio->bi_size, 0);
#endif
}

/* Every other bio (the partition-table read) ends at once, zero-filled. */
static int pass_other(struct bio *bio) {
    if (bio == held_bio)
        return 0;
    struct bio_vec *bv;
    int i;
    bio_for_each_segment(bv, bio, i)
        memset((char *)page_address(bv->bv_page) + bv->bv_offset, 0, bv->bv_len);
    end_bio(bio);
    return 1;
}

/*
 * Holds the test's bio inside the function: busy, it runs on without
 * sleeping until released, as code between loading a hook and counting
 * itself in would; else it sleeps until the gate opens.
 */
static int busy;

static int holding_request(struct request_queue *q, struct bio *bio) {
    if (pass_other(bio))
        return 0;
    __atomic_store_n(&inside, 1, __ATOMIC_SEQ_CST);
    if (busy) {
        while (!__atomic_load_n(&released, __ATOMIC_SEQ_CST))
            barrier();
    } else {
        wait_for_completion(&gate);
    }
    end_bio(bio);
    return 0;
}

static int submitter(void *arg) {
    submit_bio(WRITE, held_bio);
    complete_and_exit(&submitted, 0);
}

static int synchronizer(void *arg) {
    synchronize_sched();
    __atomic_store_n(&synchronize_returned, 1, __ATOMIC_SEQ_CST);
    complete_and_exit(&synchronized, 0);
}

/* Starts a task whose bio is inside the function once this returns. */
static void enter_request_fn(struct kunit *test, struct test_disk *t, int busy_inside,
                             struct page *page, struct bio_result *r) {
    busy = busy_inside;
    inside = released = synchronize_returned = 0;
    held_bio = NULL;
    init_completion(&gate);
    init_completion(&submitted);
    init_completion(&synchronized);
    KUNIT_ASSERT_EQ(test, make_test_disk(t, GP_MAJOR, "gptest", holding_request), 0);
    held_bio = test_bio(t->whole, 8, page, 512, r);
    KUNIT_ASSERT_GT(test, kernel_thread(submitter, NULL, CLONE_KERNEL), 0);
    while (!__atomic_load_n(&inside, __ATOMIC_SEQ_CST))
        msleep(1);
}

static void finish(struct test_disk *t, struct page *page, struct bio_result *r) {
    wait_for_completion(&submitted);
    wait_for_completion(&r->done);
    bio_put(held_bio);
    __free_page(page);
    drop_test_disk(t);
}

static void grace_period_waits_for_a_task_running_in_the_function(struct kunit *test) {
    struct test_disk t;
    struct bio_result r;
    struct page *page = alloc_page(GFP_KERNEL);
    enter_request_fn(test, &t, 1, page, &r);
    KUNIT_ASSERT_GT(test, kernel_thread(synchronizer, NULL, CLONE_KERNEL), 0);
    msleep(50);
    KUNIT_EXPECT_FALSE(test, __atomic_load_n(&synchronize_returned, __ATOMIC_SEQ_CST));
    __atomic_store_n(&released, 1, __ATOMIC_SEQ_CST);
    wait_for_completion(&synchronized);
    KUNIT_EXPECT_TRUE(test, synchronize_returned);
    finish(&t, page, &r);
}

/* A sleep is a context switch: the grace period ends without the task. */
static void a_task_that_sleeps_does_not_hold_the_grace_period(struct kunit *test) {
    struct test_disk t;
    struct bio_result r;
    struct page *page = alloc_page(GFP_KERNEL);
    enter_request_fn(test, &t, 0, page, &r);
    KUNIT_ASSERT_GT(test, kernel_thread(synchronizer, NULL, CLONE_KERNEL), 0);
    wait_for_completion(&synchronized);
    KUNIT_EXPECT_TRUE(test, synchronize_returned);
    /* The bio is still in the function. */
    KUNIT_EXPECT_EQ(test, __atomic_load_n(&r.calls, __ATOMIC_SEQ_CST), 0);
    complete(&gate);
    finish(&t, page, &r);
}

static struct kunit_case grace_period_cases[] = {
    KUNIT_CASE(grace_period_waits_for_a_task_running_in_the_function),
    KUNIT_CASE(a_task_that_sleeps_does_not_hold_the_grace_period),
    {},
};

static struct kunit_suite grace_period_suite = {"grace_period", grace_period_cases};
kunit_test_suite(grace_period_suite);
