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
#include "internal.h"

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

/* The two stand for system calls, so the lock validator sees the task come
 * in from user space and go back to it: a semaphore held across is an event
 * (a start's hold on the cache thread's), anything else a bug. */
static inline int test_ioctl(struct test_file *tf, unsigned int cmd, const void *arg) {
    lockdep_sys_exit();
    int r = velIOCTL(&tf->inode, &tf->file, cmd, (unsigned long)arg);
    lockdep_sys_exit();
    return r;
}

static inline int test_release(struct test_file *tf) {
    lockdep_sys_exit();
    int r = velRelease(&tf->inode, &tf->file);
    lockdep_sys_exit();
    return r;
}

#endif
