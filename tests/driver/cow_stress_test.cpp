/*
 * Writers against a backup in copy-on-write: direct writers and a buffered
 * writer whose write-back sends batches of bios, all through the hook while
 * the cache fills, and a block map of every block loaded half-way (state 4
 * to 6 under writes). At the end the cache holds, for every block written,
 * the contents it had at the snapshot and nothing else; the disk holds each
 * block's last write; every bio completed once.
 */
#include <linux/kernel.h>
#include <linux/vmalloc.h>
#include <linux/string.h>
#include <kunit/test.h>

#include "backup_session_fixture.h"

#define BS 1024
#define LOG_BATCH 256

struct written {
    unsigned long long *lastGen; /* per block; 0: never written */
    int distinct;
};

static int read_log(int id, struct written *w, u32 numBlocks) {
    struct standin_write_record *recs =
        (struct standin_write_record *)vmalloc(LOG_BATCH * sizeof(*recs));
    unsigned long long count = standin_workload_log_count(id), first = 0;
    int bad = 0;
    while (first < count) {
        unsigned long long n = standin_workload_log_read(id, first, recs, LOG_BATCH);
        for (unsigned long long i = 0; i < n; i++) {
            if (recs[i].block >= numBlocks) {
                bad++;
                continue;
            }
            if (!w->lastGen[recs[i].block])
                w->distinct++;
            /* One writer per block, so its log order is the block's order. */
            w->lastGen[recs[i].block] = recs[i].generation;
        }
        first += n;
    }
    vfree(recs);
    return bad;
}

/* Whether every sector of the block carries the stamp of that write. */
static int disk_has_write(u32 block, unsigned long long generation) {
    char buf[BS];
    if (standin_dev_read_raw(FX_PART, (unsigned long long)block * BS, buf, BS))
        return 0;
    for (int s = 0; s < BS / 512; s++) {
        struct standin_stamp st;
        if (standin_stamp_parse(buf + s * 512, &st) != 1 || st.generation != generation ||
            st.sector != (unsigned long long)block * (BS / 512) + s)
            return 0;
    }
    return 1;
}

static int start_writers(unsigned long long first, unsigned long long blocks, int writers, int mode,
                         unsigned long long writes, unsigned int seed) {
    struct standin_workload_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.dev = FX_PART;
    cfg.writers = writers;
    cfg.first_block = first;
    cfg.nr_blocks = blocks;
    cfg.mode = mode;
    cfg.sync_every = mode == STANDIN_FS_BUFFERED ? 16 : 0;
    cfg.max_writes = writes;
    cfg.seed = seed;
    return standin_workload_start(&cfg);
}

static void writers_while_the_cache_fills(struct kunit *test) {
    struct standin_bio_counters before, after;
    standin_get_bio_counters(&before);
    KUNIT_ASSERT_EQ(test, fx_disk_up(BS), 0);
    u32 numBlocks = (u32)(FX_PART_SECTORS * 512 / BS);
    int fd = fx_open();
    KUNIT_ASSERT_EQ(test, fx_start(fd, numBlocks, numBlocks), 0);
    Backup *b = fx_backup(fd);
    AMSessionKey key;
    memset(&key, 0, sizeof(key));
    SnapShot snap = {&key, sizeof(key), 0};
    KUNIT_ASSERT_EQ(test, sys::ioctl(fd, VEL_SNAPSHOT, &snap), VEL_OK);
    KUNIT_ASSERT_EQ(test, velGetState(b), VEL_STATE_SNAPSHOT);

    int direct = start_writers(64, 1536, 6, STANDIN_FS_DIRECT, 120, 11);
    int buffered = start_writers(2048, 512, 2, STANDIN_FS_BUFFERED, 200, 12);
    KUNIT_ASSERT_GE(test, direct, 0);
    KUNIT_ASSERT_GE(test, buffered, 0);
    standin_workload_wait(direct, 300);
    KUNIT_EXPECT_EQ(test, fx_load_block_map(fd, numBlocks, NULL, 0), 0);
    standin_workload_wait(direct, ~0ULL);
    standin_workload_wait(buffered, ~0ULL);
    KUNIT_EXPECT_EQ(test, standin_workload_stop(direct), 0L);
    KUNIT_EXPECT_EQ(test, standin_workload_stop(buffered), 0L);
    KUNIT_EXPECT_EQ(test, standin_fs_sync(FX_PART), 0);
    flushWorkQueue(b);

    struct written w;
    w.lastGen = (unsigned long long *)vmalloc(numBlocks * sizeof(*w.lastGen));
    memset(w.lastGen, 0, numBlocks * sizeof(*w.lastGen));
    w.distinct = 0;
    KUNIT_EXPECT_EQ(test, read_log(direct, &w, numBlocks), 0);
    KUNIT_EXPECT_EQ(test, read_log(buffered, &w, numBlocks), 0);
    standin_workload_free(direct);
    standin_workload_free(buffered);
    KUNIT_EXPECT_GT(test, w.distinct, 500);

    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_MAP_LOADED);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 0);
    KUNIT_EXPECT_EQ(test, fx_cache_entries(b), w.distinct);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocCPs), w.distinct);
    int wrongCopy = 0, wrongDisk = 0, unsettled = 0;
    for (u32 n = 0; n < numBlocks; n++) {
        if (!w.lastGen[n])
            continue;
        wrongCopy += !fx_cache_holds(b, n, 0);
        wrongDisk += !disk_has_write(n, w.lastGen[n]);
        unsettled += !fx_settled(b, n);
    }
    KUNIT_EXPECT_EQ(test, wrongCopy, 0);
    KUNIT_EXPECT_EQ(test, wrongDisk, 0);
    KUNIT_EXPECT_EQ(test, unsettled, 0);
    vfree(w.lastGen);

    sys::close(fd);
    /* The automap hook stays after the backup; shutting tracking down gives
     * the queue its own function back before the disk goes. */
    int other = fx_open();
    unsigned int none = 0;
    KUNIT_EXPECT_EQ(test, sys::ioctl(other, VEL_SHUTDOWN, &none), VEL_OK);
    sys::close(other);
    fx_disk_down();
    standin_get_bio_counters(&after);
    KUNIT_EXPECT_EQ(test, after.submitted - before.submitted, after.completed - before.completed);
    KUNIT_EXPECT_EQ(test, after.allocated - before.allocated, after.freed - before.freed);
    KUNIT_EXPECT_EQ(test, after.failed, before.failed);
}

static struct kunit_case cow_stress_cases[] = {
    KUNIT_CASE(writers_while_the_cache_fills),
    {},
};

static struct kunit_suite cow_stress_suite = {"cow_stress", cow_stress_cases, "velmora"};
kunit_test_suite(cow_stress_suite);
