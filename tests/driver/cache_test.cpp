/*
 * The copy-on-write block cache: the limit on saved blocks, the bucket lists,
 * reads that keep or consume a copy, cleaning against a loaded block map, the
 * close (also of a half-built session and of a busy bucket) and every
 * allocation failing in turn. The module's unload after each case checks that
 * nothing was left behind.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/fault.h>
#include <standin/machine.h>

#include "driver_test.h"

#define BLOCK_SIZE 1024
#define NUM_BLOCKS 20000

/* The two session caches, made the way the backup start makes them. */
static int create_entry_caches(Backup *b) {
    unsigned int major = MAJOR(b->diskInfo.kdev), minor = MINOR(b->diskInfo.kdev);
    snprintf(b->cpCacheName, sizeof(b->cpCacheName), "velCP%02x%02x", major, minor);
    b->cpCache =
        createSlabCache(b->cpCacheName, sizeof(CachePage) + 4 * (b->diskInfo.blocksPerPage - 1));
    snprintf(b->dataCacheName, sizeof(b->dataCacheName), "velDC%02x%02x", major, minor);
    b->dataCache = createSlabCache(b->dataCacheName, b->diskInfo.blockSize);
    return b->cpCache && b->dataCache ? 0 : 1;
}

/* A record of a started backup, as far as the cache is concerned, in state 4. */
static int open_session(struct test_file *tf, u32 maxCacheBlocks) {
    if (test_open(tf))
        return 1;
    Backup *b = test_backup(tf);
    b->diskInfo.kdev = MKDEV(8, 1);
    b->diskInfo.blockSize = BLOCK_SIZE;
    b->diskInfo.blocksPerPage = 4096 / BLOCK_SIZE;
    b->diskInfo.numBlocks = NUM_BLOCKS;
    b->maxCacheBlocks = maxCacheBlocks;
    velSetState(b, VEL_STATE_STARTING);
    if (newBlockTable(b) || create_entry_caches(b) || newCacheMap(b))
        return 1;
    velSetState(b, VEL_STATE_SNAPSHOT);
    return 0;
}

static void load_block_map(Backup *b, const u32 *blocks, unsigned int n) {
    int pages;
    newBlockMap(&b->blockMap, NUM_BLOCKS, NULL, 1, &pages);
    for (unsigned int i = 0; i < n; i++)
        setBlock(&b->blockMap, blocks[i]);
}

static void close_session(struct test_file *tf) {
    Backup *b = test_backup(tf);
    closeCache(b);
    closeCacheMap(b);
    if (b->blockMap.map) {
        int freed;
        closeBlockMap(&b->blockMap, &freed);
    }
    closeBlockTable(b);
    velSetState(b, VEL_STATE_IDLE);
    test_release(tf);
}

/* Saves a block whose contents are its number repeated. */
static int save(Backup *b, u32 blockNum) {
    u32 data[BLOCK_SIZE / 4];
    for (unsigned int i = 0; i < ARRAY_SIZE(data); i++)
        data[i] = blockNum;
    return saveBlock(b, (const char *)data, blockNum);
}

static HashTable *bucket(Backup *b, u32 blockNum) {
    return b->blockTable[blockNum % 4096];
}

/* A bucket's list, head first, as "n n n". */
static const char *list_of(Backup *b, u32 bucketNum) {
    static char buf[128];
    int len = 0;
    buf[0] = 0;
    for (CachePage *cp = b->blockTable[bucketNum]->busy; cp && len < 100; cp = cp->next)
        len += snprintf(buf + len, sizeof(buf) - len, len ? " %u" : "%u", cp->blockNum);
    return buf;
}

