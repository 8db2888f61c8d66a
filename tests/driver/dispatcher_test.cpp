/*
 * The command dispatcher, called as the kernel calls it.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/machine.h>

#include "driver_test.h"

/* An address the process cannot read or write. */
#define BAD_ADDRESS ((void *)0x10)

static void every_command_is_counted(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    unsigned int v = 0;
    const unsigned int unknown[] = {
        VEL_IOC(VEL_IOC_WRITE, 11, 16), /* number 11 is not assigned */
        VEL_IOC(VEL_IOC_WRITE, 17, 4),  /* beyond the last command */
        0x40102B03,                     /* VEL_GET_STATE with type '+' */
        0x40142A03,                     /* VEL_GET_STATE with a wrong size */
        11,
    };
    for (unsigned int i = 0; i < ARRAY_SIZE(unknown); i++) {
        klog_clear();
        KUNIT_EXPECT_EQ(test, test_ioctl(&tf, unknown[i], &v), VEL_ERR_UNKNOWN_COMMAND);
        KUNIT_EXPECT_LOG(test, "velIOCTL: ioctl command not found");
    }
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_COMMAND_16, NULL), VEL_ERR_COMMAND_16);
    /* A record that cannot be read: 6, no message, and still counted. */
    klog_clear();
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_STATE, BAD_ADDRESS), VEL_ERR_COPY_FROM_USER);
    KUNIT_EXPECT_EQ(test, standin_klog_lines(), 0UL);
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_VERSION_MAJOR, &v), VEL_OK);
    KUNIT_EXPECT_EQ(test, atomic_read(&test_backup(&tf)->ioctlCount), 8);
    KUNIT_EXPECT_EQ(test, test_release(&tf), 0);
}

static void record_commands_copy_their_record_first(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    const unsigned int commands[] = {VEL_GET_BLOCK_SIZE, VEL_START_BACKUP,      VEL_SNAPSHOT,
                                     VEL_GET_STATE,      VEL_GET_AUTOMAP_STATE, VEL_LOAD_BLOCK_MAP,
                                     VEL_GET_AUTOMAP,    VEL_GET_DIRTY_BLOCK,   VEL_READ_BLOCKS};
    for (unsigned int i = 0; i < ARRAY_SIZE(commands); i++)
        KUNIT_EXPECT_EQ(test, test_ioctl(&tf, commands[i], BAD_ADDRESS), VEL_ERR_COPY_FROM_USER);
    /* The block-map commands also read the UserBlockMap their record names. */
    LoadBlockMap lbm = {(UserBlockMap *)BAD_ADDRESS, 16, 0};
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_LOAD_BLOCK_MAP, &lbm), VEL_ERR_COPY_FROM_USER);
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_AUTOMAP, &lbm), VEL_ERR_COPY_FROM_USER);
    test_release(&tf);
}

static void version_to_unwritable_address(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    klog_clear();
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_VERSION_MINOR, BAD_ADDRESS),
                    VEL_ERR_COPY_TO_USER);
    KUNIT_EXPECT_LOG(test, "velIOCTL: copy to user space failed");
    unsigned int major = 0, minor = 0;
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_VERSION_MAJOR, &major), VEL_OK);
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_VERSION_MINOR, &minor), VEL_OK);
    KUNIT_EXPECT_EQ(test, major, 3u);
    KUNIT_EXPECT_EQ(test, minor, 1u);
    test_release(&tf);
}

static void state_query_lengths(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    Backup *b = test_backup(&tf);
    b->diskInfo.kdev = MKDEV(8, 17);
    b->diskInfo.blockSize = 4096;
    b->maxVMPages = 256;
    velSetState(b, VEL_STATE_STARTED);

    unsigned char buf[100];
    memset(buf, 0xee, sizeof(buf));
    GetState gs = {(State *)buf, 8, 0};
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_STATE, &gs), VEL_OK);
    State *s = (State *)buf;
    KUNIT_EXPECT_EQ(test, s->major, 8u);
    KUNIT_EXPECT_EQ(test, s->minor, 17u);
    KUNIT_EXPECT_EQ(test, buf[8], 0xee); /* nothing past len */

    memset(buf, 0xee, sizeof(buf));
    gs.len = sizeof(buf);
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_STATE, &gs), VEL_OK);
    KUNIT_EXPECT_EQ(test, s->state, VEL_STATE_STARTED);
    KUNIT_EXPECT_EQ(test, s->blockSize, 4096);
    KUNIT_EXPECT_EQ(test, s->mmapSize, 256 * 4096);
    KUNIT_EXPECT_EQ(test, buf[20], 0xee); /* cut to the 20 bytes of State */

    klog_clear();
    gs.s = (State *)BAD_ADDRESS;
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_GET_STATE, &gs), VEL_ERR_COPY_TO_USER);
    KUNIT_EXPECT_LOG(test, "ioctlGetState: copy to user space failed");
    velSetState(b, VEL_STATE_IDLE);
    test_release(&tf);
}

static void refusals_before_init_and_without_record(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    atomic_set(&initDone, 0);
    struct test_file other;
    int open_result = test_open(&other);
    int ioctl_result = test_ioctl(&tf, VEL_COMMAND_16, NULL);
    atomic_set(&initDone, 1);
    KUNIT_EXPECT_EQ(test, open_result, -ENXIO);
    KUNIT_EXPECT_NULL(test, other.file.private_data);
    KUNIT_EXPECT_EQ(test, ioctl_result, VEL_ERR_NOT_READY);
    KUNIT_EXPECT_EQ(test, atomic_read(&test_backup(&tf)->ioctlCount), 0);

    Backup *b = test_backup(&tf);
    tf.file.private_data = NULL;
    KUNIT_EXPECT_EQ(test, test_ioctl(&tf, VEL_COMMAND_16, NULL), VEL_ERR_INVALID);
    KUNIT_EXPECT_EQ(test, test_release(&tf), 2);
    tf.file.private_data = b;
    KUNIT_EXPECT_EQ(test, test_release(&tf), 0);
}

static struct kunit_case dispatcher_cases[] = {
    KUNIT_CASE(every_command_is_counted),
    KUNIT_CASE(record_commands_copy_their_record_first),
    KUNIT_CASE(version_to_unwritable_address),
    KUNIT_CASE(state_query_lengths),
    KUNIT_CASE(refusals_before_init_and_without_record),
    {},
};

static struct kunit_suite dispatcher_suite = {"dispatcher", dispatcher_cases, "velmora"};
kunit_test_suite(dispatcher_suite);
