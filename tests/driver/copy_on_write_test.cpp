/*
 * Copy-on-write through the hook and kbackupd: which bios are held, the old
 * contents saved before the new ones reach the disk, settled blocks passing
 * straight through, and the failures of the queue and of the copy. The
 * orderings are made on purpose: the disk is paused while kbackupd reads an
 * old block, so what the hook queues meanwhile stays queued.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/fault.h>

#include "backup_session_fixture.h"

#define BS 4096

static void a_write_waits_for_the_copy_of_its_block(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    Backup *b = s.b;
    int pages = atomic_read(&b->curAllocPages);
    unsigned long long reads = fx_disk_reads();

    standin_disk_pause(FX_DISK);
    struct fx_bio w;
    fx_submit(&w, WRITE, s.part, 5, 1, BS, 1);
    /* Only the read of the old contents reaches the disk. */
    KUNIT_EXPECT_EQ(test, standin_disk_wait_queued(FX_DISK, 1), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&w.calls), 0);
    KUNIT_EXPECT_FALSE(test, fx_settled(b, 5));
    standin_disk_resume(FX_DISK);
    fx_wait(&w);
    flushWorkQueue(b);

    KUNIT_EXPECT_TRUE(test, w.uptodate);
    /* The disk serves in arrival order: old contents in the cache mean the
     * read went before the write. */
    KUNIT_EXPECT_TRUE(test, fx_cache_holds(b, 5, 0));
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(5, 1, BS, 1));
    KUNIT_EXPECT_TRUE(test, fx_settled(b, 5));
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 0);
    KUNIT_EXPECT_EQ(test, fx_disk_reads() - reads, 1ULL);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocCPs), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocBRs), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocBRs), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), pages);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages) - atomic_read(&b->curAllocPages), 1);
    fx_put(&w);

    /* Settled: the next write passes the held one on its way to the disk. */
    struct fx_bio held, again;
    fx_hold_cache_thread(&held, s.part, 50, BS, 3);
    fx_submit(&again, WRITE, s.part, 5, 1, BS, 2);
    int queued = atomic_read(&b->mrInQueue);
    KUNIT_EXPECT_EQ(test, queued, 1);
    if (queued == 1) /* else it would never reach the paused disk */
        KUNIT_EXPECT_EQ(test, standin_disk_wait_queued(FX_DISK, 2), 2);
    standin_disk_resume(FX_DISK);
    fx_wait(&again);
    fx_wait(&held);
    flushWorkQueue(b);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(5, 1, BS, 2));
    KUNIT_EXPECT_TRUE(test, fx_cache_holds(b, 5, 0));
    KUNIT_EXPECT_TRUE(test, fx_cache_holds(b, 50, 0));
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(50, 1, BS, 3));
    KUNIT_EXPECT_EQ(test, fx_cache_entries(b), 2);
    KUNIT_EXPECT_LT(test, again.seq, held.seq);
    fx_put(&held);
    fx_put(&again);

    /* The release counts what the copies took, and that all of it is back. */
    klog_clear();
    fx_session_close(&s);
    const char *const counted[] = {
        "printStats: total pages allocated: 3",
        "printStats: current pages allocated: 0",
        "printStats: total Block Requests allocated: 2",
        "printStats: current Block Requests allocated: 0",
        "printStats: total cached blocks: 2",
        "printStats: current cached blocks: 0",
        "printStats: peak cached blocks: 2",
        "printStats: total block cache data structures: 2",
        "printStats: current block cache data structures: 0",
        "printStats: state: 7",
    };
    for (unsigned int i = 0; i < ARRAY_SIZE(counted); i++)
        KUNIT_EXPECT_LOG(test, counted[i]);
}

/* Whatever its read-ahead bit, a bio that writes is a write. */
static void a_write_marked_read_ahead_is_copied(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    struct fx_bio w;
    fx_submit(&w, WRITE | READA, s.part, 60, 1, BS, 1);
    fx_wait(&w);
    flushWorkQueue(s.b);
    KUNIT_EXPECT_TRUE(test, w.uptodate);
    KUNIT_EXPECT_TRUE(test, fx_cache_holds(s.b, 60, 0));
    KUNIT_EXPECT_TRUE(test, fx_settled(s.b, 60));
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(60, 1, BS, 1));
    fx_put(&w);
    fx_session_close(&s);
}