static void table_and_map_build_and_close(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    Backup *b = test_backup(&tf);
    b->diskInfo.kdev = MKDEV(8, 0x21);
    b->diskInfo.numBlocks = 40000;
    KUNIT_ASSERT_EQ(test, newBlockTable(b), 0);
    KUNIT_EXPECT_STREQ(test, b->htCacheName, "velHT0821");
    KUNIT_EXPECT_STREQ(test, kmem_cache_name(b->htCache), "velHT0821");
    int usable = 0;
    for (int i = 0; i < 4096; i++) {
        HashTable *ht = b->blockTable[i];
        if (ht && !ht->busy && down_trylock(&ht->sem) == 0) {
            usable++;
            up(&ht->sem);
        }
    }
    KUNIT_EXPECT_EQ(test, usable, 4096);
    /* 40000 bits need two bitmap pages, counted as the session's. */
    KUNIT_ASSERT_EQ(test, newCacheMap(b), 0);
    KUNIT_EXPECT_EQ(test, b->cacheMap.size, 40000u);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 39999), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages), 2);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 2);
    closeCacheMap(b);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages), 2);
    closeBlockTable(b);
    KUNIT_EXPECT_NULL(test, b->blockTable);
    KUNIT_EXPECT_NULL(test, b->htCache);
    test_release(&tf);
}

static void cache_limit_counts_held_entries(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, open_session(&tf, 0), 0);
    Backup *b = test_backup(&tf);
    klog_clear();
    KUNIT_EXPECT_EQ(test, doWeCacheBlock(b, 3), 1);
    KUNIT_EXPECT_EQ(test, save(b, 3), 1);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_CACHE_FULL);
    KUNIT_EXPECT_EQ(test,
                    klog_level("getCacheBlock: configured max cache memory reached (0 blocks) "
                               "failed to allocate cache object"),
                    3);
    KUNIT_EXPECT_NULL(test, bucket(b, 3)->busy);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocCPs), 0);
    close_session(&tf);

    /* Three held at most; consuming one makes room for another. */
    KUNIT_ASSERT_EQ(test, open_session(&tf, 3), 0);
    b = test_backup(&tf);
    const u32 loaded[] = {1, 2, 3, 4, 5};
    load_block_map(b, loaded, ARRAY_SIZE(loaded));
    velSetState(b, VEL_STATE_MAP_LOADED);
    for (u32 n = 1; n <= 3; n++)
        KUNIT_EXPECT_EQ(test, save(b, n), 0);
    char buf[BLOCK_SIZE];
    KUNIT_EXPECT_EQ(test, cacheRead(b, buf, 2), BLOCK_SIZE);
    KUNIT_EXPECT_EQ(test, save(b, 4), 0);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_MAP_LOADED);
    klog_clear();
    KUNIT_EXPECT_EQ(test, save(b, 5), 1);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_CACHE_FULL);
    KUNIT_EXPECT_EQ(test,
                    klog_level("getCacheBlock: configured max cache memory reached (3 blocks) "
                               "failed to allocate cache object"),
                    3);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocCPs), 3);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curCBs), 3);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocCPs), 4);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalCBs), 4);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->peakAllocCPs), 3);
    close_session(&tf);
}

static void saves_only_unsettled_needed_blocks(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, open_session(&tf, 100), 0);
    Backup *b = test_backup(&tf);
    /* Settled: nothing to save. */
    setBlock(&b->cacheMap, 10);
    KUNIT_EXPECT_EQ(test, doWeCacheBlock(b, 10), 0);
    KUNIT_EXPECT_EQ(test, save(b, 10), 0);
    KUNIT_EXPECT_NULL(test, bucket(b, 10)->busy);
    /* A save leaves cacheMap to the cache thread. */
    KUNIT_EXPECT_EQ(test, save(b, 11), 0);
    KUNIT_EXPECT_NOT_NULL(test, bucket(b, 11)->busy);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 11), 0);
    /* Outside the device's map: never read back, so never saved. */
    KUNIT_EXPECT_EQ(test, doWeCacheBlock(b, NUM_BLOCKS), 0);
    KUNIT_EXPECT_EQ(test, save(b, NUM_BLOCKS), 0);
    KUNIT_EXPECT_NULL(test, bucket(b, NUM_BLOCKS)->busy);
    /* Map loaded: only blocks the backup still needs. */
    const u32 loaded[] = {12};
    load_block_map(b, loaded, 1);
    KUNIT_EXPECT_EQ(test, doWeCacheBlock(b, 13), 1);
    velSetState(b, VEL_STATE_MAP_LOADED);
    KUNIT_EXPECT_EQ(test, doWeCacheBlock(b, 13), 0);
    KUNIT_EXPECT_EQ(test, save(b, 13), 0);
    KUNIT_EXPECT_NULL(test, bucket(b, 13)->busy);
    KUNIT_EXPECT_EQ(test, doWeCacheBlock(b, 12), 1);
    KUNIT_EXPECT_EQ(test, save(b, 12), 0);
    KUNIT_EXPECT_NOT_NULL(test, bucket(b, 12)->busy);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curCBs), 2);
    close_session(&tf);
}

