/*
 * Statistics: what is gathered from a backup record, and the 26 log lines
 * with their exact text, order and level.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/machine.h>

#include "driver_test.h"

static void gathered_from_the_record(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    Backup *b = test_backup(&tf);
    b->diskInfo.kdev = MKDEV(253, 0x12345);
    b->diskInfo.partitionStart = 0x100000040ULL; /* only the low 32 bits are kept */
    b->diskInfo.blockSize = 2048;
    b->diskInfo.blocksPerPage = 2;
    b->diskInfo.partitionSizeKB = 0x200000010ULL;
    b->diskInfo.numBlocks = 0x100000007ULL;
    b->maxVMPages = 128;
    b->maxCacheBlocks = 5000;
    atomic_t *counters[] = {&b->totalAllocPages, &b->curAllocPages, &b->totalAllocBRs,
                            &b->curAllocBRs,     &b->totalAllocCPs, &b->curAllocCPs,
                            &b->peakAllocCPs,    &b->totalCBs,      &b->curCBs,
                            &b->totalReadBlocks, &b->totalReadCBs,  &b->totalCleanedCBs,
                            &b->ioctlCount};
    for (unsigned int i = 0; i < ARRAY_SIZE(counters); i++)
        atomic_set(counters[i], 101 + (int)i);
    b->eTimeToFreeze.tv_sec = 3;
    b->eTimeToFreeze.tv_nsec = 4;
    b->eTimeFrozen.tv_sec = 5;
    b->eTimeFrozen.tv_nsec = 6;
    atomic_add(17, &curAllocAMPages);
    /* Only mapped areas count their pages. */
    struct vm_area_struct vma;
    b->vmAreas[0].vmPages = 9;
    b->vmAreas[1].vmPages = 3;
    b->vmAreas[1].vma = &vma;
    velSetState(b, VEL_STATE_REQUEST_LOST);

    Stats s;
    memset(&s, 0x6b, sizeof(s));
    setStats(b, &s);
    atomic_sub(17, &curAllocAMPages);
    KUNIT_EXPECT_EQ(test, s.driverVerMajor + s.driverVerMinor + s.driverVerMinor2, 0u);
    KUNIT_EXPECT_EQ(test, s.major, 253u);
    KUNIT_EXPECT_EQ(test, s.minor, 0x12345u);
    KUNIT_EXPECT_EQ(test, s.state, VEL_STATE_REQUEST_LOST);
    KUNIT_EXPECT_EQ(test, s.partitionStart, 0x40u);
    KUNIT_EXPECT_EQ(test, s.blockSize, 2048);
    KUNIT_EXPECT_EQ(test, s.blocksPerPage, 2);
    KUNIT_EXPECT_EQ(test, s.partitionSizeKB, 0x10u);
    KUNIT_EXPECT_EQ(test, s.numBlocks, 7u);
    KUNIT_EXPECT_EQ(test, s.maxVMPages, 128);
    KUNIT_EXPECT_EQ(test, s.vmPages, 3);
    KUNIT_EXPECT_EQ(test, s.maxCacheBlocks, 5000u);
    KUNIT_EXPECT_EQ(test, s.curAllocAMPages, 17);
    int got[] = {s.totalAllocPages, s.curAllocPages,   s.totalAllocBRs, s.curAllocBRs,
                 s.totalAllocCPs,   s.curAllocCPs,     s.peakAllocCPs,  s.totalCBs,
                 s.curCBs,          s.totalReadBlocks, s.totalReadCBs,  s.totalCleanedCBs,
                 s.ioctlCount};
    for (unsigned int i = 0; i < ARRAY_SIZE(got); i++)
        KUNIT_EXPECT_EQ(test, got[i], 101 + (int)i);
    KUNIT_EXPECT_EQ(test, (long)s.eTimeToFreeze.tv_sec, 3L);
    KUNIT_EXPECT_EQ(test, s.eTimeToFreeze.tv_nsec, 4L);
    KUNIT_EXPECT_EQ(test, (long)s.eTimeFrozen.tv_sec, 5L);
    KUNIT_EXPECT_EQ(test, s.eTimeFrozen.tv_nsec, 6L);
    memset(b->vmAreas, 0, sizeof(b->vmAreas));
    velSetState(b, VEL_STATE_IDLE);
    test_release(&tf);
}

static void twenty_six_lines(struct kunit *test) {
    Stats s;
    memset(&s, 0, sizeof(s));
    s.major = 8;
    s.minor = 17;
    s.state = 7;
    s.blockSize = 4096;
    s.partitionSizeKB = 3000000000u;
    s.numBlocks = 750000;
    s.curAllocAMPages = 23;
    s.maxCacheBlocks = 10000;
    s.totalAllocPages = 1;
    s.curAllocPages = -2; /* signed: a count gone wrong shows as such */
    s.totalAllocBRs = 3;
    s.curAllocBRs = 4;
    s.totalAllocCPs = 5;
    s.curAllocCPs = 6;
    s.peakAllocCPs = 7;
    s.totalCBs = 8;
    s.curCBs = 9;
    s.totalReadBlocks = 10;
    s.totalReadCBs = 11;
    s.totalCleanedCBs = 12;
    s.partitionStart = 63;
    s.blocksPerPage = 1;
    s.maxVMPages = 256;
    s.vmPages = 0;
    s.ioctlCount = 14;
    s.eTimeToFreeze.tv_sec = 0;
    s.eTimeToFreeze.tv_nsec = 1500;
    s.eTimeFrozen.tv_sec = 2;
    s.eTimeFrozen.tv_nsec = 999999999;
    const char *expected[] = {
        "printStats: device: major(8) minor(17)",
        "printStats: state: 7",
        "printStats: block size: 4096",
        "printStats: partition size (KB): 3000000000",
        "printStats: file system size (blocks): 750000",
        "printStats: pages allocated for write journal: 23",
        "printStats: max cache size in blocks: 10000",
        "printStats: total pages allocated: 1",
        "printStats: current pages allocated: -2",
        "printStats: total Block Requests allocated: 3",
        "printStats: current Block Requests allocated: 4",
        "printStats: total cached blocks: 5",
        "printStats: current cached blocks: 6",
        "printStats: peak cached blocks: 7",
        "printStats: total block cache data structures: 8",
        "printStats: current block cache data structures: 9",
        "printStats: total reads from disk: 10",
        "printStats: total reads from cache: 11",
        "printStats: blocks cleaned from cache: 12",
        "printStats: partition start (sector): 63",
        "printStats: blocks per page: 1",
        "printStats: max buffer size in pages: 256",
        "printStats: buffer pages allocated: 0",
        "printStats: commands processed: 14",
        "printStats: time to freeze in seconds: 0.000001500",
        "printStats: time frozen in seconds: 2.999999999",
    };
    klog_clear();
    printStats(&s);
    KUNIT_ASSERT_EQ(test, standin_klog_lines(), (unsigned long)ARRAY_SIZE(expected));
    for (unsigned int i = 0; i < ARRAY_SIZE(expected); i++) {
        char line[128];
        KUNIT_EXPECT_EQ(test, standin_klog_line(i, line, sizeof(line)), 6);
        KUNIT_EXPECT_STREQ(test, line, expected[i]);
    }
}

static struct kunit_case stats_cases[] = {
    KUNIT_CASE(gathered_from_the_record),
    KUNIT_CASE(twenty_six_lines),
    {},
};

static struct kunit_suite stats_suite = {"stats", stats_cases, "velmora"};
kunit_test_suite(stats_suite);
