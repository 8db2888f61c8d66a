/*
 * Device geometry as getDiskInfo reads it from the mounted file system and
 * the partition records: the derived counts for each block size, a whole
 * disk, a size in KiB rounded down, the fields it must leave alone, and the
 * device reference that closeDiskInfo gives back.
 */
#include <kunit/test.h>

#include "tracking_test.h"

#define GEO_MAJOR 231
#define GEO_DISK STANDIN_MKDEV(GEO_MAJOR, 0)
#define GEO_P1 (GEO_DISK + 1)
#define GEO_P2 (GEO_DISK + 2)

static const struct test_part geo_parts[] = {{100, 4000}, {4100, 1001}};

static int marker_mrf(struct request_queue *q, struct bio *bio) {
    return 0;
}

static void derived_counts_for_each_block_size(struct kunit *test) {
    static const struct {
        unsigned int blockSize, blocksPerPage;
        int sectorsPerBlock, shift;
    } cases[] = {{4096, 1, 8, 3}, {2048, 2, 4, 2}, {1024, 4, 2, 1}, {512, 8, 1, 0}};
    KUNIT_ASSERT_EQ(test, test_disk_create("geo", GEO_MAJOR, 0, 8000, geo_parts, 1, 4096), 0);
    make_request_fn *marker = marker_mrf;
    for (unsigned int i = 0; i < ARRAY_SIZE(cases); i++) {
        standin_umount(GEO_P1);
        KUNIT_ASSERT_EQ(test, standin_mount(GEO_P1, "testfs", cases[i].blockSize), 0);
        DiskInfo di;
        memset(&di, 0x6b, sizeof(di));
        /* Set by the backup start, not by the geometry. */
        di.numBlocks = 777;
        di.realMRF = marker;
        KUNIT_ASSERT_EQ(test, getDiskInfo(&di, GEO_P1), 0);
        KUNIT_EXPECT_EQ(test, di.kdev, (dev_t)GEO_P1);
        KUNIT_EXPECT_EQ(test, di.blockSize, (int)cases[i].blockSize);
        KUNIT_EXPECT_EQ(test, di.blocksPerPage, cases[i].blocksPerPage);
        KUNIT_EXPECT_EQ(test, di.sectorsPerBlock, cases[i].sectorsPerBlock);
        KUNIT_EXPECT_EQ(test, di.sectorsPerBlockShift, cases[i].shift);
        KUNIT_EXPECT_EQ(test, di.partitionStart, (sector_t)100);
        KUNIT_EXPECT_EQ(test, di.partitionLen, (sector_t)4000);
        KUNIT_EXPECT_EQ(test, di.partitionSizeKB, (sector_t)2000);
        KUNIT_EXPECT_NULL(test, di.superBlock);
        KUNIT_EXPECT_EQ(test, di.numBlocks, (sector_t)777);
        KUNIT_EXPECT_TRUE(test, di.realMRF == marker);
        closeDiskInfo(&di);
    }
    test_disk_remove(GEO_MAJOR, 0, 1);
}

static void whole_disk_with_a_file_system(struct kunit *test) {
    /* One minor: a disk without partitions, its file system on the whole of it. */
    KUNIT_ASSERT_EQ(test, standin_ramdisk_create("geow", GEO_MAJOR, 32, 1, 3001), 0);
    const unsigned int dev = STANDIN_MKDEV(GEO_MAJOR, 32);
    if (standin_mount(dev, "testfs", 1024) == 0) {
        DiskInfo di;
        memset(&di, 0, sizeof(di));
        KUNIT_EXPECT_EQ(test, getDiskInfo(&di, dev), 0);
        KUNIT_EXPECT_EQ(test, di.partitionStart, (sector_t)0);
        KUNIT_EXPECT_EQ(test, di.partitionLen, get_capacity(di.bdev->bd_disk));
        KUNIT_EXPECT_EQ(test, di.partitionLen, (sector_t)3001);
        KUNIT_EXPECT_EQ(test, di.partitionSizeKB, (sector_t)1500);
        KUNIT_EXPECT_EQ(test, di.sectorsPerBlockShift, 1);
        closeDiskInfo(&di);
        standin_umount(dev);
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
    standin_disk_remove(dev);
}

static void odd_partition_rounds_down_to_kib(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, test_disk_create("geo", GEO_MAJOR, 0, 8000, geo_parts, 2, 2048), 0);
    DiskInfo di;
    memset(&di, 0, sizeof(di));
    KUNIT_EXPECT_EQ(test, getDiskInfo(&di, GEO_P2), 0);
    KUNIT_EXPECT_EQ(test, di.partitionStart, (sector_t)4100);
    KUNIT_EXPECT_EQ(test, di.partitionLen, (sector_t)1001);
    KUNIT_EXPECT_EQ(test, di.partitionSizeKB, (sector_t)500);
    closeDiskInfo(&di);
    test_disk_remove(GEO_MAJOR, 0, 2);
}

