/*
 * Block maps: sizes and page counts at the boundaries, bit positions across
 * pages, contents from user memory, and a close that waits for the bit
 * operations in flight.
 */
#include <linux/kernel.h>
#include <linux/highmem.h>
#include <linux/jiffies.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/fault.h>
#include <standin/machine.h>

#include "driver_test.h"
#include "internal.h"

static u8 map_byte(BlockMap *bm, u32 page, u32 byte) {
    return ((u8 *)page_address(bm->map[page]))[byte];
}

static void sizes_and_page_counts(struct kunit *test) {
    struct {
        u32 size, numBytes;
        int pages;
    } cases[] = {{1, 1, 1},
                 {32768, 4096, 1},
                 {32769, 4097, 2},
                 {(1u << 30) + 1, (1u << 27) + 1, (1 << 15) + 1}};
    for (unsigned int i = 0; i < ARRAY_SIZE(cases); i++) {
        BlockMap bm;
        int pages = -1, freed = -1;
        KUNIT_ASSERT_EQ(test, newBlockMap(&bm, cases[i].size, NULL, 1, &pages), 0);
        KUNIT_EXPECT_EQ(test, bm.numBytes, cases[i].numBytes);
        KUNIT_EXPECT_EQ(test, pages, cases[i].pages);
        KUNIT_EXPECT_EQ(test, numPagesInBlockMap(&bm), cases[i].pages);
        KUNIT_EXPECT_EQ(test, atomic_read(&bm.users), 1);
        /* The last block is inside, the next one outside. */
        KUNIT_EXPECT_EQ(test, setBlock(&bm, cases[i].size - 1), 0u);
        KUNIT_EXPECT_EQ(test, blockInMap(&bm, cases[i].size - 1), -1);
        KUNIT_EXPECT_EQ(test, setBlock(&bm, cases[i].size), cases[i].size);
        closeBlockMap(&bm, &freed);
        KUNIT_EXPECT_EQ(test, freed, cases[i].pages);
        KUNIT_EXPECT_NULL(test, bm.map);
        KUNIT_EXPECT_EQ(test, bm.size, 0u);
    }
}

static void sizes_without_bytes_are_refused(struct kunit *test) {
    const u32 sizes[] = {0, 4294967295u, 4294967289u};
    for (unsigned int i = 0; i < ARRAY_SIZE(sizes); i++) {
        BlockMap bm;
        memset(&bm, 0x5c, sizeof(bm));
        int pages = 77;
        klog_clear();
        KUNIT_EXPECT_EQ(test, newBlockMap(&bm, sizes[i], NULL, 1, &pages), VEL_ERR_INVALID);
        char line[80];
        snprintf(line, sizeof(line), "newBlockMap: block size size=%u invalid", sizes[i]);
        KUNIT_EXPECT_LOG(test, line);
        KUNIT_EXPECT_EQ(test, pages, 77);
        u8 *raw = (u8 *)&bm;
        for (unsigned int b = 0; b < sizeof(bm); b++)
            KUNIT_ASSERT_EQ(test, raw[b], 0x5c);
    }
}

static void fill_and_bit_layout(struct kunit *test) {
    BlockMap bm;
    int pages, freed;
    KUNIT_ASSERT_EQ(test, newBlockMap(&bm, 40000, NULL, 0, &pages), 0);
    /* zeroFill 0: every block below the size is set. */
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 0), -1);
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 39999), -1);
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 40000), 0);
    closeBlockMap(&bm, &freed);

    KUNIT_ASSERT_EQ(test, newBlockMap(&bm, 40000, NULL, 1, &pages), 0);
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 32768), 0);
    KUNIT_EXPECT_EQ(test, setBlock(&bm, 32768), 0u);
    KUNIT_EXPECT_EQ(test, setBlock(&bm, 9), 0u);
    /* Block 32768: bit 0 of byte 0 of the second page; block 9: bit 1 of
     * byte 1 of the first page. */
    KUNIT_EXPECT_EQ(test, map_byte(&bm, 1, 0), 0x01);
    KUNIT_EXPECT_EQ(test, map_byte(&bm, 0, 1), 0x02);
    KUNIT_EXPECT_EQ(test, map_byte(&bm, 0, 0), 0x00);
    KUNIT_EXPECT_EQ(test, unSetBlock(&bm, 9), 0);
    KUNIT_EXPECT_EQ(test, map_byte(&bm, 0, 1), 0x00);
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 32768), -1);
    /* Beyond the map: reported, nothing changes. */
    KUNIT_EXPECT_EQ(test, setBlock(&bm, 40000), 40000u);
    KUNIT_EXPECT_EQ(test, unSetBlock(&bm, 40000), 1);
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 40000), 0);
    closeBlockMap(&bm, &freed);
    /* A closed map answers every block as out of range. */
    KUNIT_EXPECT_EQ(test, setBlock(&bm, 5), 5u);
    KUNIT_EXPECT_EQ(test, unSetBlock(&bm, 5), 1);
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 5), 0);
}

