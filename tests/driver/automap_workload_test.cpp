/*
 * Change tracking under concurrent writers: two partitions of an image with
 * an MBR table written by sfdisk and ext file systems made by mke2fs, each
 * with its automap session and the automap-only hook on their disk's queue.
 * Writers run on both at once; each session must then hold exactly the
 * blocks its own workload logged, for every block size. Reads and read-ahead
 * set nothing; a write with the read-ahead bit set counts.
 */
#include <linux/vmalloc.h>
#include <kunit/test.h>

#include "host_image.h"
#include "tracking_test.h"

#define WL_MAJOR 236
#define WL_DISK STANDIN_MKDEV(WL_MAJOR, 0)
#define WL_PARTS 2
#define WL_WRITERS 4
#define WL_WRITES 150

/* Differences between a session's map and the blocks its workload logged. */
static unsigned long map_differs_from_log(struct kunit *test, BlockMap *bm, int workload) {
    u8 *logged = (u8 *)vmalloc(bm->size);
    memset(logged, 0, bm->size);
    struct standin_write_record rec[64];
    unsigned long long at = 0, n;
    while ((n = standin_workload_log_read(workload, at, rec, ARRAY_SIZE(rec))) > 0) {
        for (unsigned long long i = 0; i < n; i++) {
            if (rec[i].block < bm->size)
                logged[rec[i].block] = 1;
            else
                kunit_fail(test, __FILE__, __LINE__, "block %llu logged beyond the map",
                           rec[i].block);
        }
        at += n;
    }
    unsigned long differences = 0;
    for (u32 b = 0; b < bm->size; b++) {
        int inMap = blockInMap(bm, b) != 0;
        if (inMap != logged[b] && differences++ < 5)
            kunit_fail(test, __FILE__, __LINE__, "block %u: %s", b,
                       inMap ? "in the map, never written" : "written, not in the map");
    }
    vfree(logged);
    return differences;
}

static int start_workload(dev_t dev, unsigned int seed) {
    struct standin_workload_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.dev = dev;
    cfg.writers = WL_WRITERS;
    cfg.nr_blocks = 0; /* from 64 KiB to the end */
    cfg.mode = STANDIN_FS_DIRECT;
    cfg.max_writes = WL_WRITES;
    cfg.seed = seed;
    return standin_workload_start(&cfg);
}

static void track_under_writers(struct kunit *test, struct tracked *t,
                                const struct host_image_part *parts, unsigned int blockSize) {
    for (int i = 0; i < WL_PARTS; i++) {
        DiskInfo *di = &t[i].b->diskInfo;
        KUNIT_EXPECT_EQ(test, di->blockSize, (int)blockSize);
        KUNIT_EXPECT_EQ(test, di->partitionStart, (sector_t)parts[i].start);
        KUNIT_EXPECT_EQ(test, di->partitionLen, (sector_t)parts[i].sectors);
    }
    int workload[WL_PARTS], started = 1;
    for (int i = 0; i < WL_PARTS; i++) {
        workload[i] = start_workload(WL_DISK + 1 + i, blockSize + i);
        started = started && workload[i] >= 0;
    }
    for (int i = 0; i < WL_PARTS; i++) {
        if (workload[i] < 0)
            continue;
        standin_workload_wait(workload[i], (unsigned long long)WL_WRITERS * WL_WRITES);
        KUNIT_EXPECT_EQ(test, standin_workload_stop(workload[i]), 0);
        KUNIT_EXPECT_EQ(test, standin_workload_log_count(workload[i]),
                        (unsigned long long)WL_WRITERS * WL_WRITES);
        if (!started)
            standin_workload_free(workload[i]);
    }
    KUNIT_ASSERT_TRUE(test, started);

    /* Reads and read-ahead of blocks the writers never touch (they start at
     * 64 KiB), of the whole first 64 KiB. */
    for (int i = 0; i < WL_PARTS; i++) {
        KUNIT_EXPECT_EQ(test, bio_sync(WL_DISK + 1 + i, READ, 0, 65536, 0), 1);
        KUNIT_EXPECT_EQ(test, bio_sync(WL_DISK + 1 + i, READA, 0, 65536, 0), 1);
    }
    for (int i = 0; i < WL_PARTS; i++) {
        KUNIT_EXPECT_EQ(test, map_differs_from_log(test, &t[i].ams->map, workload[i]), 0ul);
        KUNIT_EXPECT_EQ(test, atomic_read(&t[i].ams->users), 1);
        KUNIT_EXPECT_EQ(test, velGetState(t[i].ams), VEL_AMS_IN_SYNC);
        standin_workload_free(workload[i]);
    }
    KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&queueListUsers), 1);

    /* A write that also carries the read-ahead bit is a write. */
    KUNIT_EXPECT_EQ(test, bio_sync(WL_DISK + 1, WRITE | READA, 0, blockSize, 0), 1);
    KUNIT_EXPECT_EQ(test, blockInMap(&t[0].ams->map, 0), -1);
}

static void tracking_with_block_size(struct kunit *test, unsigned int blockSize) {
    struct host_image_part parts[WL_PARTS] = {{10, "ext4", blockSize, 0, 0},
                                              {10, "ext2", blockSize, 0, 0}};
    char path[512];
    KUNIT_ASSERT_EQ(test, host_image_create(path, sizeof(path), 24, parts, WL_PARTS), 0);
    struct tracked t[WL_PARTS];
    memset(t, 0, sizeof(t));
    int ready = standin_imagedisk_create("wl", path, WL_MAJOR, 0, 16) == 0;
    for (int i = 0; ready && i < WL_PARTS; i++)
        ready = standin_mount(WL_DISK + 1 + i, NULL, 0) == 0 &&
                track_device(&t[i], WL_DISK + 1 + i, 0, velAMRF) == 0;
    KUNIT_EXPECT_TRUE(test, ready);
    if (ready)
        track_under_writers(test, t, parts, blockSize);
    for (int i = 0; i < WL_PARTS; i++)
        untrack_device(&t[i]);
    test_disk_remove(WL_MAJOR, 0, WL_PARTS);
    host_image_remove(path);
}

static void writers_on_1024_byte_blocks(struct kunit *test) {
    tracking_with_block_size(test, 1024);
}

static void writers_on_2048_byte_blocks(struct kunit *test) {
    tracking_with_block_size(test, 2048);
}

static void writers_on_4096_byte_blocks(struct kunit *test) {
    tracking_with_block_size(test, 4096);
}

static struct kunit_case workload_cases[] = {
    KUNIT_CASE(writers_on_1024_byte_blocks),
    KUNIT_CASE(writers_on_2048_byte_blocks),
    KUNIT_CASE(writers_on_4096_byte_blocks),
    {},
};

static struct kunit_suite workload_suite = {"automap_workload", workload_cases, "velmora"};
kunit_test_suite(workload_suite);