static void bucket_lists_newest_first(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, open_session(&tf, 100), 0);
    Backup *b = test_backup(&tf);
    KUNIT_EXPECT_EQ(test, save(b, 5), 0);
    KUNIT_EXPECT_EQ(test, save(b, 6), 0);
    KUNIT_EXPECT_EQ(test, save(b, 4101), 0);
    KUNIT_EXPECT_STREQ(test, list_of(b, 5), "4101 5");
    KUNIT_EXPECT_STREQ(test, list_of(b, 6), "6");

    CachePage *head = bucket(b, 5)->busy, *last = NULL;
    KUNIT_EXPECT_EQ(test, locateBlockInList(head, 5, &last), head->next);
    KUNIT_EXPECT_EQ(test, last, head);
    last = NULL;
    KUNIT_EXPECT_EQ(test, locateBlockInList(head, 4101, &last), head);
    KUNIT_EXPECT_NULL(test, last);
    KUNIT_EXPECT_NULL(test, locateBlockInList(head, 8197, &last));
    close_session(&tf);
}

static void read_in_state_4_keeps_the_copy(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, open_session(&tf, 100), 0);
    Backup *b = test_backup(&tf);
    char page[BLOCK_SIZE], old[BLOCK_SIZE], out[BLOCK_SIZE];
    for (int i = 0; i < BLOCK_SIZE; i++)
        old[i] = (char)(i * 7 + 3);
    memcpy(page, old, BLOCK_SIZE);
    KUNIT_ASSERT_EQ(test, saveBlock(b, page, 777), 0);
    setBlock(&b->cacheMap, 777);
    /* The cache thread's page is reused at once: the entry keeps a copy. */
    memset(page, 0xff, sizeof(page));
    for (int round = 0; round < 2; round++) {
        memset(out, 0, sizeof(out));
        KUNIT_EXPECT_EQ(test, cacheRead(b, out, 777), BLOCK_SIZE);
        KUNIT_EXPECT_EQ(test, memcmp(out, old, BLOCK_SIZE), 0);
    }
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalReadCBs), 2);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curCBs), 1);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 777), -1);
    /* A block never saved: nothing copied, the destination untouched. */
    memset(out, 0x5a, sizeof(out));
    KUNIT_EXPECT_EQ(test, cacheRead(b, out, 778), 0);
    KUNIT_EXPECT_EQ(test, (unsigned char)out[0], 0x5au);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalReadCBs), 2);
    close_session(&tf);
}

static void read_in_state_6_consumes_the_copy(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, open_session(&tf, 100), 0);
    Backup *b = test_backup(&tf);
    const u32 blocks[] = {5, 4101, 8197};
    load_block_map(b, blocks, 3);
    for (int i = 0; i < 3; i++)
        KUNIT_ASSERT_EQ(test, save(b, blocks[i]), 0);
    for (int i = 0; i < 3; i++)
        setBlock(&b->cacheMap, blocks[i]);
    velSetState(b, VEL_STATE_MAP_LOADED);
    u32 out[BLOCK_SIZE / 4];
    /* From the middle of the list. */
    KUNIT_EXPECT_EQ(test, cacheRead(b, (char *)out, 4101), BLOCK_SIZE);
    KUNIT_EXPECT_EQ(test, out[0], 4101u);
    KUNIT_EXPECT_EQ(test, out[BLOCK_SIZE / 4 - 1], 4101u);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->blockMap, 4101), 0);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 4101), 0);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 5), -1);
    KUNIT_EXPECT_STREQ(test, list_of(b, 5), "8197 5");
    KUNIT_EXPECT_EQ(test, cacheRead(b, (char *)out, 4101), 0);
    /* Read once, it is not saved again. */
    KUNIT_EXPECT_EQ(test, doWeCacheBlock(b, 4101), 0);
    /* From the head. */
    KUNIT_EXPECT_EQ(test, cacheRead(b, (char *)out, 8197), BLOCK_SIZE);
    KUNIT_EXPECT_STREQ(test, list_of(b, 5), "5");
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalReadCBs), 2);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curCBs), 1);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocCPs), 1);
    /* Closing: the cache is not read any more. */
    velSetState(b, VEL_STATE_CLOSING);
    KUNIT_EXPECT_EQ(test, cacheRead(b, (char *)out, 5), 0);
    KUNIT_EXPECT_NOT_NULL(test, bucket(b, 5)->busy);
    close_session(&tf);
}

