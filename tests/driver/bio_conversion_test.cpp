/*
 * From a bio, as a hook receives it on the whole disk, to its partition and
 * to the blocks of that partition: bios that start before the partition or
 * reach past its end, partial sectors, bios of no bytes on and off block
 * boundaries, and sectors that belong to no partition.
 */
#include <kunit/test.h>

#include "tracking_test.h"

#define CONV_MAJOR 232
#define CONV_DISK STANDIN_MKDEV(CONV_MAJOR, 16)
#define CONV_P1 (CONV_DISK + 1)

struct range_case {
    const char *what;
    sector_t sector; /* on the whole disk */
    unsigned int size;
    u32 startBN, endBN;
};

static void check_ranges(struct kunit *test, DiskInfo *di, const struct range_case *cases,
                         unsigned int n) {
    for (unsigned int i = 0; i < n; i++) {
        struct bio *bio = bare_bio(NULL, cases[i].sector, cases[i].size, WRITE);
        u32 startBN = 0xdead, endBN = 0xbeef;
        BIOToBlockNumbers(di, bio, &startBN, &endBN);
        if (startBN != cases[i].startBN || endBN != cases[i].endBN)
            kunit_fail(test, __FILE__, __LINE__, "%s: blocks %u..%u, expected %u..%u",
                       cases[i].what, startBN, endBN, cases[i].startBN, cases[i].endBN);
        bio_put(bio);
    }
}

static void block_ranges_of_a_partition(struct kunit *test) {
    DiskInfo di;
    memset(&di, 0, sizeof(di));
    di.partitionStart = 2048;
    di.partitionLen = 8000; /* blocks 0 .. 999 of 4096 bytes */
    di.sectorsPerBlockShift = 3;
    static const struct range_case cases[] = {
        {"one block at partition sector 8", 2056, 4096, 1, 1},
        {"one byte more", 2056, 4097, 1, 2},
        {"a sector at the end of block 1", 2048 + 15, 512, 1, 1},
        {"two sectors across blocks 1 and 2", 2048 + 15, 1024, 1, 2},
        {"a partial sector inside block 2", 2048 + 16, 100, 2, 2},
        {"a partial sector past block 2's last", 2048 + 23, 600, 2, 3},
        {"a partial sector at partition sector 0", 2048, 100, 0, 0},
        {"starting before the partition", 2040, 8192, 0, 1},
        {"entirely before the partition", 0, 4096, 0, 0},
        {"reaching past the end", 2048 + 7992, 8192, 999, 999},
        {"the next partition's first block", 2048 + 8000, 4096, 1000, 999},
        {"no bytes at partition sector 0", 2048, 0, 0, 0},
        {"no bytes on a block boundary", 2048 + 8, 0, 1, 0},
        {"no bytes inside a block", 2048 + 9, 0, 1, 1},
        {"no bytes at a block's last sector", 2048 + 15, 0, 1, 1},
    };
    check_ranges(test, &di, cases, ARRAY_SIZE(cases));

    /* 1024-byte blocks: a partial sector crossing a block boundary. */
    di.sectorsPerBlockShift = 1;
    static const struct range_case kib[] = {
        {"512 + 1 bytes at sector 1", 2049, 513, 0, 1},
        {"no bytes at sector 2", 2050, 0, 1, 0},
        {"the partition's last sector", 2048 + 7999, 512, 3999, 3999},
    };
    check_ranges(test, &di, kib, ARRAY_SIZE(kib));

    /* A device of no length never yields an end past sector 0. */
    di.partitionLen = 0;
    static const struct range_case empty[] = {{"on an empty device", 2048 + 64, 4096, 32, 0}};
    check_ranges(test, &di, empty, ARRAY_SIZE(empty));
}

static int minor_of(struct request_queue *q, struct block_device *whole, sector_t sector) {
    struct bio *bio = bare_bio(whole, sector, 4096, WRITE);
    int minor = BIOToMinor(q, bio);
    bio_put(bio);
    return minor;
}

/* A device registered under its queue with the given sectors, as a hook
 * leaves it. */
static void register_part(DiskInfo *di, struct request_queue *q, int partno, sector_t start,
                          sector_t len) {
    memset(di, 0, sizeof(*di));
    di->kdev = CONV_DISK + partno;
    di->partitionStart = start;
    di->partitionLen = len;
    addQueueToList(q, di);
}

/* The partition of a sector is found among the tracked devices of the disk,
 * whatever its partition table says; anything else is the disk's own. */