/* Every outcome leaves the device's reference count where it was once the
 * record is closed; the failures leave no super block held. */
static void close_gives_the_device_reference_back(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, test_disk_create("geo", GEO_MAJOR, 0, 8000, geo_parts, 1, 4096), 0);
    struct block_device *p1 = bdget(GEO_P1), *p2 = bdget(GEO_P2);
    const int p1Refs = atomic_read(&p1->bd_count), p2Refs = atomic_read(&p2->bd_count);
    DiskInfo di;
    memset(&di, 0, sizeof(di));
    KUNIT_EXPECT_EQ(test, getDiskInfo(&di, GEO_P1), 0);
    KUNIT_EXPECT_TRUE(test, di.bdev == p1);
    KUNIT_EXPECT_EQ(test, atomic_read(&p1->bd_count), p1Refs + 1);
    closeDiskInfo(&di);
    KUNIT_EXPECT_NULL(test, di.bdev);
    KUNIT_EXPECT_EQ(test, atomic_read(&p1->bd_count), p1Refs);

    /* Nothing mounted: 8, the device is named in the record all the same. */
    klog_clear();
    KUNIT_EXPECT_EQ(test, getDiskInfo(&di, GEO_P2), VEL_ERR_NO_FILE_SYSTEM);
    KUNIT_EXPECT_LOG(test,
                     "getDiskInfo: device major=231 minor=2 not found, getting super block "
                     "failed");
    KUNIT_EXPECT_TRUE(test, di.bdev == p2);
    KUNIT_EXPECT_EQ(test, di.kdev, (dev_t)GEO_P2);
    KUNIT_EXPECT_NULL(test, di.superBlock);
    closeDiskInfo(&di);
    KUNIT_EXPECT_EQ(test, atomic_read(&p2->bd_count), p2Refs);

    /* A block size below a sector: 3, and the super block is let go, so the
     * file system still unmounts. */
    standin_umount(GEO_P1);
    KUNIT_ASSERT_EQ(test, standin_mount(GEO_P1, "testfs", 256), 0);
    klog_clear();
    KUNIT_EXPECT_EQ(test, getDiskInfo(&di, GEO_P1), VEL_ERR_BAD_BLOCK_SIZE);
    KUNIT_EXPECT_LOG(test, "getDiskInfo: device e700001 has bad block size 256");
    KUNIT_EXPECT_EQ(test, klog_level("getDiskInfo: device e700001 has bad block size 256"), 4);
    KUNIT_EXPECT_NULL(test, di.superBlock);
    closeDiskInfo(&di);
    KUNIT_EXPECT_EQ(test, atomic_read(&p1->bd_count), p1Refs);
    KUNIT_EXPECT_EQ(test, standin_umount(GEO_P1), 0);
    bdput(p2);
    bdput(p1);
    test_disk_remove(GEO_MAJOR, 0, 1);
}

static struct kunit_case geometry_cases[] = {
    KUNIT_CASE(derived_counts_for_each_block_size),
    KUNIT_CASE(whole_disk_with_a_file_system),
    KUNIT_CASE(odd_partition_rounds_down_to_kib),
    KUNIT_CASE(close_gives_the_device_reference_back),
    {},
};

static struct kunit_suite geometry_suite = {"geometry", geometry_cases, "velmora"};
kunit_test_suite(geometry_suite);