static void clean_up_keeps_only_loaded_blocks(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, open_session(&tf, 100), 0);
    Backup *b = test_backup(&tf);
    const u32 saved[] = {1, 2, 3, 7, 4103, 8199, 9, 4105, 8201};
    for (unsigned int i = 0; i < ARRAY_SIZE(saved); i++) {
        KUNIT_ASSERT_EQ(test, save(b, saved[i]), 0);
        setBlock(&b->cacheMap, saved[i]);
    }
    /* Bucket 7 keeps only its middle entry, bucket 9 loses only its middle. */
    const u32 loaded[] = {1, 3, 4103, 9, 8201};
    load_block_map(b, loaded, ARRAY_SIZE(loaded));
    KUNIT_EXPECT_EQ(test, cleanUpCache(b), VEL_ERR_WRONG_STATE);
    velSetState(b, VEL_STATE_CLOSING);
    KUNIT_EXPECT_EQ(test, cleanUpCache(b), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curCBs), 9);
    velSetState(b, VEL_STATE_MAP_LOADED);
    KUNIT_EXPECT_EQ(test, cleanUpCache(b), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalCleanedCBs), 4);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curCBs), 5);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocCPs), 5);
    KUNIT_EXPECT_STREQ(test, list_of(b, 2), "");
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 2), 0);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 1), -1);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 3), -1);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 8199), 0);
    KUNIT_EXPECT_STREQ(test, list_of(b, 1), "1");
    KUNIT_EXPECT_STREQ(test, list_of(b, 3), "3");
    KUNIT_EXPECT_STREQ(test, list_of(b, 7), "4103");
    KUNIT_EXPECT_STREQ(test, list_of(b, 9), "8201 9");
    close_session(&tf);
}

static void close_cache_frees_what_exists(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, open_session(&tf, 100), 0);
    Backup *b = test_backup(&tf);
    const u32 saved[] = {0, 4095, 4096, 19999};
    for (unsigned int i = 0; i < ARRAY_SIZE(saved); i++) {
        KUNIT_ASSERT_EQ(test, save(b, saved[i]), 0);
        setBlock(&b->cacheMap, saved[i]);
    }
    klog_clear();
    closeCache(b);
    KUNIT_EXPECT_EQ(test, standin_klog_lines(), 0UL);
    KUNIT_EXPECT_NULL(test, b->cpCache);
    KUNIT_EXPECT_NULL(test, b->dataCache);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curCBs), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocCPs), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalCBs), 4);
    KUNIT_EXPECT_NULL(test, bucket(b, 0)->busy);
    KUNIT_EXPECT_NULL(test, bucket(b, 4095)->busy);
    KUNIT_EXPECT_EQ(test, blockInMap(&b->cacheMap, 4096), 0);
    closeCache(b);
    close_session(&tf);

    /* A start that failed before the caches: nothing to free. */
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    b = test_backup(&tf);
    b->diskInfo.kdev = MKDEV(8, 1);
    KUNIT_ASSERT_EQ(test, newBlockTable(b), 0);
    velSetState(b, VEL_STATE_STARTING);
    klog_clear();
    closeCache(b);
    KUNIT_EXPECT_EQ(test, standin_klog_lines(), 0UL);
    KUNIT_EXPECT_NOT_NULL(test, b->blockTable);
    KUNIT_EXPECT_NOT_NULL(test, b->htCache);
    /* One that made dataCache but not cpCache: dataCache still goes (the
     * unload would report it). */
    b->diskInfo.blockSize = BLOCK_SIZE;
    snprintf(b->dataCacheName, sizeof(b->dataCacheName), "velDC%02x%02x", 8, 1);
    b->dataCache = createSlabCache(b->dataCacheName, BLOCK_SIZE);
    KUNIT_ASSERT_NOT_NULL(test, b->dataCache);
    closeCache(b);
    KUNIT_EXPECT_NULL(test, b->dataCache);
    closeBlockTable(b);
    velSetState(b, VEL_STATE_IDLE);
    test_release(&tf);
}