static void close_of_unopened_map(struct kunit *test) {
    BlockMap bm;
    memset(&bm, 0, sizeof(bm));
    int freed = 1234;
    closeBlockMap(&bm, &freed);
    KUNIT_EXPECT_EQ(test, freed, 1234);
}

/* Two user pages: the first readable, holding `fill`, the second unmapped. */
static char *user_bitmap(struct page **frame, u8 fill) {
    *frame = alloc_pages(GFP_KERNEL, 0);
    memset(page_address(*frame), fill, PAGE_SIZE);
    char *area = (char *)host_reserve(2 * PAGE_SIZE);
    host_phys_map_user(area, page_to_pfn(*frame), 0);
    return area;
}

static void contents_from_user_memory(struct kunit *test) {
    struct page *frame;
    char *area = user_bitmap(&frame, 0xa5);
    BlockMap bm;
    int pages, freed;
    /* 4096 bytes of bitmap: exactly the readable page. */
    KUNIT_ASSERT_EQ(test, newBlockMap(&bm, 32768, area, 1, &pages), 0);
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 0), -1); /* 0xa5: bits 0, 2, 5, 7 */
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 1), 0);
    KUNIT_EXPECT_EQ(test, blockInMap(&bm, 32767), -1);
    closeBlockMap(&bm, &freed);

    /* One byte more reaches the unmapped page: 6, messages, nothing kept. */
    klog_clear();
    unsigned long before = standin_module_allocations();
    KUNIT_EXPECT_EQ(test, newBlockMap(&bm, 32769, area, 1, &pages), VEL_ERR_COPY_FROM_USER);
    char line[160];
    snprintf(line, sizeof(line),
             "newBlockMap: copy to user space failed data=%p bytesCopied=1 bytesInMap=4097",
             area + PAGE_SIZE);
    KUNIT_EXPECT_LOG(test, line);
    KUNIT_EXPECT_LOG(test, "newBlockMap: Out of Memory Error.");
    KUNIT_EXPECT_NULL(test, bm.map);
    KUNIT_EXPECT_EQ(test, standin_module_allocations(), before);
    host_unreserve(area, 2 * PAGE_SIZE);
    __free_pages(frame, 0);
}

/* A map that was never built or failed to build: every block out of range,
 * and nothing in it for a lock-checking kernel to stop on. */
static void expect_empty(struct kunit *test, BlockMap *bm) {
    KUNIT_EXPECT_EQ(test, setBlock(bm, 7), 7u);
    KUNIT_EXPECT_EQ(test, unSetBlock(bm, 7), 1);
    KUNIT_EXPECT_EQ(test, blockInMap(bm, 7), 0);
}

