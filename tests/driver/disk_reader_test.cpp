/*
 * The disk block reader against the simulated disk: a batch lands in the
 * agent's mapping at its block positions, in bios as large as the queue
 * takes, issued whole before any wait, leaves no read unit behind, skips the
 * blocks the cache holds, and turns a failed block, and only it, into zeros
 * and status 12.
 */
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/machine.h>

#include "backup_session_fixture.h"

#define MARKER 0xa5

struct reader_session {
    int fd;
    Backup *b;
    char *map; /* the agent's view of the transfer buffer */
    BackupVMA *area;
    u32 numBlocks;
    unsigned int blockSize;
};

/* A started backup with its whole transfer buffer mapped and marked; 0, or
 * the step that failed. */
static int open_reader(struct reader_session *s, unsigned int blockSize) {
    s->blockSize = blockSize;
    s->numBlocks = (u32)(FX_PART_SECTORS * 512 / blockSize);
    if (fx_disk_up(blockSize))
        return 1;
    s->fd = fx_open();
    if (s->fd < 0 || fx_start(s->fd, s->numBlocks, 1000))
        return 2;
    s->b = fx_backup(s->fd);
    unsigned long bytes = (unsigned long)s->b->maxVMPages * PAGE_SIZE;
    void *p = sys::mmap(NULL, bytes, PROT_READ, MAP_PRIVATE, s->fd, 0);
    if (p == MAP_FAILED)
        return 3;
    s->map = (char *)p;
    if (!checkVMA(s->b, s->map, &s->area))
        return 4;
    for (int i = 0; i < s->area->vmPages; i++)
        memset(page_address(s->area->mmPages[i]), MARKER, PAGE_SIZE);
    return 0;
}

static void close_reader(struct reader_session *s) {
    sys::munmap(s->map, (unsigned long)s->b->maxVMPages * PAGE_SIZE);
    sys::close(s->fd);
    fx_disk_down();
}

/* The agent's bytes of block position i. */
static const char *position(struct reader_session *s, u32 i) {
    return s->map + (unsigned long)i * s->blockSize;
}

static int untouched(struct reader_session *s, u32 i) {
    const unsigned char *p = (const unsigned char *)position(s, i);
    for (unsigned int k = 0; k < s->blockSize; k++)
        if (p[k] != MARKER)
            return 0;
    return 1;
}

static int all_zero(struct reader_session *s, u32 i) {
    const unsigned char *p = (const unsigned char *)position(s, i);
    for (unsigned int k = 0; k < s->blockSize; k++)
        if (p[k])
            return 0;
    return 1;
}

static int slots_in_use(Backup *b) {
    int used = 0;
    for (int i = 0; i < b->maxVMPages * (int)b->diskInfo.blocksPerPage; i++)
        used += isRequestSubmitted(b, i);
    return used;
}