/* Holds a bucket until closeCache sleeps on it, then slips one more entry
 * into it: the close must have said so, waited, and must free that entry. */
struct bucket_holder {
    Backup *b;
    HashTable *ht;
    atomic_t closed;
    int closedBeforeRelease, loggedBeforeRelease;
    struct completion held, released;
};

static int has_waiter(struct semaphore *sem) {
    unsigned long flags;
    spin_lock_irqsave(&sem->lock, flags);
    int waiting = !list_empty(&sem->wait_list);
    spin_unlock_irqrestore(&sem->lock, flags);
    return waiting;
}

static int hold_bucket(void *arg) {
    struct bucket_holder *h = (struct bucket_holder *)arg;
    down(&h->ht->sem);
    complete(&h->held);
    while (!has_waiter(&h->ht->sem) && !atomic_read(&h->closed))
        schedule();
    h->closedBeforeRelease = atomic_read(&h->closed);
    h->loggedBeforeRelease = klog_contains("closeCache: ht->sem contended");
    if (!h->closedBeforeRelease) {
        CachePage *cp = getCacheBlock(h->b);
        if (cp) {
            cp->blockNum = 4098;
            addCPtoBusyList(h->ht, cp);
        }
    }
    up(&h->ht->sem);
    complete(&h->released);
    return 0;
}

static void close_cache_waits_for_a_busy_bucket(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, open_session(&tf, 100), 0);
    Backup *b = test_backup(&tf);
    KUNIT_ASSERT_EQ(test, save(b, 2), 0);
    struct bucket_holder h;
    h.b = b;
    h.ht = bucket(b, 2);
    atomic_set(&h.closed, 0);
    h.closedBeforeRelease = h.loggedBeforeRelease = -1;
    init_completion(&h.held);
    init_completion(&h.released);
    klog_clear();
    KUNIT_ASSERT_GT(test, kernel_thread(hold_bucket, &h, 0), 0);
    wait_for_completion(&h.held);
    closeCache(b);
    atomic_set(&h.closed, 1);
    wait_for_completion(&h.released);
    KUNIT_EXPECT_EQ(test, h.closedBeforeRelease, 0);
    KUNIT_EXPECT_EQ(test, h.loggedBeforeRelease, 1);
    KUNIT_EXPECT_EQ(test, klog_count("closeCache: ht->sem contended"), 1);
    KUNIT_EXPECT_EQ(test, klog_level("closeCache: ht->sem contended"), 3);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalCBs), 2);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curCBs), 0);
    KUNIT_EXPECT_NULL(test, h.ht->busy);
    close_session(&tf);
}

static void table_allocation_failures(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    Backup *b = test_backup(&tf);
    b->diskInfo.kdev = MKDEV(8, 1);
    b->diskInfo.numBlocks = NUM_BLOCKS;
    velSetState(b, VEL_STATE_STARTING);

    struct standin_fault_rule create = {FAULT_SLAB_CREATE, 0, "velHT", 1, 0, 1};
    standin_fault_add(&create);
    klog_clear();
    KUNIT_EXPECT_EQ(test, newBlockTable(b), VEL_ERR_NO_MEMORY);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test,
                    klog_level("newBlockTable: kmem_cache_create failed for HashTable structs "
                               "during backup start major=8 minor=1"),
                    3);
    KUNIT_EXPECT_NULL(test, b->htCache);
    closeBlockTable(b);

    struct standin_fault_rule array = {FAULT_VMALLOC, 0, NULL, 1, 0, 1};
    standin_fault_add(&array);
    klog_clear();
    KUNIT_EXPECT_EQ(test, newBlockTable(b), VEL_ERR_NO_MEMORY);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, standin_klog_lines(), 0UL);
    KUNIT_EXPECT_NULL(test, b->blockTable);
    closeBlockTable(b);

    /* The 101st bucket fails; the hundred before it are freed by the close. */
    struct standin_fault_rule bucket = {FAULT_SLAB_ALLOC, 0, "velHT", 1, 100, 1};
    standin_fault_add(&bucket);
    klog_clear();
    KUNIT_EXPECT_EQ(test, newBlockTable(b), VEL_ERR_NO_MEMORY);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, standin_klog_lines(), 0UL);
    KUNIT_ASSERT_NOT_NULL(test, b->blockTable);
    KUNIT_EXPECT_NOT_NULL(test, b->blockTable[99]);
    KUNIT_EXPECT_NULL(test, b->blockTable[100]);
    closeBlockTable(b);

    struct standin_fault_rule map = {FAULT_VMALLOC, 0, NULL, 1, 0, 1};
    standin_fault_add(&map);
    klog_clear();
    KUNIT_EXPECT_EQ(test, newCacheMap(b), VEL_ERR_NO_MEMORY);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, klog_level("newCacheMap: error creating cache map of size=20000"), 3);
    b->diskInfo.numBlocks = 0;
    klog_clear();
    KUNIT_EXPECT_EQ(test, newCacheMap(b), VEL_ERR_INVALID);
    KUNIT_EXPECT_EQ(test, klog_level("newCacheMap: error creating cache map of size=0"), 3);
    KUNIT_EXPECT_NULL(test, b->cacheMap.map);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->totalAllocPages), 0);
    closeCacheMap(b);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocPages), 0);
    velSetState(b, VEL_STATE_IDLE);
    test_release(&tf);
}

