/*
 * Helpers for in-kernel tests of the driver: a file of the control device
 * opened straight through the driver's file operations.
 */
#ifndef VELMORA_DRIVER_TEST_H
#define VELMORA_DRIVER_TEST_H

#include <linux/fs.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <kunit/test.h>

#include "vellib.h"

struct test_file {
    struct inode inode;
    struct dentry dentry;
    struct file file;
};

static inline int test_open(struct test_file *tf) {
    memset(tf, 0, sizeof(*tf));
    tf->inode.i_rdev = MKDEV(VEL_DEVICE_MAJOR, 0);
    tf->dentry.d_inode = &tf->inode;
    tf->file.f_dentry = &tf->dentry;
    tf->file.f_op = &velFileOps;
    return velOpen(&tf->inode, &tf->file);
}

static inline Backup *test_backup(struct test_file *tf) {
    return (Backup *)tf->file.private_data;
}

static inline int test_ioctl(struct test_file *tf, unsigned int cmd, const void *arg) {
    return velIOCTL(&tf->inode, &tf->file, cmd, (unsigned long)arg);
}

static inline int test_release(struct test_file *tf) {
    return velRelease(&tf->inode, &tf->file);
}

#endif
