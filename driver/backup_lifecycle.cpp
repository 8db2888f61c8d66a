/*
 * The start and the end of a backup on one open file of the control device.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/string.h>

#include "backup_lifecycle.h"
#include "hook_policy.h"
#include "map_transfer.h"
#include "queue_registry.h"
#include "stats.h"
#include "user_count.h"

static void releaseBusy(Backup *b) {
    unsigned long flags;
    spin_lock_irqsave(&busyLock, flags);
    if (atomic_read(&busy) == 1)
        atomic_set(&busy, 0);
    spin_unlock_irqrestore(&busyLock, flags);
    b->ownsBusy = 0;
}

/* Everything after the geometry; the record keeps what it got on failure. */
static int buildBackup(Backup *b, dev_t kdev) {
    int r;
    velSetState(b, VEL_STATE_STARTING);
    ACCESS_ONCE(b->maxVMPages) =
        min(MAX_VMA_PAGES, b->diskInfo.blockSize * MAX_VMA_BLOCKS / (int)PAGE_SIZE);
    wmb();
    if (newBlockTable(b))
        return VEL_ERR_NO_MEMORY;
    r = startWorkQueue(b);
    if (r)
        return r;
    allocateBRCache(b);
    snprintf(b->cpCacheName, sizeof(b->cpCacheName), "velCP%02x%02x", MAJOR(kdev), MINOR(kdev));
    b->cpCache =
        createSlabCache(b->cpCacheName, sizeof(CachePage) + 4 * (b->diskInfo.blocksPerPage - 1));
    if (b->cpCache) {
        snprintf(b->dataCacheName, sizeof(b->dataCacheName), "velDC%02x%02x", MAJOR(kdev),
                 MINOR(kdev));
        b->dataCache = createSlabCache(b->dataCacheName, (size_t)b->diskInfo.blockSize);
    }
    if (!b->cpCache || !b->dataCache) {
        printk(KERN_ERR "%s: kmem_cache_create failed during backup start major=%d minor=%d\n",
               "ioctlStartBackup", MAJOR(kdev), MINOR(kdev));
        return VEL_ERR_NO_MEMORY;
    }
    r = newCacheMap(b);
    if (r)
        return r;
    b->diskInfo.realMRF = getRealMRF(getRequestQueue(&b->diskInfo));
    if (!b->diskInfo.realMRF) {
        printk(KERN_ERR "%s: error getting real MRF for major=%d minor=%d\n", "ioctlStartBackup",
               MAJOR(kdev), MINOR(kdev));
        return VEL_ERR_NO_REAL_FUNCTION;
    }
    r = allocateBlockRequests(b);
    if (r)
        return r;
    ACCESS_ONCE(activeSession) = b;
    velSetState(b, VEL_STATE_STARTED);
    printk(KERN_INFO "%s: backup started for device major=%d minor=%d\n", "ioctlStartBackup",
           MAJOR(kdev), MINOR(kdev));
    return VEL_OK;
}

/*
 * The maps of a backup and of its automap session are sized by the agent's
 * count of blocks: one beyond the device would only cost kernel memory (up
 * to 512 MiB for each map) for blocks that cannot be read.
 */
static int checkTotalBlocks(DiskInfo *di) {
    u64 deviceBlocks = (u64)di->partitionLen / (u64)di->sectorsPerBlock;
    if ((u64)di->numBlocks <= deviceBlocks)
        return VEL_OK;
    printk(KERN_ERR "%s: device major=%d minor=%d has (%llu) blocks, not (%llu)\n",
           "ioctlStartBackup", MAJOR(di->kdev), MINOR(di->kdev), (unsigned long long)deviceBlocks,
           (unsigned long long)di->numBlocks);
    return VEL_ERR_INVALID;
}

