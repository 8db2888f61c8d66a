/*
 * The file operations: each open gets its own idle record, holds a module
 * reference until release, and the no-op operations change nothing.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/machine.h>

#include "driver_test.h"

static void two_opens_two_records(struct kunit *test) {
    struct test_file a, b;
    int refs = standin_module_refcount("velmora");
    KUNIT_ASSERT_EQ(test, test_open(&a), 0);
    KUNIT_ASSERT_EQ(test, test_open(&b), 0);
    KUNIT_EXPECT_EQ(test, standin_module_refcount("velmora"), refs + 2);
    KUNIT_EXPECT_NE(test, test_backup(&a), test_backup(&b));
    KUNIT_EXPECT_EQ(test, velGetState(test_backup(&a)), VEL_STATE_IDLE);
    KUNIT_EXPECT_EQ(test, velGetState(test_backup(&b)), VEL_STATE_IDLE);
    KUNIT_EXPECT_EQ(test, test_backup(&a)->diskInfo.kdev, (dev_t)0);
    klog_clear();
    KUNIT_EXPECT_EQ(test, test_release(&a), 0);
    KUNIT_EXPECT_NULL(test, a.file.private_data);
    KUNIT_EXPECT_EQ(test, test_release(&b), 0);
    KUNIT_EXPECT_EQ(test, standin_module_refcount("velmora"), refs);
    /* An idle record goes without statistics. */
    KUNIT_EXPECT_EQ(test, klog_count_prefix("printStats:"), 0);
    KUNIT_EXPECT_EQ(test, klog_count_prefix("closeBackup:"), 0);
}

static void read_write_poll_do_nothing(struct kunit *test) {
    struct test_file tf;
    KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
    char buf[8] = "abcdefg";
    loff_t pos = 0;
    KUNIT_EXPECT_EQ(test, velRead(&tf.file, buf, sizeof(buf), &pos), (ssize_t)0);
    KUNIT_EXPECT_EQ(test, velWrite(&tf.file, buf, sizeof(buf), &pos), (ssize_t)0);
    KUNIT_EXPECT_EQ(test, velPoll(&tf.file, NULL), 0u);
    KUNIT_EXPECT_STREQ(test, buf, "abcdefg");
    KUNIT_EXPECT_EQ(test, pos, (loff_t)0);
    KUNIT_EXPECT_EQ(test, velGetState(test_backup(&tf)), VEL_STATE_IDLE);
    KUNIT_EXPECT_EQ(test, atomic_read(&test_backup(&tf)->ioctlCount), 0);
    test_release(&tf);
}

/* While the module is going away an open is refused and its record freed
 * (the unload that follows checks that nothing leaked). */
static void open_while_module_goes(struct kunit *test) {
    struct test_file tf;
    struct module *mod = THIS_MODULE;
    __atomic_store_n(&mod->state, MODULE_STATE_GOING, __ATOMIC_SEQ_CST);
    int r = test_open(&tf);
    __atomic_store_n(&mod->state, MODULE_STATE_LIVE, __ATOMIC_SEQ_CST);
    KUNIT_EXPECT_EQ(test, r, -ENODEV);
    KUNIT_EXPECT_NULL(test, tf.file.private_data);
}

static struct kunit_case fileops_cases[] = {
    KUNIT_CASE(two_opens_two_records),
    KUNIT_CASE(read_write_poll_do_nothing),
    KUNIT_CASE(open_while_module_goes),
    {},
};

static struct kunit_suite fileops_suite = {"fileops", fileops_cases, "velmora"};
kunit_test_suite(fileops_suite);
