/*
 * The snapshot: decide what becomes of the device's automap session, hook
 * the queue, and switch the backup to copy-on-write while the file system is
 * frozen, handing the session's bits to the backup.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/err.h>
#include <linux/random.h>
#include <linux/string.h>
#include <linux/time.h>
#include <asm/uaccess.h>

#include "snapshot.h"
#include "queue_registry.h"
#include "automap.h"
#include "backup.h"
#include "hook_policy.h"
#include "map_transfer.h"
#include "user_count.h"

enum SnapCase { SNAP_NONE, SNAP_CREATE, SNAP_LOAD };
/* chooseSession: no refusal, the snapshot goes on. */
#define SNAP_GO_ON (-1)

static struct timespec calcTimeDiff(struct timespec *start, struct timespec *end) {
    struct timespec diff;
    diff.tv_sec = end->tv_sec - start->tv_sec;
    diff.tv_nsec = end->tv_nsec - start->tv_nsec;
    if (diff.tv_nsec < 0) {
        diff.tv_nsec += NSEC_PER_SEC;
        diff.tv_sec -= 1;
    }
    return diff;
}

int ioctlSync(Backup *b) {
    if (b->diskInfo.bdev)
        fsync_bdev(b->diskInfo.bdev);
    return VEL_OK;
}

/*
 * An in-sync session has recorded every write only if the device is still
 * tracked where its disk's queue now is, at the sectors it now has: a disk
 * pulled out and put back brings a queue the hook never saw, and a rescan
 * may move the partition. Without a queue (no disk open) nothing can have
 * been written, and the freeze refuses the snapshot anyway.
 */
static int sessionSawEveryWrite(Backup *b) {
    struct request_queue *q = getRequestQueue(&b->diskInfo);
    return !q || isTrackedAs(q, &b->diskInfo);
}

/* Step one: what happens to the session. Returns a status, or SNAP_GO_ON
 * with *kase and, for a session, a reference in *out. */
