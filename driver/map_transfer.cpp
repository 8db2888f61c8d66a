/*
 * Moving block maps across the user boundary: the automap's state and key,
 * the changed-block map out, and the map of the blocks to copy in.
 */
#include <linux/kernel.h>
#include <linux/highmem.h>
#include <linux/string.h>
#include <asm/uaccess.h>

#include "map_transfer.h"
#include "automap.h"
#include "backup.h"
#include "user_count.h"

int ioctlNoStartAutoMap(Backup *b) {
    down(&b->bSem);
    b->noStartAutoMap = 1;
    up(&b->bSem);
    return VEL_OK;
}

int ioctlNoLoadFromAutoMap(Backup *b) {
    down(&b->bSem);
    b->noLoadFromAutoMap = 1;
    up(&b->bSem);
    return VEL_OK;
}

int ioctlGetAutoMapState(Backup *b, AutoMapState __user *userAMS, unsigned int amsLen) {
    AutoMapState st;
    memset(&st, 0, sizeof(st));
    down(&b->bSem);
    AutoMapSession *ams = getAMS(b->diskInfo.kdev);
    if (ams) {
        st.major = MAJOR(ams->diskInfo.kdev);
        st.minor = MINOR(ams->diskInfo.kdev);
        st.state = velGetState(ams);
        st.mapLen = ams->map.size;
        st.mapSize = ams->map.numBytes;
        memcpy(&st.amsKey, &ams->sessionKey, sizeof(st.amsKey));
        putAMS(ams);
    }
    up(&b->bSem);
    if (copy_to_user(userAMS, &st, min(amsLen, (unsigned int)sizeof(st)))) {
        printk(KERN_ERR "%s: copy to user space %s\n", __func__, "failed");
        return VEL_ERR_COPY_TO_USER;
    }
    return VEL_OK;
}

void closeBUBlockMap(Backup *b) {
    if (!b->blockMap.map)
        return;
    int freed = 0;
    closeBlockMap(&b->blockMap, &freed);
    atomic_sub(freed, &b->curAllocPages);
}

static int newBUBlockMap(Backup *b, UserBlockMap *userBM) {
    /* newBlockMap takes no data for "every block": from the caller, a null
     * map is a bitmap that cannot be read. */
    if (!userBM->map) {
        printk(KERN_ERR "%s: error creating map of size=%u\n", __func__, userBM->mapLen);
        return VEL_ERR_COPY_FROM_USER;
    }
    /* Bits past the device's last block name nothing the backup can read;
     * holding them would cost up to 512 MiB of pages at the caller's word. */
    u32 mapLen = userBM->mapLen;
    if ((u64)mapLen > b->diskInfo.numBlocks)
        mapLen = (u32)b->diskInfo.numBlocks;
    int numPages;
    int r = newBlockMap(&b->blockMap, mapLen, userBM->map, BLOCKMAP_ALL_SET, &numPages);
    if (r) {
        printk(KERN_ERR "%s: error creating map of size=%u\n", __func__, userBM->mapLen);
        return r;
    }
    atomic_add(numPages, &b->totalAllocPages);
    atomic_add(numPages, &b->curAllocPages);
    return VEL_OK;
}

static int copyMapOut(Backup *b, UserBlockMap *userBM) {
    BlockMap *bm = &b->blockMap;
    if (bm->size != userBM->mapLen) {
        printk(KERN_ERR "%s: backup error map size mismatch kernel map size=%u user map size=%u\n",
               "ioctlGetAutoMap", bm->size, userBM->mapLen);
        return VEL_ERR_INVALID;
    }
    u32 pages = (bm->numBytes + BLOCKMAP_BYTES_PER_PAGE - 1) / BLOCKMAP_BYTES_PER_PAGE;
    for (u32 i = 0; i < pages; i++) {
        u32 len = BLOCKMAP_BYTES_PER_PAGE;
        if (i == pages - 1 && bm->numBytes % BLOCKMAP_BYTES_PER_PAGE)
            len = bm->numBytes % BLOCKMAP_BYTES_PER_PAGE;
        unsigned char __user *dst = userBM->map + (unsigned long)i * BLOCKMAP_BYTES_PER_PAGE;
        unsigned long left = copy_to_user(dst, kmap(bm->map[i]), len);
        kunmap(bm->map[i]);
        if (left) {
            printk(KERN_ERR "%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
                   "ioctlGetAutoMap", (void *)dst, (int)len, (int)bm->numBytes);
            return VEL_ERR_COPY_TO_USER;
        }
    }
    return VEL_OK;
}

int ioctlGetAutoMap(Backup *b, UserBlockMap *userBM) {
    down(&b->bSem);
    if (velGetState(b) != VEL_STATE_SNAPSHOT) {
        printk(KERN_ERR "%s: backup error map not loaded %s", __func__, "\n");
        up(&b->bSem);
        return VEL_ERR_INVALID;
    }
    /* A map that was never built has no users lock to count in on; its page
     * array changes only under bSem, so it is looked at first. */
    if (!b->blockMap.map) {
        printk(KERN_ERR "%s: backup error automap is NULL %s", __func__, "\n");
        up(&b->bSem);
        return VEL_ERR_INVALID;
    }
    usersIn(&b->blockMap.usersLock, &b->blockMap.users);
    int r = copyMapOut(b, userBM);
    atomic_dec(&b->blockMap.users);
    /* A map can be fetched once: it is freed after a complete copy. */
    if (r == VEL_OK)
        closeBUBlockMap(b);
    up(&b->bSem);
    return r;
}

/* The backup failed while its map was loading: the failure stays, and the
 * load is refused as in any state but SNAPSHOT. */
static int loadOvertaken(Backup *b) {
    printk(KERN_ERR "%s: backup error snapshot not %s\n", "ioctlLoadBlockMap", "complete");
    return VEL_ERR_INVALID;
}

int ioctlLoadBlockMap(Backup *b, UserBlockMap *userBM) {
    down(&b->bSem);
    /* The copy path may fail the backup at any moment: each step moves on
     * only from the state it expects, so a failure is never covered up. */
    if (!velChangeState(b, VEL_STATE_SNAPSHOT, VEL_STATE_LOADING_MAP)) {
        up(&b->bSem);
        return loadOvertaken(b);
    }
    /* An automap map the agent never fetched is released first. */
    closeBUBlockMap(b);
    int r = newBUBlockMap(b, userBM);
    if (r) {
        velFailBackup(b, VEL_STATE_MAP_FAILED);
        printk(KERN_ERR "%s: backup error failed to load device map%s", __func__, "\n");
        up(&b->bSem);
        return r;
    }
    down_write(&b->writers);
    /* kbackupd reads blockMap without a lock once the state is 6: it may do
     * so only for requests queued after the new map exists, so the requests
     * held before are replayed first (none is queued while writers is ours). */
    flushWorkQueue(b);
    int loaded = velChangeState(b, VEL_STATE_LOADING_MAP, VEL_STATE_MAP_LOADED);
    up_write(&b->writers);
    if (!loaded) {
        up(&b->bSem);
        return loadOvertaken(b);
    }
    if (cleanUpCache(b) == VEL_ERR_WRONG_STATE) {
        velFailBackup(b, VEL_STATE_MAP_FAILED);
        printk(KERN_ERR "%s: error cleaning cache%s", __func__, "\n");
        up(&b->bSem);
        return VEL_ERR_WRONG_STATE;
    }
    up(&b->bSem);
    return VEL_OK;
}