static void a_batch_lands_at_each_block_position(struct kunit *test) {
    const unsigned int sizes[] = {1024, 2048, 4096};
    for (unsigned int k = 0; k < ARRAY_SIZE(sizes); k++) {
        struct reader_session s;
        KUNIT_ASSERT_EQ(test, open_reader(&s, sizes[k]), 0);
        Backup *b = s.b;
        /* Every block size gives one slot per block of a full mapping. */
        KUNIT_EXPECT_EQ(test, b->maxVMPages * (int)b->diskInfo.blocksPerPage, 256);
        u32 start = s.numBlocks - 256 - 7;
        int allocated = atomic_read(&b->totalAllocBRs), read = atomic_read(&b->totalReadBlocks);
        unsigned long long diskReads = fx_disk_reads();
        /* The disk takes 1024 sectors a bio. */
        const int units = (int)((256 * sizes[k] + 1024 * 512 - 1) / (1024 * 512));

        standin_disk_pause(FX_DISK);
        down(&b->bSem);
        int submitted = readBlocks(b, start, 256, s.area);
        /* The whole batch is at the disk before anything waits for it. */
        int atDisk = standin_disk_wait_queued(FX_DISK, units);
        int inFlight = atomic_read(&b->curAllocBRs);
        int slots = slots_in_use(b);
        standin_disk_resume(FX_DISK);
        int status = waitForSubmitted(b, start, 256, s.area);
        freeSubmitted(b, 256);
        up(&b->bSem);

        KUNIT_EXPECT_EQ(test, submitted, 256);
        KUNIT_EXPECT_EQ(test, atDisk, units);
        KUNIT_EXPECT_EQ(test, inFlight, units);
        KUNIT_EXPECT_EQ(test, slots, 256);
        KUNIT_EXPECT_EQ(test, status, VEL_OK);
        int wrong = 0;
        for (u32 i = 0; i < 256; i++)
            wrong += !fx_matches(position(&s, i), (unsigned long long)(start + i) * s.blockSize,
                                 s.blockSize, 0);
        KUNIT_EXPECT_EQ(test, wrong, 0);
        KUNIT_EXPECT_EQ(test, slots_in_use(b), 0);
        KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocBRs), 0);
        KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocBRs) - allocated, units);
        KUNIT_EXPECT_EQ(test, atomic_read(&b->totalReadBlocks) - read, 256);
        KUNIT_EXPECT_EQ(test, fx_disk_reads() - diskReads, (unsigned long long)units);
        close_reader(&s);
    }
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
/* Index of the first kernel-log line starting with prefix, or -1. */
static long first_line_with(const char *prefix) {
    char line[256];
    for (unsigned long i = 0; i < standin_klog_lines(); i++) {
        standin_klog_line(i, line, sizeof(line));
        if (strncmp(line, prefix, strlen(prefix)) == 0)
            return (long)i;
    }
    return -1;
}
#endif

/* 1024-byte blocks share pages: the failed block's bytes, and only they,
 * are zeroed, though the disk had already moved its first sector. The run's
 * bio fails whole; its blocks are read again one by one to find which. */
static void a_failed_block_reads_as_zeros(struct kunit *test) {
    struct reader_session s;
    KUNIT_ASSERT_EQ(test, open_reader(&s, 1024), 0);
    Backup *b = s.b;
    const u32 start = 100, bad = start + 3;
    u32 loaded[11];
    for (u32 i = 0; i < 11; i++)
        loaded[i] = start + i;
    down_write(&b->writers);
    velSetState(b, VEL_STATE_SNAPSHOT);
    up_write(&b->writers);
    KUNIT_ASSERT_EQ(test, fx_load_block_map(s.fd, s.numBlocks, loaded, 11), 0);
    KUNIT_ASSERT_EQ(test, velGetState(b), VEL_STATE_MAP_LOADED);
    KUNIT_ASSERT_EQ(test, standin_disk_fail_sectors(FX_PART, bad * 2 + 1, 1, STANDIN_FAIL_READ), 0);
    int inUse = atomic_read(&b->curAllocBRs);
    klog_clear();

    down(&b->bSem);
    int submitted = readBlocks(b, start, 10, s.area);
    int status = waitForSubmitted(b, start, 10, s.area);
    freeSubmitted(b, 10);
    up(&b->bSem);

    KUNIT_EXPECT_EQ(test, submitted, 10);
    KUNIT_EXPECT_EQ(test, status, VEL_ERR_READ_FAILED);
    KUNIT_EXPECT_TRUE(test, all_zero(&s, 3));
    for (u32 i = 0; i < 10; i++)
        if (i != 3)
            KUNIT_EXPECT_TRUE(
                test, fx_matches(position(&s, i), (unsigned long long)(start + i) * 1024, 1024, 0));
    KUNIT_EXPECT_TRUE(test, untouched(&s, 10)); /* the rest of the page */
    KUNIT_EXPECT_TRUE(test, untouched(&s, 11));
    /* Read or not, the ten blocks are done with; the next one is not. */
    for (u32 i = 0; i < 10; i++)
        KUNIT_EXPECT_EQ(test, blockInMap(&b->blockMap, start + i), 0);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->blockMap, start + 10), -1);
    char sector[48];
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
    /* The older bio_endio moved bi_sector past the sector that was done. */
    unsigned long long failedAt = FX_PART_START + bad * 2 + 1;
#else
    unsigned long long failedAt = FX_PART_START + bad * 2;
