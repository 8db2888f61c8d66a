/*
 * Tracked devices whose disk the kernel has closed: an unmounted partition
 * loses its disk (bd_disk) until it is opened again, and the last close of a
 * whole disk writes its dirty pages back while holding the disk's mutex.
 * Tracking must go on through both, a start refused on such a device must
 * leave nothing for its release to undo, and shutdown must still unhook.
 */
#include <kunit/test.h>
#include <standin/bdev.h>

#include "tracking_test.h"

#define CD_MAJOR 237
#define CD_DISK STANDIN_MKDEV(CD_MAJOR, 0)

static const struct test_part cd_parts[] = {{64, 8000}, {8064, 8000}};

static int velmora_ioctl(unsigned int cmd, const void *arg) {
    struct test_file tf;
    if (test_open(&tf))
        return -1;
    int r = test_ioctl(&tf, cmd, arg);
    test_release(&tf);
    return r;
}

static void tracking_outlives_the_close_of_its_disk(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, test_disk_create("cd", CD_MAJOR, 0, 20000, cd_parts, 2, 4096), 0);
    struct request_queue *q = queue_of(CD_DISK);
    make_request_fn *own = current_mrf(q);
    struct tracked p1, p2;
    memset(&p1, 0, sizeof(p1));
    memset(&p2, 0, sizeof(p2));
    if (track_device(&p1, CD_DISK + 1, 0, velAMRF) || track_device(&p2, CD_DISK + 2, 0, velAMRF)) {
        KUNIT_EXPECT_TRUE(test, false);
        goto out;
    }
    KUNIT_ASSERT_EQ(test, standin_umount(CD_DISK + 1), 0);
    {
        struct block_device *closed = bdget(CD_DISK + 1);
        KUNIT_EXPECT_NULL(test, closed->bd_disk);
        bdput(closed);
    }

    /* Refused for want of a file system; its release touches no queue. */
    {
        StartBackup rec = {CD_MAJOR, 1, 1000, 10};
        KUNIT_EXPECT_EQ(test, velmora_ioctl(VEL_START_BACKUP, &rec), VEL_ERR_NO_FILE_SYSTEM);
    }
    KUNIT_EXPECT_EQ(test, velGetState(p1.ams), VEL_AMS_IN_SYNC);
    KUNIT_EXPECT_EQ(test, velGetState(p2.ams), VEL_AMS_IN_SYNC);
    KUNIT_EXPECT_TRUE(test, current_mrf(q) == velAMRF);

    /* With neither partition open, a tool writes blocks of both through the
     * whole disk and closes it: the last close writes them back, through
     * the hook, under the disk's mutex. */
    KUNIT_ASSERT_EQ(test, standin_umount(CD_DISK + 2), 0);
    {
        int h = standin_bdev_open(CD_DISK);
        KUNIT_ASSERT_GE(test, h, 0);
        char block[4096];
        memset(block, 0x5a, sizeof(block));
        KUNIT_EXPECT_EQ(test, standin_bdev_write(h, (64ULL + 2 * 8) * 512, block, sizeof(block)),
                        0);
        KUNIT_EXPECT_EQ(test, standin_bdev_write(h, (8064ULL + 8) * 512, block, sizeof(block)), 0);
        KUNIT_EXPECT_EQ(test, peek_bit(&p1.ams->map, 2), 0);
        KUNIT_EXPECT_EQ(test, standin_bdev_close(h), 0);
    }
    KUNIT_EXPECT_NE(test, peek_bit(&p1.ams->map, 2), 0);
    KUNIT_EXPECT_NE(test, peek_bit(&p2.ams->map, 1), 0);

    /* Shutdown hands the queue its own function back all the same. */
    KUNIT_EXPECT_EQ(test, velmora_ioctl(VEL_SHUTDOWN, NULL), VEL_OK);
    KUNIT_EXPECT_TRUE(test, current_mrf(q) == own);
    KUNIT_EXPECT_EQ(test, queue_nodes(), 0);
    KUNIT_EXPECT_NULL(test, slot_of(CD_DISK + 1));
out:
    untrack_device(&p1);
    untrack_device(&p2);
    test_disk_remove(CD_MAJOR, 0, 2);
}

static struct kunit_case closed_disk_cases[] = {
    KUNIT_CASE(tracking_outlives_the_close_of_its_disk),
    {},
};

static struct kunit_suite closed_disk_suite = {"closed_disk", closed_disk_cases, "velmora"};
kunit_test_suite(closed_disk_suite);
