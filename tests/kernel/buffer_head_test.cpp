/*
 * Buffer heads: the lock bit excludes across threads, waiters wake when the
 * I/O's completion unlocks the buffer in interrupt context, and the read unit
 * a driver builds (a locked buffer head carried by a one-segment bio) works
 * end to end, including waiting on a buffer whose last reference is gone.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <linux/sched.h>
#include <linux/hardirq.h>
#include <linux/completion.h>
#include <linux/string.h>
#include <linux/mm.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/disk.h>

#define BH_MAJOR 243
#define BH_DEV STANDIN_MKDEV(BH_MAJOR, 0)
#define ROUNDS 2000

static struct buffer_head *shared_bh;
static int inside, overlaps, entries;
static struct completion contender_done;

static void locked_section(void) {
    lock_buffer(shared_bh);
    if (__atomic_exchange_n(&inside, 1, __ATOMIC_SEQ_CST))
        __atomic_add_fetch(&overlaps, 1, __ATOMIC_SEQ_CST);
    entries++;
    if ((entries & 63) == 0)
        yield();
    __atomic_store_n(&inside, 0, __ATOMIC_SEQ_CST);
    unlock_buffer(shared_bh);
}

static int contender(void *arg) {
    for (int i = 0; i < ROUNDS; i++)
        locked_section();
    complete_and_exit(&contender_done, 0);
}

static void lock_excludes_across_threads(struct kunit *test) {
    shared_bh = alloc_buffer_head(GFP_KERNEL);
    KUNIT_ASSERT_NOT_NULL(test, shared_bh);
    inside = overlaps = entries = 0;
    init_completion(&contender_done);
    KUNIT_ASSERT_GT(test, kernel_thread(contender, NULL, CLONE_KERNEL), 0);
    for (int i = 0; i < ROUNDS; i++)
        locked_section();
    wait_for_completion(&contender_done);
    KUNIT_EXPECT_EQ(test, overlaps, 0);
    KUNIT_EXPECT_EQ(test, entries, 2 * ROUNDS);
    KUNIT_EXPECT_FALSE(test, buffer_locked(shared_bh));
    free_buffer_head(shared_bh);
}

/* The read unit: the bio's completion ends the buffer head, which unlocks. */
static struct completion waiter_started, waiter_done;
static int unlocked_in_irq, waiter_saw_locked;

static void bh_end_io(struct buffer_head *bh, int uptodate) {
    if (uptodate)
        set_buffer_uptodate(bh);
    unlocked_in_irq = in_interrupt();
    unlock_buffer(bh);
    put_bh(bh);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static void read_unit_end_io(struct bio *bio, int error) {
#else
static int read_unit_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    if (bio->bi_size && !error)
        return 1;
#endif
    struct buffer_head *bh = (struct buffer_head *)bio->bi_private;
    bh->b_end_io(bh, bio_flagged(bio, BIO_UPTODATE) != 0);
    bio_put(bio);
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
    return 0;
#endif
}

static int waiter(void *arg) {
    complete(&waiter_started);
    wait_on_buffer(shared_bh);
    waiter_saw_locked = buffer_locked(shared_bh);
    complete_and_exit(&waiter_done, 0);
}

static void read_unit_wakes_its_waiters(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, standin_ramdisk_create("bhtest", BH_MAJOR, 0, 1, 64), 0);
    struct block_device *bdev = bdget(BH_DEV);
    char pattern[1024];
    for (unsigned i = 0; i < sizeof(pattern); i++)
        pattern[i] = (char)(i * 13);
    KUNIT_ASSERT_EQ(test, standin_dev_write_raw(BH_DEV, 3 * 1024, pattern, sizeof(pattern)), 0);

    struct page *page = alloc_page(GFP_KERNEL);
    struct buffer_head *bh = alloc_buffer_head(GFP_NOIO);
    struct bio *bio = bio_alloc(GFP_NOIO, 1);
    KUNIT_ASSERT_NOT_NULL(test, bh);
    KUNIT_ASSERT_NOT_NULL(test, bio);
    bh->b_bdev = bdev;
    bh->b_blocknr = 3;
    set_bh_page(bh, page, 2048);
    bh->b_size = 1024;
    bh->b_end_io = bh_end_io;
    bh->b_state = (1UL << BH_Lock) | (1UL << BH_Req) | (1UL << BH_Mapped);
    get_bh(bh);
    bio->bi_bdev = bdev;
    bio->bi_sector = 3 * 2;
    bio->bi_io_vec[0].bv_page = page;
    bio->bi_io_vec[0].bv_len = 1024;
    bio->bi_io_vec[0].bv_offset = 2048;
    bio->bi_vcnt = 1;
    bio->bi_size = 1024;
    bio->bi_private = bh;
    bio->bi_end_io = read_unit_end_io;
    bio_get(bio);

    shared_bh = bh;
    init_completion(&waiter_started);
    init_completion(&waiter_done);
    standin_disk_pause(BH_DEV);
    KUNIT_ASSERT_GT(test, kernel_thread(waiter, NULL, CLONE_KERNEL), 0);
    wait_for_completion(&waiter_started);
    submit_bio(READ, bio);
    standin_disk_wait_queued(BH_DEV, 1);
    KUNIT_EXPECT_TRUE(test, buffer_locked(bh));
    standin_disk_resume(BH_DEV);
    wait_for_completion(&waiter_done);
    KUNIT_EXPECT_FALSE(test, waiter_saw_locked);
    KUNIT_EXPECT_TRUE(test, unlocked_in_irq);
    KUNIT_EXPECT_TRUE(test, buffer_uptodate(bh));
    KUNIT_EXPECT_EQ(test, memcmp(bh->b_data, pattern, sizeof(pattern)), 0);
    /* Its reference dropped by the completion, the buffer is waited on at once. */
    KUNIT_EXPECT_EQ(test, atomic_read(&bh->b_count), 0);
    wait_on_buffer(bh);
    bio_put(bio);
    free_buffer_head(bh);
    __free_page(page);
    bdput(bdev);
    KUNIT_EXPECT_EQ(test, standin_disk_remove(BH_DEV), 0);
}

static void unlocking_an_unlocked_buffer_is_a_bug(struct kunit *test) {
    struct buffer_head *bh = alloc_buffer_head(GFP_KERNEL);
    unlock_buffer(bh);
}

static void freeing_a_locked_buffer_is_a_bug(struct kunit *test) {
    struct buffer_head *bh = alloc_buffer_head(GFP_KERNEL);
    lock_buffer(bh);
    free_buffer_head(bh);
}

static struct kunit_case buffer_head_cases[] = {
    KUNIT_CASE(lock_excludes_across_threads),
    KUNIT_CASE(read_unit_wakes_its_waiters),
    KUNIT_CASE_BUG(unlocking_an_unlocked_buffer_is_a_bug, "which is not locked"),
    KUNIT_CASE_BUG(freeing_a_locked_buffer_is_a_bug, "while it is locked"),
    {},
};

static struct kunit_suite buffer_head_suite = {"buffer_head", buffer_head_cases};
kunit_test_suite(buffer_head_suite);