static void reads_wait_for_copies_read_ahead_only_for_order(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    Backup *b = s.b;
    struct fx_bio held, read, ahead, behind;
    fx_hold_cache_thread(&held, s.part, 50, BS, 1);
    fx_submit(&read, READ, s.part, 7, 1, BS, 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 2);
    fx_submit(&ahead, READA, s.part, 8, 1, BS, 0);
    int queued = atomic_read(&b->mrInQueue);
    KUNIT_EXPECT_EQ(test, queued, 2);
    if (queued == 2)
        KUNIT_EXPECT_EQ(test, standin_disk_wait_queued(FX_DISK, 2), 2);
    /* A read-ahead of the held write's block keeps its place behind it. */
    fx_submit(&behind, READA, s.part, 50, 1, BS, 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 3);
    standin_disk_resume(FX_DISK);
    fx_wait(&held);
    fx_wait(&read);
    fx_wait(&ahead);
    fx_wait(&behind);
    flushWorkQueue(b);

    KUNIT_EXPECT_TRUE(test, fx_read_holds(&read, 0));
    KUNIT_EXPECT_TRUE(test, fx_read_holds(&ahead, 0));
    KUNIT_EXPECT_TRUE(test, fx_read_holds(&behind, 1));
    KUNIT_EXPECT_LT(test, ahead.seq, held.seq);
    KUNIT_EXPECT_LT(test, held.seq, read.seq);
    KUNIT_EXPECT_LT(test, read.seq, behind.seq);
    /* Reads neither copy nor settle. */
    KUNIT_EXPECT_EQ(test, fx_cache_entries(b), 1);
    KUNIT_EXPECT_FALSE(test, fx_settled(b, 7));
    KUNIT_EXPECT_FALSE(test, fx_settled(b, 8));
    fx_put(&held);
    fx_put(&read);
    fx_put(&ahead);
    fx_put(&behind);
    fx_session_close(&s);
}

static void a_write_over_settled_blocks_copies_the_others(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    Backup *b = s.b;
    setBlock(&b->cacheMap, 10);
    setBlock(&b->cacheMap, 11);
    setBlock(&b->cacheMap, 13);
    unsigned long long reads = fx_disk_reads();
    struct fx_bio w;
    fx_submit(&w, WRITE, s.part, 10, 4, BS, 1);
    fx_wait(&w);
    flushWorkQueue(b);
    KUNIT_EXPECT_TRUE(test, w.uptodate);
    KUNIT_EXPECT_EQ(test, fx_disk_reads() - reads, 1ULL);
    KUNIT_EXPECT_EQ(test, fx_cache_entries(b), 1);
    KUNIT_EXPECT_TRUE(test, fx_cache_holds(b, 12, 0));
    for (u32 n = 10; n <= 13; n++)
        KUNIT_EXPECT_TRUE(test, fx_settled(b, n));
    KUNIT_EXPECT_FALSE(test, fx_settled(b, 14));
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(10, 4, BS, 1));
    fx_put(&w);
    fx_session_close(&s);
}

static void two_writes_to_a_block_replay_in_order_and_copy_once(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    Backup *b = s.b;
    unsigned long long reads = fx_disk_reads();
    struct fx_bio held, first, second;
    fx_hold_cache_thread(&held, s.part, 50, BS, 1);
    fx_submit(&first, WRITE, s.part, 20, 1, BS, 2);
    fx_submit(&second, WRITE, s.part, 20, 1, BS, 3);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 3);
    standin_disk_resume(FX_DISK);
    fx_wait(&held);
    fx_wait(&first);
    fx_wait(&second);
    flushWorkQueue(b);
    KUNIT_EXPECT_LT(test, first.seq, second.seq);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(20, 1, BS, 3));
    KUNIT_EXPECT_TRUE(test, fx_cache_holds(b, 20, 0));
    KUNIT_EXPECT_EQ(test, fx_cache_entries(b), 2);
    KUNIT_EXPECT_EQ(test, fx_disk_reads() - reads, 2ULL);
    fx_put(&held);
    fx_put(&first);
    fx_put(&second);
    fx_session_close(&s);
}

/* The hook's only allocation is the deferred request. */
static const struct standin_fault_rule no_request = {FAULT_KMALLOC, GFP_NOIO, NULL, 1, 0, 1};

static void a_request_that_cannot_be_held_goes_on_uncopied(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    Backup *b = s.b;
    struct fx_bio w, next;
    int id = standin_fault_add(&no_request);
    fx_submit(&w, WRITE, s.part, 30, 1, BS, 1);
    fx_wait(&w);
    unsigned long hits = standin_fault_hits(id);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, hits, 1UL);
    KUNIT_EXPECT_TRUE(test, w.uptodate);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_REQUEST_LOST);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(30, 1, BS, 1));
    KUNIT_EXPECT_EQ(test, fx_cache_entries(b), 0);
    KUNIT_EXPECT_FALSE(test, fx_settled(b, 30));
    /* The queue keeps only the automap hook; nothing more is copied. */
    KUNIT_EXPECT_EQ(test, fx_queue(b)->make_request_fn, &velAMRF);
    fx_submit(&next, WRITE, s.part, 31, 1, BS, 1);
    fx_wait(&next);
    flushWorkQueue(b);
    KUNIT_EXPECT_EQ(test, fx_cache_entries(b), 0);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(31, 1, BS, 1));
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocCPs), 0);
    fx_put(&w);
    fx_put(&next);
    fx_session_close(&s);
}

/* A bio that must follow a held one is held whatever it takes: its request
 * is allocated again until it can be queued. */