static int chooseSession(Backup *b, const AMSessionKey *key, enum SnapCase *kase,
                         AutoMapSession **out) {
    AutoMapSession *ams = getAMS(b->diskInfo.kdev);
    *out = NULL;
    *kase = b->noStartAutoMap == 1 ? SNAP_NONE : SNAP_CREATE;
    if (ams) {
        if (b->noStartAutoMap == 1 || velGetState(ams) != VEL_AMS_IN_SYNC ||
            b->noLoadFromAutoMap == 1) {
            putAMS(ams);
            closeAMS(b);
        } else if (memcmp(key->key, ams->sessionKey.key, sizeof(key->key)) != 0) {
            printk(KERN_ERR "%s: session key mismatch%s", "ioctlSnapShot", "\n");
            putAMS(ams);
            /* Nothing was taken: a refusal must not read as success. */
            return VEL_ERR_INVALID;
        } else if (!sessionSawEveryWrite(b)) {
            printk(KERN_WARNING
                   "%s: device major=%d minor=%d is not where its automap tracked it, "
                   "resetting automap\n",
                   "ioctlSnapShot", MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
            velSetState(ams, VEL_AMS_NOT_IN_SYNC);
            putAMS(ams);
            closeAMS(b);
        } else if (ams->map.size != b->diskInfo.numBlocks) {
            printk(KERN_WARNING
                   "%s: device resize detected, device has (%u) blocks and automap "
                   "has (%u), resetting automap\n",
                   "ioctlSnapShot", (u32)b->diskInfo.numBlocks, ams->map.size);
            velSetState(ams, VEL_AMS_NOT_IN_SYNC);
            putAMS(ams);
            closeAMS(b);
        } else {
            *kase = SNAP_LOAD;
            *out = ams;
        }
    }
    if (*kase == SNAP_CREATE) {
        int r = newAMS(b, out);
        if (r) {
            printk(KERN_ERR "%s: new automap failed%s", "ioctlSnapShot", "\n");
            return r;
        }
        usersIn(&(*out)->usersLock, &(*out)->users);
    }
    return SNAP_GO_ON;
}

/*
 * The switch, with the file system frozen and `writers` held for writing.
 * Returns 1 when the session fell out of sync after the decision to load it:
 * it missed a write, so its bits are not the whole change and the backup must
 * not take them (the session stays out of sync).
 */
static int switchToCopyOnWrite(Backup *b, AutoMapSession *ams, enum SnapCase kase) {
    int missed = 0;
    if (!ams) {
        velSetState(b, VEL_STATE_SNAPSHOT);
        return 0;
    }
    unsigned long amsFlags, bmFlags, smFlags;
    /* Our own reference stays: it keeps the session alive across the switch. */
    drainUsersTo(&ams->usersLock, &ams->users, 2, &amsFlags);
    if (kase == SNAP_LOAD && velGetState(ams) == VEL_AMS_IN_SYNC) {
        waitForBlockMapUsers(&b->blockMap, &bmFlags);
        waitForBlockMapUsers(&ams->map, &smFlags);
        struct page **pages = b->blockMap.map;
        b->blockMap.map = ams->map.map;
        ams->map.map = pages;
        usersRelease(&ams->map.usersLock, &ams->map.users, smFlags);
        usersRelease(&b->blockMap.usersLock, &b->blockMap.users, bmFlags);
    } else if (kase == SNAP_LOAD) {
        missed = 1;
    } else {
        velSetState(ams, VEL_AMS_IN_SYNC);
    }
    velSetState(b, VEL_STATE_SNAPSHOT);
    usersRelease(&ams->usersLock, &ams->users, amsFlags);
    return missed;
}

/* Hooks the queue, then switches to copy-on-write with the file system
 * frozen; the caller holds a reference on the session, if there is one. */
static int freezeAndSwitch(Backup *b, AutoMapSession *ams, enum SnapCase kase) {
    if (hookForSnapshot(b)) {
        printk(KERN_ERR "%s: device major=%d minor=%d not valid\n", "ioctlSnapShot",
               MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
        return VEL_ERR_INVALID;
    }
    struct block_device *bdev = b->diskInfo.bdev;
    printk(KERN_ERR "%s: Going to freez: %d.%d\n", "ioctlSnapShot", MAJOR(bdev->bd_dev),
           MINOR(bdev->bd_dev));
    struct timespec freezeTime = current_kernel_time();
    struct super_block *freezeSB = freeze_bdev(bdev);
    struct timespec afterFreezeTime = current_kernel_time();
    /* A freeze that failed with an error pointer froze nothing either. */
    if (!freezeSB || IS_ERR(freezeSB)) {
        thaw_bdev(bdev, NULL);
        printk(KERN_ERR "%s: freeze_bdev could not freeze the device.%s", "ioctlSnapShot", "\n");
        return VEL_ERR_INVALID;
    }
    down_write(&b->writers);
    if (switchToCopyOnWrite(b, ams, kase))
        closeBUBlockMap(b);
    up_write(&b->writers);
    thaw_bdev(bdev, freezeSB);
    struct timespec thawTime = current_kernel_time();
    b->eTimeToFreeze = calcTimeDiff(&freezeTime, &afterFreezeTime);
    b->eTimeFrozen = calcTimeDiff(&freezeTime, &thawTime);
    return VEL_OK;
}

static int snapShot(Backup *b, AMSessionKey __user *userKey, unsigned int keyLen) {
    AMSessionKey key;
    memset(&key, 0, sizeof(key));
    if (velGetState(b) != VEL_STATE_STARTED)
        return VEL_ERR_INVALID;
    /* A map left in the backup by an earlier attempt is released whatever
     * this one does: only a snapshot that loads a session may hand one out. */
    closeBUBlockMap(b);
    if (copy_from_user(&key, userKey, min(keyLen, (unsigned int)sizeof(key)))) {
        printk(KERN_ERR "%s: copy from user space %s\n", "ioctlSnapShot", "failed");
        return VEL_ERR_COPY_FROM_USER;
    }
    enum SnapCase kase;
    AutoMapSession *ams;
    int r = chooseSession(b, &key, &kase, &ams);
    if (r != SNAP_GO_ON)
        return r;
    if (kase == SNAP_LOAD) {
        int numPages;
        r = newBlockMap(&b->blockMap, ams->map.size, NULL, BLOCKMAP_ZEROED, &numPages);
        if (r) {
            putAMS(ams);
            printk(KERN_ERR "%s: failed to create new device map%s", "ioctlSnapShot", "\n");
            return r;
        }
        atomic_add(numPages, &b->totalAllocPages);
        atomic_add(numPages, &b->curAllocPages);
    }
    if (ams) {
        memset(ams->sessionKey.key, 0xFF, sizeof(ams->sessionKey.key));
        for (unsigned int i = 0; i < sizeof(ams->sessionKey.key); i++)
            get_random_bytes(&ams->sessionKey.key[i], 1);
    }
    r = freezeAndSwitch(b, ams, kase);
    if (ams)
        putAMS(ams);
    return r;
}

int ioctlSnapShot(Backup *b, AMSessionKey __user *userKey, unsigned int keyLen) {
    down(&b->bSem);
    int r = snapShot(b, userKey, keyLen);
    up(&b->bSem);
    return r;
}