int ioctlStartBackup(Backup *b, dev_t kdev, u32 totalBlocks, u32 maxCacheBlocks) {
    unsigned long flags;
    int r;
    /* Its automap session would have no slot: refused before anything starts. */
    if (!amListHasSlot(kdev)) {
        printk(KERN_ERR "%s: device major=%d minor=%d not valid\n", __func__, MAJOR(kdev),
               MINOR(kdev));
        return VEL_ERR_INVALID;
    }
    down(&b->bSem);
    /* A file that already started (or was refused) is not idle; it is
     * refused without touching the backup that holds busy, even its own. */
    if (velGetState(b) != VEL_STATE_IDLE) {
        printk(KERN_ERR
               "%s: tried to start backup on device major=%d minor=%d that is already busy\n",
               __func__, MAJOR(kdev), MINOR(kdev));
        up(&b->bSem);
        return VEL_ERR_NOT_IDLE;
    }
    spin_lock_irqsave(&busyLock, flags);
    if (atomic_read(&busy) == 1) {
        spin_unlock_irqrestore(&busyLock, flags);
        velSetState(b, VEL_STATE_REFUSED);
        printk(KERN_ERR
               "%s: another backup operation is open can't start backup on device "
               "major=%d minor=%d\n",
               __func__, MAJOR(kdev), MINOR(kdev));
        up(&b->bSem);
        return VEL_ERR_OTHER_BACKUP;
    }
    atomic_set(&busy, 1);
    spin_unlock_irqrestore(&busyLock, flags);
    b->ownsBusy = 1;

    b->maxCacheBlocks = maxCacheBlocks;
    b->diskInfo.numBlocks = totalBlocks;
    r = getDiskInfo(&b->diskInfo, kdev);
    if (!r)
        r = checkTotalBlocks(&b->diskInfo);
    if (r) {
        /* Nothing was built: the file stays idle, with no device its release
         * could act on, and busy is free again, so the agent can retry on
         * this file or another. */
        closeDiskInfo(&b->diskInfo);
        memset(&b->diskInfo, 0, sizeof(b->diskInfo));
        releaseBusy(b);
    } else {
        r = buildBackup(b, kdev);
    }
    up(&b->bSem);
    return r;
}

static void logStatistics(Backup *b) {
    Stats *stats = (Stats *)kmalloc(sizeof(Stats), GFP_KERNEL);
    if (stats) {
        setStats(b, stats);
        printStats(stats);
        kfree(stats);
    }
    printk(KERN_INFO "%s: backup finished device major=%d minor=%d\n", "closeBackup",
           MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
}

void closeBackup(Backup *b) {
    down(&b->bSem);
    down_write(&b->writers);
    /* A failure the copy path stores meanwhile is kept, not closed over. */
    u32 saved;
    do {
        saved = velGetState(b);
    } while (saved <= VEL_STATE_MAP_LOADED && !velChangeState(b, saved, VEL_STATE_CLOSING));
    /*
     * The held requests are replayed before the hook is given up: while they
     * drain, new bios of the device wait on `writers` in the hook, so none
     * can overtake a held one.
     */
    flushWorkQueue(b);
    hookAfterBackup(b, saved);
    if (ACCESS_ONCE(activeSession) == b) {
        unsigned long flags;
        drainUsers(&activeSessionUsersLock, &activeSessionUsers, &flags);
        ACCESS_ONCE(activeSession) = (Backup *)NULL;
        usersRelease(&activeSessionUsersLock, &activeSessionUsers, flags);
    }
    killWorkQueue(b);
    freeMMPages(b, &b->vmAreas[0]);
    freeMMPages(b, &b->vmAreas[1]);
    freeMMBRs(b);
    closeCache(b);
    closeBRCache(b);
    closeDiskInfo(&b->diskInfo);
    closeBUBlockMap(b);
    closeCacheMap(b);
    closeBlockTable(b);
    if (saved != VEL_STATE_IDLE)
        logStatistics(b);
    up_write(&b->writers);
    up(&b->bSem);
    if (b->ownsBusy)
        releaseBusy(b);
    /* A request path that saw this record as active may still be on its way
     * out of the hook. The count is read by a fully ordered operation, so
     * that all such a path did to the record comes before the free. */
    while (atomic_add_return(0, &b->requestUsers) > 0)
        schedule();
    kfree(b);
}
