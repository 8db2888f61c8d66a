/*
 * The command dispatcher: copies each command's record in, calls its
 * handler, and answers the small commands itself.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/string.h>
#include <asm/uaccess.h>

#include "control_device.h"
#include "backup_lifecycle.h"
#include "map_transfer.h"
#include "read_commands.h"
#include "snapshot.h"

static int commandNotFound(void) {
    printk(KERN_ERR "%s: ioctl command not found%s", "velIOCTL", "\n");
    return VEL_ERR_UNKNOWN_COMMAND;
}

static int putVersion(unsigned long arg, unsigned int value) {
    if (copy_to_user((void __user *)arg, &value, sizeof(value))) {
        printk(KERN_ERR "%s: copy to user space %s\n", "velIOCTL", "failed");
        return VEL_ERR_COPY_TO_USER;
    }
    return VEL_OK;
}

/* Copies a command record in; a record that cannot be read in full is
 * refused without a message. */
#define COPY_RECORD(rec, arg)                                                \
    do {                                                                     \
        if (copy_from_user(&(rec), (const void __user *)(arg), sizeof(rec))) \
            return VEL_ERR_COPY_FROM_USER;                                   \
    } while (0)

/* The device number of a command; a major or minor that does not fit in a
 * device number would name another device, so it is refused. */
static int commandDevice(unsigned int major, unsigned int minor, dev_t *kdev) {
    if (major > (0xFFFFFFFFu >> MINORBITS) || minor > MINORMASK) {
        printk(KERN_ERR "%s: device major=%u minor=%u not valid\n", "velIOCTL", major, minor);
        return VEL_ERR_INVALID;
    }
    *kdev = MKDEV(major, minor);
    return VEL_OK;
}

/*
 * The shutdown command ends every device's change tracking; it is refused
 * while a backup runs, whose copy-on-write hook it would take away. It holds
 * the busy flag while it works, so no backup can start under it either: such
 * a start is refused as one beside another backup is.
 */
static int shutdownCommand(void) {
    unsigned long flags;
    spin_lock_irqsave(&busyLock, flags);
    int running = atomic_read(&busy);
    if (!running)
        atomic_set(&busy, 1);
    spin_unlock_irqrestore(&busyLock, flags);
    if (running) {
        printk(KERN_ERR "%s: a backup is running, change tracking not shut down%s", "velIOCTL",
               "\n");
        return VEL_ERR_OTHER_BACKUP;
    }
    int r = velShutdown();
    spin_lock_irqsave(&busyLock, flags);
    atomic_set(&busy, 0);
    spin_unlock_irqrestore(&busyLock, flags);
    return r;
}

int velIOCTL(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg) {
    if (atomic_read(&initDone) != 1)
        return VEL_ERR_NOT_READY;
    Backup *b = (Backup *)file->private_data;
    if (!b)
        return VEL_ERR_INVALID;
    atomic_inc(&b->ioctlCount);

    dev_t kdev;
    switch (cmd) {
        case VEL_GET_BLOCK_SIZE: {
            GetBlockSize rec;
            COPY_RECORD(rec, arg);
            if (commandDevice(rec.major, rec.minor, &kdev))
                return VEL_ERR_INVALID;
            return ioctlGetBlockSize(b, kdev, rec.bs, rec.len);
        }
        case VEL_START_BACKUP: {
            StartBackup rec;
            COPY_RECORD(rec, arg);
            if (commandDevice(rec.major, rec.minor, &kdev))
                return VEL_ERR_INVALID;
            return ioctlStartBackup(b, kdev, rec.totalBlocks, rec.maxCacheBlocks);
        }
        case VEL_SNAPSHOT: {
            SnapShot rec;
            COPY_RECORD(rec, arg);
            return ioctlSnapShot(b, rec.amsKey, rec.len);
        }
        case VEL_GET_STATE: {
            GetState rec;
            COPY_RECORD(rec, arg);
            return ioctlGetState(b, rec.s, rec.len);
        }
        case VEL_GET_AUTOMAP_STATE: {
            GetAutoMapState rec;
            COPY_RECORD(rec, arg);
            return ioctlGetAutoMapState(b, rec.ams, rec.len);
        }
        case VEL_LOAD_BLOCK_MAP:
        case VEL_GET_AUTOMAP: {
            /* Both records name the caller's UserBlockMap, read in full. */
            LoadBlockMap rec;
            UserBlockMap ubm;
            COPY_RECORD(rec, arg);
            COPY_RECORD(ubm, rec.bm);
            return cmd == VEL_LOAD_BLOCK_MAP ? ioctlLoadBlockMap(b, &ubm)
                                             : ioctlGetAutoMap(b, &ubm);
        }
        case VEL_GET_DIRTY_BLOCK: {
            DirtyBlock rec;
            COPY_RECORD(rec, arg);
            return ioctlGetDirtyBlock(b, rec.blockNum);
        }
        case VEL_READ_BLOCKS: {
            ReadBlocks rec;
            COPY_RECORD(rec, arg);
            return ioctlReadBlocks(b, rec.startBlockNum, rec.numBlocks, rec.data);
        }
        case VEL_NO_LOAD_FROM_AUTOMAP:
            return ioctlNoLoadFromAutoMap(b);
        case VEL_NO_START_AUTOMAP:
            return ioctlNoStartAutoMap(b);
        case VEL_SYNC:
            return ioctlSync(b);
        case VEL_SHUTDOWN:
            return shutdownCommand();
        case VEL_GET_VERSION_MAJOR:
            return putVersion(arg, VEL_VERSION_MAJOR);
        case VEL_GET_VERSION_MINOR:
            return putVersion(arg, VEL_VERSION_MINOR);
        case VEL_COMMAND_16:
            return VEL_ERR_COMMAND_16;
        default:
            return commandNotFound();
    }
}

int ioctlGetState(Backup *b, State __user *s, unsigned int len) {
    State st;
    memset(&st, 0, sizeof(st));
    down(&b->bSem);
    st.major = MAJOR(b->diskInfo.kdev);
    st.minor = MINOR(b->diskInfo.kdev);
    st.state = velGetState(b);
    st.blockSize = b->diskInfo.blockSize;
    st.mmapSize = b->maxVMPages * (int)PAGE_SIZE;
    up(&b->bSem);
    if (copy_to_user(s, &st, min(len, (unsigned int)sizeof(st)))) {
        printk(KERN_ERR "%s: copy to user space %s\n", __func__, "failed");
        return VEL_ERR_COPY_TO_USER;
    }
    return VEL_OK;
}
