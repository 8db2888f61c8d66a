/*
 * The file operations of the control device. Each open file gets its own
 * Backup record, freed when the file is released.
 */
#include <linux/kernel.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "control_device.h"
#include "backup_lifecycle.h"
#include "shim-2.6.h"

struct file_operations velFileOps = {
    .read = velRead,
    .write = velWrite,
    .poll = velPoll,
    .ioctl = velIOCTL,
    .mmap = velMMAP,
    .open = velOpen,
    .release = velRelease,
};

/*
 * The kernel's open path takes 0 or a negative error, so the refusals are
 * handed to it as errors: not ready (-ENXIO), not privileged (-EPERM), no
 * memory (-ENOMEM), module going away (-ENODEV).
 *
 * An open file reads every block of every mounted file system and can stop
 * change tracking for all: only an administrator (CAP_SYS_ADMIN, what
 * freezing a file system needs too) may open one.
 */
int velOpen(struct inode *inode, struct file *file) {
    if (atomic_read(&initDone) != 1)
        return -ENXIO;
    if (!capable(CAP_SYS_ADMIN)) {
        printk(KERN_WARNING "%s: open refused: the caller lacks CAP_SYS_ADMIN\n", "velOpen");
        return -EPERM;
    }
    Backup *b = (Backup *)kmalloc(sizeof(Backup), GFP_KERNEL);
    if (!b)
        return -ENOMEM;
    memset(b, 0, sizeof(*b));
    sema_init(&b->bSem, 1);
    velSetState(b, VEL_STATE_IDLE);
    init_rwsem(&b->cacheUsers);
    init_rwsem(&b->writers);
    initBlockMap(&b->blockMap);
    initBlockMap(&b->cacheMap);
    atomic_set(&b->mrInQueue, 0);
    spin_lock_init(&b->mrLock);
    file->private_data = b;
    if (velModGet()) {
        /* The kernel does not release a file whose open failed. */
        file->private_data = NULL;
        kfree(b);
        return -ENODEV;
    }
    return 0;
}

int velRelease(struct inode *inode, struct file *file) {
    Backup *b = (Backup *)file->private_data;
    if (!b)
        return VEL_ERR_INVALID;
    file->private_data = NULL;
    closeBackup(b);
    velModPut();
    return VEL_OK;
}

ssize_t velRead(struct file *file, char __user *buf, size_t count, loff_t *ppos) {
    return 0;
}

ssize_t velWrite(struct file *file, const char __user *buf, size_t count, loff_t *ppos) {
    return 0;
}

unsigned int velPoll(struct file *file, struct poll_table_struct *wait) {
    return 0;
}