#endif
    snprintf(sector, sizeof(sector), ", major=%d, sector=%llu", FX_MAJOR, failedAt);
    KUNIT_EXPECT_EQ(test, fx_log_level("velBIOEndIO: IO error, bio=", sector), 4);
    char block[48];
    snprintf(block, sizeof(block), ", major=%d, minor=1, block=%u", FX_MAJOR, bad);
    KUNIT_EXPECT_EQ(test, fx_log_level("velBHEndIO: buffer_head I/O error bh=", block), 4);
    KUNIT_EXPECT_EQ(test, klog_count_prefix("velBIOEndIO: IO error"), 2);
    KUNIT_EXPECT_EQ(test, klog_count_prefix("velBHEndIO:"), 2);
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
    /* The older completion learns of the error from the bytes outstanding:
     * the disk moved the block's first sector, so one sector remains. */
    KUNIT_EXPECT_LOG(test, "velBIOEndIO: IO info, size=512");
    KUNIT_EXPECT_LT(test, first_line_with("velBIOEndIO: IO info"),
                    first_line_with("velBIOEndIO: IO error"));
#else
    KUNIT_EXPECT_EQ(test, klog_count_prefix("velBIOEndIO: IO info"), 0);
#endif
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocBRs), inUse);
    KUNIT_EXPECT_EQ(test, slots_in_use(b), 0);
    close_reader(&s);
}

static void blocks_in_the_cache_are_not_read(struct kunit *test) {
    struct reader_session s;
    KUNIT_ASSERT_EQ(test, open_reader(&s, 4096), 0);
    Backup *b = s.b;
    const u32 start = 40;
    const u32 cachedAt[] = {0, 5, 255};
    for (unsigned int i = 0; i < ARRAY_SIZE(cachedAt); i++)
        setBlock(&b->cacheMap, start + cachedAt[i]);
    /* A block has its bit only while its copy is counted in the cache. */
    atomic_add(7, &b->curCBs);
    int read = atomic_read(&b->totalReadBlocks);
    unsigned long long diskReads = fx_disk_reads();

    down(&b->bSem);
    int submitted = readBlocks(b, start, 256, s.area);
    int skipped = 0;
    for (unsigned int i = 0; i < ARRAY_SIZE(cachedAt); i++)
        skipped += !isRequestSubmitted(b, (int)cachedAt[i]);
    int status = waitForSubmitted(b, start, 256, s.area);
    freeSubmitted(b, 256);
    up(&b->bSem);

    KUNIT_EXPECT_EQ(test, submitted, 253);
    KUNIT_EXPECT_EQ(test, skipped, 3);
    KUNIT_EXPECT_EQ(test, status, VEL_OK);
    int wrong = 0;
    for (u32 i = 0; i < 256; i++) {
        if (i == 0 || i == 5 || i == 255)
            wrong += !untouched(&s, i);
        else
            wrong += !fx_matches(position(&s, i), (unsigned long long)(start + i) * 4096, 4096, 0);
    }
    KUNIT_EXPECT_EQ(test, wrong, 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalReadBlocks) - read, 253);
    /* Runs 1-4 and 6-254, the second in two bios of at most 1024 sectors. */
    KUNIT_EXPECT_EQ(test, fx_disk_reads() - diskReads, 3ULL);

    /* A batch held wholly in the cache reads nothing. */
    for (u32 n = 500; n < 504; n++)
        setBlock(&b->cacheMap, n);
    diskReads = fx_disk_reads();
    down(&b->bSem);
    KUNIT_EXPECT_EQ(test, readBlocks(b, 500, 4, s.area), 0);
    KUNIT_EXPECT_EQ(test, slots_in_use(b), 0);
    KUNIT_EXPECT_EQ(test, waitForSubmitted(b, 500, 4, s.area), 0);
    up(&b->bSem);
    KUNIT_EXPECT_EQ(test, fx_disk_reads(), diskReads);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocBRs), 0);
    atomic_sub(7, &b->curCBs);
    close_reader(&s);
}

static struct kunit_case disk_reader_cases[] = {
    KUNIT_CASE(a_batch_lands_at_each_block_position),
    KUNIT_CASE(a_failed_block_reads_as_zeros),
    KUNIT_CASE(blocks_in_the_cache_are_not_read),
    {},
};

static struct kunit_suite disk_reader_suite = {"disk_reader", disk_reader_cases, "velmora"};
kunit_test_suite(disk_reader_suite);