static void partition_of_a_sector(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, standin_ramdisk_create("conv", CONV_MAJOR, 16, 16, 40000), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_set_partition(CONV_DISK, 1, 2048, 8000), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_set_partition(CONV_DISK, 2, 10048, 8001), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_set_partition(CONV_DISK, 3, 18049, 1000), 0);
    KUNIT_EXPECT_EQ(test, standin_disk_set_partition(CONV_DISK, 5, 20000, 4000), 0);
    struct block_device *whole = bdget(CONV_DISK);
    struct request_queue *q = queue_of(CONV_DISK);
    /* 3 is not tracked; 5 after a gap. */
    DiskInfo di[4];
    register_part(&di[0], q, 1, 2048, 8000);
    register_part(&di[1], q, 2, 10048, 8001);
    register_part(&di[2], q, 5, 20000, 4000);
    register_part(&di[3], q, 0, 0, 40000); /* the whole disk tracked too */
    static const struct {
        sector_t sector;
        int minor;
    } cases[] = {
        {0, 16},     /* the table, before any partition: the disk itself */
        {2047, 16},  /* the sector before partition 1 */
        {2048, 17},  /* partition 1's first */
        {10047, 17}, /* and last */
        {10048, 18}, /* partition 2's first */
        {18048, 18}, /* and last (8001 sectors) */
        {18049, 16}, /* partition 3, not tracked */
        {20000, 21}, /* partition 5 */
        {23999, 21}, /* its last */
        {24000, 16}, /* after every partition */
        {39999, 16}, /* the disk's last sector */
    };
    for (unsigned int i = 0; i < ARRAY_SIZE(cases); i++) {
        int minor = minor_of(q, whole, cases[i].sector);
        if (minor != cases[i].minor)
            kunit_fail(test, __FILE__, __LINE__, "sector %llu: minor %d, expected %d",
                       (unsigned long long)cases[i].sector, minor, cases[i].minor);
    }
    /* A device no longer tracked: its sectors are the disk's again. */
    unSetMRFDEV(&di[1]);
    KUNIT_EXPECT_EQ(test, minor_of(q, whole, 10048), 16);
    /* Another queue knows none of them. */
    KUNIT_EXPECT_EQ(test, minor_of(NULL, whole, 2048), 16);
    for (int i = 0; i < 4; i++)
        unSetMRFDEV(&di[i]);
    KUNIT_EXPECT_EQ(test, queue_nodes(), 0);
    bdput(whole);
    standin_disk_remove(CONV_DISK);
}

/* The automap update on bios of no bytes: the block at sector 0, nothing on
 * a later block boundary, the block they lie in otherwise. */
static void empty_writes_in_the_automap(struct kunit *test) {
    static const struct test_part parts[] = {{2048, 8000}};
    KUNIT_ASSERT_EQ(test, test_disk_create("conv", CONV_MAJOR, 16, 40000, parts, 1, 4096), 0);
    struct tracked t;
    if (track_device(&t, CONV_P1, 0, NULL) == 0) {
        struct block_device *whole = bdget(CONV_DISK);
        static const struct {
            sector_t sector; /* in the partition */
            u32 block;       /* set, or 0xffffffff for none */
        } cases[] = {{0, 0}, {8, 0xffffffff}, {9, 1}, {23, 2}, {7992, 0xffffffff}};
        for (unsigned int i = 0; i < ARRAY_SIZE(cases); i++) {
            struct bio *bio = bare_bio(whole, 2048 + cases[i].sector, 0, WRITE);
            updateAM(bio, (int)MINOR(CONV_P1));
            bio_put(bio);
            u32 first, count = bits_set(&t.ams->map, &first);
            u32 expected = cases[i].block == 0xffffffff ? 0 : 1;
            if (count != expected || (expected && first != cases[i].block))
                kunit_fail(test, __FILE__, __LINE__,
                           "no bytes at partition sector %llu: %u blocks set, first %u",
                           (unsigned long long)cases[i].sector, count, first);
            if (count)
                unSetBlock(&t.ams->map, first);
        }
        KUNIT_EXPECT_EQ(test, atomic_read(&t.ams->users), 1);
        KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);
        bdput(whole);
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
    untrack_device(&t);
    test_disk_remove(CONV_MAJOR, 16, 1);
}

static struct kunit_case conversion_cases[] = {
    KUNIT_CASE(block_ranges_of_a_partition),
    KUNIT_CASE(partition_of_a_sector),
    KUNIT_CASE(empty_writes_in_the_automap),
    {},
};

static struct kunit_suite conversion_suite = {"bio_conversion", conversion_cases, "velmora"};
kunit_test_suite(conversion_suite);