static void allocation_failures(struct kunit *test) {
    BlockMap bm;
    int pages;
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    expect_empty(test, &test_backup(&tf)->blockMap);
    expect_empty(test, &test_backup(&tf)->cacheMap);
    test_release(&tf);
    unsigned long before = standin_module_allocations();
    struct standin_fault_rule array = {FAULT_VMALLOC, 0, NULL, 1, 0, 1};
    standin_fault_add(&array);
    klog_clear();
    KUNIT_EXPECT_EQ(test, newBlockMap(&bm, 100000, NULL, 1, &pages), VEL_ERR_NO_MEMORY);
    KUNIT_EXPECT_LOG(
        test, "newBlockMap: failed allocating (32) bytes of memory for block map page array");
    standin_fault_clear();
    expect_empty(test, &bm);
    /* The third bitmap page fails: the two before it are freed again. */
    struct standin_fault_rule page = {FAULT_PAGES, 0, NULL, 1, 2, 1};
    standin_fault_add(&page);
    klog_clear();
    KUNIT_EXPECT_EQ(test, newBlockMap(&bm, 100000, NULL, 1, &pages), VEL_ERR_NO_MEMORY);
    standin_fault_clear();
    KUNIT_EXPECT_LOG(test, "newBlockMap: failed allocating page number (2) for block map");
    KUNIT_EXPECT_LOG(test, "newBlockMap: Out of Memory Error.");
    KUNIT_EXPECT_NULL(test, bm.map);
    expect_empty(test, &bm);
    KUNIT_EXPECT_EQ(test, standin_module_allocations(), before);
}

/* Writers set bits while the map is drained and closed under them: each
 * either lands in the open map or sees it closed, never touches freed pages. */
struct setter {
    BlockMap *bm;
    atomic_t *stop;
    int set, refused;
    struct completion done;
};

static int setter_thread(void *arg) {
    struct setter *s = (struct setter *)arg;
    for (u32 n = 0; !atomic_read(s->stop); n = (n + 4099) % 65536) {
        if (setBlock(s->bm, n) == 0)
            __atomic_add_fetch(&s->set, 1, __ATOMIC_RELAXED);
        else
            __atomic_add_fetch(&s->refused, 1, __ATOMIC_RELAXED);
        /* On one processor the drain needs a moment with no writer inside. */
        schedule();
    }
    complete(&s->done);
    return 0;
}

static void close_waits_for_bit_operations(struct kunit *test) {
    BlockMap bm;
    int pages, freed;
    atomic_t stop;
    atomic_set(&stop, 0);
    KUNIT_ASSERT_EQ(test, newBlockMap(&bm, 65536, NULL, 1, &pages), 0);
    struct setter setters[3];
    for (int i = 0; i < 3; i++) {
        setters[i] = {&bm, &stop, 0, 0, {}};
        init_completion(&setters[i].done);
        KUNIT_ASSERT_GT(test, kernel_thread(setter_thread, &setters[i], 0), 0);
    }
    while (blockInMap(&bm, 4099) == 0)
        schedule();
    unsigned long flags;
    waitForBlockMapUsers(&bm, &flags);
    /* A setter that meets the mark counts itself in for a moment before it
     * steps back; none stays. The lock is held: no sleep while waiting. */
    unsigned long until = jiffies + msecs_to_jiffies(5000);
    int users;
    do
        users = atomic_read(&bm.users);
    while (users != 1 + USERS_CLOSING && (long)(jiffies - until) < 0);
    KUNIT_EXPECT_EQ(test, users, 1 + USERS_CLOSING);
    closeBlockMap(&bm, &freed);
    usersRelease(&bm.usersLock, &bm.users, flags);
    /* Let every writer see the closed map before stopping them. */
    for (int seen = 0; seen < 3;) {
        seen = 0;
        for (int i = 0; i < 3; i++)
            seen += __atomic_load_n(&setters[i].refused, __ATOMIC_RELAXED) > 0;
        schedule();
    }
    atomic_set(&stop, 1);
    for (int i = 0; i < 3; i++) {
        wait_for_completion(&setters[i].done);
        KUNIT_EXPECT_GT(test, setters[i].refused, 0);
    }
    KUNIT_EXPECT_EQ(test, atomic_read(&bm.users), 1);
}

static struct kunit_case blockmap_cases[] = {
    KUNIT_CASE(sizes_and_page_counts),
    KUNIT_CASE(sizes_without_bytes_are_refused),
    KUNIT_CASE(fill_and_bit_layout),
    KUNIT_CASE(close_of_unopened_map),
    KUNIT_CASE(contents_from_user_memory),
    KUNIT_CASE(allocation_failures),
    KUNIT_CASE(close_waits_for_bit_operations),
    {},
};

static struct kunit_suite blockmap_suite = {"blockmap", blockmap_cases, "velmora"};
kunit_test_suite(blockmap_suite);