static void a_following_request_is_never_given_up(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    Backup *b = s.b;
    struct fx_bio held, later;
    fx_hold_cache_thread(&held, s.part, 50, BS, 1);
    int id = standin_fault_add(&no_request);
    fx_submit(&later, WRITE, s.part, 50, 1, BS, 2);
    unsigned long hits = standin_fault_hits(id);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, hits, 1UL);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 2);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_SNAPSHOT);
    standin_disk_resume(FX_DISK);
    fx_wait(&held);
    fx_wait(&later);
    flushWorkQueue(b);
    KUNIT_EXPECT_LT(test, held.seq, later.seq);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(50, 1, BS, 2));
    KUNIT_EXPECT_TRUE(test, fx_cache_holds(b, 50, 0));
    fx_put(&held);
    fx_put(&later);
    fx_session_close(&s);
}

static void a_failed_copy_still_writes(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    Backup *b = s.b;
    int pages = atomic_read(&b->curAllocPages);
    KUNIT_ASSERT_EQ(test, standin_disk_fail_sectors(FX_PART, 40 * 8, 8, STANDIN_FAIL_READ), 0);
    klog_clear();
    struct fx_bio w;
    fx_submit(&w, WRITE, s.part, 40, 1, BS, 1);
    fx_wait(&w);
    flushWorkQueue(b);
    KUNIT_EXPECT_TRUE(test, w.uptodate);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_READ_ERROR);
    KUNIT_EXPECT_EQ(
        test, fx_log_level("cacheBlock: Block read error blockNum=40 MAJOR=241 MINOR=1", ""), 3);
    KUNIT_EXPECT_EQ(test, klog_count_prefix("velBIOEndIO: IO error"), 1);
    KUNIT_EXPECT_EQ(test, klog_count_prefix("velBHEndIO: buffer_head I/O error"), 1);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(40, 1, BS, 1));
    KUNIT_EXPECT_EQ(test, fx_cache_entries(b), 0);
    /* Settled all the same: no copy is tried again. */
    KUNIT_EXPECT_TRUE(test, fx_settled(b, 40));
    KUNIT_EXPECT_EQ(test, fx_queue(b)->make_request_fn, &velAMRF);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocBRs), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), pages);
    fx_put(&w);
    fx_session_close(&s);
}

struct block_reader {
    int fd;
    u32 block;
    char *area;
    int result;
    struct completion done;
};

static int read_block(void *arg) {
    struct block_reader *r = (struct block_reader *)arg;
    ReadBlocks rec = {r->block, 1, r->area};
    r->result = sys::ioctl(r->fd, VEL_READ_BLOCKS, &rec);
    complete(&r->done);
    return 0;
}

/*
 * The read command's disk read of block 50 is held at the disk while a
 * writer overwrites the block and the copy of its old contents finds the
 * cache full: the backup fails, the write lands, and the held read then
 * brings the new data. The command must not report it as the image.
 */
static void a_read_overtaken_after_the_backup_failed_fails(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 0, VEL_STATE_SNAPSHOT), 0);
    struct block_reader r;
    r.fd = s.fd;
    r.block = 50;
    r.result = -1;
    init_completion(&r.done);
    r.area = (char *)sys::mmap(NULL, PAGE_SIZE, PROT_READ, MAP_PRIVATE, s.fd, 0);
    KUNIT_ASSERT_TRUE(test, r.area != MAP_FAILED);
    KUNIT_ASSERT_EQ(test, standin_disk_hold(FX_PART, 50 * 8, 8, STANDIN_FAIL_READ, 1), 0);
    KUNIT_ASSERT_GT(test, kernel_thread(read_block, &r, CLONE_KERNEL), 0);
    KUNIT_ASSERT_EQ(test, standin_disk_wait_held(FX_PART, 1), 1);

    struct fx_bio w;
    fx_submit(&w, WRITE, s.part, 50, 1, BS, 1);
    fx_wait(&w);
    KUNIT_EXPECT_EQ(test, velGetState(s.b), VEL_STATE_CACHE_FULL);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(50, 1, BS, 1));
    klog_clear();
    standin_disk_release_held(FX_PART);
    wait_for_completion(&r.done);
    KUNIT_EXPECT_EQ(test, r.result, VEL_ERR_INVALID);
    KUNIT_EXPECT_EQ(test, klog_level("ioctlReadBlocks: state (10) not valid"), 3);
    KUNIT_EXPECT_EQ(test, sys::munmap(r.area, PAGE_SIZE), 0);
    fx_put(&w);
    fx_session_close(&s);
}

static struct kunit_case copy_on_write_cases[] = {
    KUNIT_CASE(a_write_waits_for_the_copy_of_its_block),
    KUNIT_CASE(reads_wait_for_copies_read_ahead_only_for_order),
    KUNIT_CASE(a_write_marked_read_ahead_is_copied),
    KUNIT_CASE(a_write_over_settled_blocks_copies_the_others),
    KUNIT_CASE(two_writes_to_a_block_replay_in_order_and_copy_once),
    KUNIT_CASE(a_request_that_cannot_be_held_goes_on_uncopied),
    KUNIT_CASE(a_following_request_is_never_given_up),
    KUNIT_CASE(a_failed_copy_still_writes),
    KUNIT_CASE(a_read_overtaken_after_the_backup_failed_fails),
    {},
};

static struct kunit_suite copy_on_write_suite = {"copy_on_write", copy_on_write_cases, "velmora"};
kunit_test_suite(copy_on_write_suite);
