/*
 * Freezing a block device's file system: freeze_bdev marks the super block
 * frozen, so new writes wait, and calls the file system's freeze operation
 * (write_super_lockfs; freeze_fs from 2.6.29), which waits for the writes
 * already accepted, writes the dirty blocks back and waits for its bios in
 * flight; the super block it returns keeps a reference until thaw_bdev. From
 * 2.6.29 freezes nest (bd_fsfreeze_count) and freeze_fs may fail, which
 * freeze_bdev returns as an error pointer; before, a second freezer waits for
 * the thaw (bd_mount_sem).
 *
 * The freeze gives s_umount back before it returns, so no lock is held from
 * one call to the other; an unmount still waits for the thaw (see super.cpp).
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/err.h>
#include <linux/mutex.h>
#include <linux/semaphore.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "internal.h"

static void set_frozen(struct super_block *sb, int level) {
    __atomic_store_n(&sb->s_frozen, level, __ATOMIC_RELEASE);
}

/* The writers the freeze held go on. */
static void wake_unfrozen(struct super_block *sb) {
    set_frozen(sb, SB_UNFROZEN);
    wake_up(&sb->s_wait_unfrozen);
}

/* The super block mounted on bdev, frozen, with a reference; NULL if none. */
static struct super_block *freeze_super_of(struct block_device *bdev, int *error) {
    struct super_block *sb = get_super(bdev);
    *error = 0;
    if (!sb)
        return NULL;
    /* New writes wait from here; the file system's own freeze drains and
     * writes back what it holds, so there is no sync of ours before it. */
    set_frozen(sb, SB_FREEZE_WRITE);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    if (sb->s_op->freeze_fs)
        *error = sb->s_op->freeze_fs(sb);
    if (*error) {
        printk("<3>VFS:Filesystem freeze failed\n");
        wake_unfrozen(sb);
        drop_super(sb);
        return NULL;
    }
#else
    if (sb->s_op->write_super_lockfs)
        sb->s_op->write_super_lockfs(sb);
#endif
    set_frozen(sb, SB_FREEZE_TRANS);
    up_read(&sb->s_umount);
    return sb;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
extern "C" struct super_block *freeze_bdev(struct block_device *bdev) {
    might_sleep();
    mutex_lock(&bdev->bd_fsfreeze_mutex);
    if (++bdev->bd_fsfreeze_count > 1) {
        /* Frozen already: one more reference for the thaw to drop. */
        struct super_block *sb = get_super(bdev);
        if (sb)
            up_read(&sb->s_umount);
        mutex_unlock(&bdev->bd_fsfreeze_mutex);
        return sb;
    }
    int error;
    struct super_block *sb = freeze_super_of(bdev, &error);
    if (error) {
        bdev->bd_fsfreeze_count--;
        mutex_unlock(&bdev->bd_fsfreeze_mutex);
        return (struct super_block *)ERR_PTR(error);
    }
    mutex_unlock(&bdev->bd_fsfreeze_mutex);
    return sb;
}

extern "C" int thaw_bdev(struct block_device *bdev, struct super_block *sb) {
    mutex_lock(&bdev->bd_fsfreeze_mutex);
    if (!bdev->bd_fsfreeze_count) {
        mutex_unlock(&bdev->bd_fsfreeze_mutex);
        return -EINVAL;
    }
    if (--bdev->bd_fsfreeze_count == 0 && sb) {
        int error = sb->s_op->unfreeze_fs ? sb->s_op->unfreeze_fs(sb) : 0;
        if (error) {
            /* Still frozen, as the file system says. */
            printk("<3>VFS:Filesystem thaw failed\n");
            bdev->bd_fsfreeze_count++;
            mutex_unlock(&bdev->bd_fsfreeze_mutex);
            return error;
        }
        wake_unfrozen(sb);
    }
    if (sb)
        put_super(sb);
    mutex_unlock(&bdev->bd_fsfreeze_mutex);
    return 0;
}
#else
extern "C" struct super_block *freeze_bdev(struct block_device *bdev) {
    might_sleep();
    down(&bdev->bd_mount_sem); /* thaw_bdev gives it back */
    int error;
    return freeze_super_of(bdev, &error);
}

extern "C" void thaw_bdev(struct block_device *bdev, struct super_block *sb) {
    if (sb) {
        if (sb->s_op->unlockfs)
            sb->s_op->unlockfs(sb);
        wake_unfrozen(sb);
        put_super(sb);
    }
    up(&bdev->bd_mount_sem);
}
#endif

extern "C" int fsync_bdev(struct block_device *bdev) {
    struct super_block *sb = get_super(bdev);
    if (!sb)
        return 0;
    int ret = sb->s_op->sync_fs ? sb->s_op->sync_fs(sb, 1) : 0;
    drop_super(sb);
    return ret;
}

/* Freezes made from the host, remembered until their thaw. */
#define MAX_HOST_FREEZES 16

struct host_freeze {
    unsigned int dev;
    struct block_device *bdev;
    struct super_block *sb;
};

static struct host_mutex host_freezes_lock;
static struct host_freeze host_freezes[MAX_HOST_FREEZES];

extern "C" int standin_fs_freeze(unsigned int dev) {
    struct block_device *bdev = bdget(dev);
    struct super_block *sb = freeze_bdev(bdev);
    if (IS_ERR(sb)) {
        bdput(bdev);
        return (int)PTR_ERR(sb);
    }
    if (!sb) {
        thaw_bdev(bdev, NULL); /* a freeze of nothing still counts, or holds the semaphore */
        bdput(bdev);
        return -ENODEV;
    }
    host_mutex_lock(&host_freezes_lock);
    for (int i = 0; i < MAX_HOST_FREEZES; i++) {
        if (!host_freezes[i].bdev) {
            host_freezes[i].dev = dev;
            host_freezes[i].bdev = bdev;
            host_freezes[i].sb = sb;
            host_mutex_unlock(&host_freezes_lock);
            return 0;
        }
    }
    kernel_die("BUG: more than %d freezes from the host at once\n", MAX_HOST_FREEZES);
}

extern "C" int standin_fs_thaw(unsigned int dev) {
    struct host_freeze f = {0, NULL, NULL};
    host_mutex_lock(&host_freezes_lock);
    for (int i = MAX_HOST_FREEZES - 1; i >= 0 && !f.bdev; i--) {
        if (host_freezes[i].bdev && host_freezes[i].dev == dev) {
            f = host_freezes[i];
            memset(&host_freezes[i], 0, sizeof(host_freezes[i]));
        }
    }
    host_mutex_unlock(&host_freezes_lock);
    if (!f.bdev)
        return -EINVAL;
    int ret = 0;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    ret = thaw_bdev(f.bdev, f.sb);
#else
    thaw_bdev(f.bdev, f.sb);
#endif
    bdput(f.bdev);
    return ret;
}

extern "C" int standin_fs_sync(unsigned int dev) {
    struct block_device *bdev = bdget(dev);
    int ret = fsync_bdev(bdev);
    bdput(bdev);
    return ret;
}