static void entry_allocation_failures(struct kunit *test) {
    struct {
        const char *cache;
        const char *message;
    } cases[] = {
        {"velCP", "getCacheBlock: system out of memory, failed to allocate cache object."},
        {"velDC", "getCacheBlock: system out of memory failed to allocate block for write cache"},
    };
    for (unsigned int i = 0; i < ARRAY_SIZE(cases); i++) {
        struct test_file tf;
        KUNIT_ASSERT_EQ(test, open_session(&tf, 100), 0);
        Backup *b = test_backup(&tf);
        struct standin_fault_rule rule = {FAULT_SLAB_ALLOC, 0, cases[i].cache, 1, 0, 1};
        standin_fault_add(&rule);
        klog_clear();
        KUNIT_EXPECT_EQ(test, save(b, 7), 1);
        standin_fault_clear();
        KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_CACHE_FULL);
        KUNIT_EXPECT_EQ(test, klog_level(cases[i].message), 3);
        KUNIT_EXPECT_NULL(test, bucket(b, 7)->busy);
        KUNIT_EXPECT_EQ(test, atomic_read(&b->curAllocCPs), 0);
        KUNIT_EXPECT_EQ(test, atomic_read(&b->totalCBs), 0);
        /* An entry left in cpCache would make closeCache's destroy a BUG. */
        close_session(&tf);
    }
}

static void save_without_entry_cache_is_a_bug(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    Backup *b = test_backup(&tf);
    b->diskInfo.kdev = MKDEV(8, 1);
    b->diskInfo.numBlocks = NUM_BLOCKS;
    b->maxCacheBlocks = 1;
    KUNIT_ASSERT_EQ(test, newBlockTable(b), 0);
    KUNIT_ASSERT_EQ(test, newCacheMap(b), 0);
    velSetState(b, VEL_STATE_SNAPSHOT);
    save(b, 1);
}

static struct kunit_case cache_cases[] = {
    KUNIT_CASE(table_and_map_build_and_close),
    KUNIT_CASE(cache_limit_counts_held_entries),
    KUNIT_CASE(saves_only_unsettled_needed_blocks),
    KUNIT_CASE(bucket_lists_newest_first),
    KUNIT_CASE(read_in_state_4_keeps_the_copy),
    KUNIT_CASE(read_in_state_6_consumes_the_copy),
    KUNIT_CASE(clean_up_keeps_only_loaded_blocks),
    KUNIT_CASE(close_cache_frees_what_exists),
    KUNIT_CASE(close_cache_waits_for_a_busy_bucket),
    KUNIT_CASE(table_allocation_failures),
    KUNIT_CASE(entry_allocation_failures),
    KUNIT_CASE_BUG(save_without_entry_cache_is_a_bug, "kernel BUG at .*cache\\.cpp"),
    {},
};

static struct kunit_suite cache_suite = {"cache", cache_cases, "velmora"};
kunit_test_suite(cache_suite);
