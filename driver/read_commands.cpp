/*
 * Handing the frozen image to the agent: blocks read into its mapped
 * transfer buffer from the copy-on-write cache or the disk, and the blocks
 * whose saved copies still wait in the cache.
 */
#include <linux/kernel.h>
#include <asm/uaccess.h>

#include "read_commands.h"
#include "backup.h"

static int readFromCache(Backup *b, u32 startBlockNum, u32 numBlocks, BackupVMA *area) {
    int count = 0;
    for (u32 i = 0; i < numBlocks; i++) {
        if (isRequestSubmitted(b, (int)i))
            continue;
        if (cacheRead(b, mmPageAddr(b, (int)i, area), startBlockNum + i))
            count++;
        else
            printk(KERN_WARNING
                   "%s: expected to read block number (%u) from cache and block not "
                   "found in cache\n",
                   __func__, startBlockNum + i);
    }
    return count;
}

/* A write that overtook a disk read has left the block's old contents in the
 * cache; they replace what the disk returned. */
static void readCheckCache(Backup *b, u32 startBlockNum, u32 numBlocks, BackupVMA *area) {
    /* No saved copy, so no read was overtaken: a write that overtakes a read
     * is held until its block's copy exists, and the count rises first. */
    if (atomic_read(&b->curCBs) == 0)
        return;
    for (u32 i = 0; i < numBlocks; i++)
        if (isRequestSubmitted(b, (int)i))
            cacheRead(b, mmPageAddr(b, (int)i, area), startBlockNum + i);
}

/* Blocks are read only from a snapshot the backup still protects. */
static int readableState(u32 state) {
    if (state == VEL_STATE_MAP_LOADED || state == VEL_STATE_SNAPSHOT)
        return VEL_OK;
    printk(KERN_ERR "%s: state (%d) not valid\n", "ioctlReadBlocks", (int)state);
    return VEL_ERR_INVALID;
}

/* The checks of a read command, each refusal with its message. */
static int checkRead(Backup *b, u32 s, u32 n, char __user *data, BackupVMA **area) {
    u32 state = velGetState(b);
    u32 e = s + n;
    if (readableState(state))
        return VEL_ERR_INVALID;
    if (e < s) {
        printk(KERN_ERR "%s: invalid block read range (%u-%u)\n", "ioctlReadBlocks", s, e);
        return VEL_ERR_INVALID;
    }
    if (state == VEL_STATE_MAP_LOADED) {
        if (!b->blockMap.map) {
            printk(KERN_ERR "%s: block map is null%s", "ioctlReadBlocks", "\n");
            return VEL_ERR_INVALID;
        }
        if (e > b->blockMap.size) {
            printk(KERN_ERR "%s: end block number out of block map range%s", "ioctlReadBlocks",
                   "\n");
            return VEL_ERR_INVALID;
        }
    }
    if (!b->cacheMap.map) {
        printk(KERN_ERR "%s: cache map is null%s", "ioctlReadBlocks", "\n");
        return VEL_ERR_INVALID;
    }
    if (e > b->cacheMap.size) {
        printk(KERN_ERR "%s: block num (%u) out of range (%u)\n", "ioctlReadBlocks", e,
               b->cacheMap.size);
        return VEL_ERR_INVALID;
    }
    /* From the fill's start an unmap of the area leaves its pages to the
     * fill's end; a mapping that went away in between is refused. */
    if (!checkVMA(b, data, area) || !vmaFillBegin(b, *area)) {
        printk(KERN_ERR "%s: invalid data pointer%s", "ioctlReadBlocks", "\n");
        return VEL_ERR_INVALID;
    }
    unsigned long long bytes = (unsigned long long)n * (unsigned int)b->diskInfo.blockSize;
    unsigned long room = (unsigned long)(*area)->vmPages * PAGE_SIZE;
    if (bytes > room) {
        vmaFillEnd(b, *area);
        printk(KERN_ERR
               "%s: tried to read (%u) number of blocks size (%u) and mmap region can hold "
               "(%lu) bytes\n",
               "ioctlReadBlocks", n, (u32)b->diskInfo.blockSize, room);
        return VEL_ERR_INVALID;
    }
    return VEL_OK;
}

static int readIntoArea(Backup *b, u32 s, u32 n, BackupVMA *area) {
    int result = VEL_OK;
    u32 fromDisk = (u32)readBlocks(b, s, n, area);
    if (fromDisk < n) {
        u32 fromCache = (u32)readFromCache(b, s, n, area);
        if (fromDisk + fromCache != n) {
            printk(KERN_ERR
                   "%s: read (%u) blocks from disk and (%u) blocks from cache and expected "
                   "to read (%u) blocks\n",
                   "ioctlReadBlocks", fromDisk, fromCache, n);
            /* None of the reads in flight may be freed before it ends. */
            if (fromDisk) {
                waitForSubmittedReads(b, n);
                freeSubmitted(b, n);
            }
            return VEL_ERR_INVALID;
        }
    }
    if (waitForSubmitted(b, s, n, area) == VEL_ERR_READ_FAILED) {
        printk(KERN_WARNING
               "%s: Received an IO error while reading sectors for backup.  Some "
               "sectors could not be read%s",
               "ioctlReadBlocks", "\n");
        result = VEL_ERR_READ_FAILED;
    }
    readCheckCache(b, s, n, area);
    /* A backup that failed meanwhile stopped saving old contents: a block a
     * writer overtook may hold the new data. The reads count for nothing. */
    if (readableState(velGetState(b)))
        result = VEL_ERR_INVALID;
    if (fromDisk)
        freeSubmitted(b, n);
    return result;
}

int ioctlReadBlocks(Backup *b, u32 startBlockNum, u32 numBlocks, char __user *data) {
    BackupVMA *area = NULL;
    down(&b->bSem);
    int r = checkRead(b, startBlockNum, numBlocks, data, &area);
    if (r == VEL_OK) {
        r = readIntoArea(b, startBlockNum, numBlocks, area);
        vmaFillEnd(b, area);
    }
    up(&b->bSem);
    return r;
}

static u32 anyDirtyBlock(Backup *b) {
    u32 result = VEL_NO_DIRTY_BLOCK;
    if (atomic_read(&b->curCBs) == 0)
        return result;
    down_read(&b->cacheUsers);
    if (velGetState(b) <= VEL_STATE_MAP_LOADED) {
        for (int i = 0; i < VEL_BLOCK_TABLE_SIZE; i++) {
            HashTable *ht = b->blockTable[i];
            down(&ht->sem);
            CachePage *head = ht->busy;
            if (head)
                result = head->blockNum;
            up(&ht->sem);
            if (head)
                break;
        }
    }
    up_read(&b->cacheUsers);
    return result;
}

int ioctlGetDirtyBlock(Backup *b, u32 __user *userBlockNumPtr) {
    if (!ACCESS_ONCE(b->blockMap.map) || velGetState(b) != VEL_STATE_MAP_LOADED)
        return VEL_ERR_INVALID;
    down(&b->bSem);
    u32 blockNum = anyDirtyBlock(b);
    up(&b->bSem);
    return put_user(blockNum, userBlockNumPtr);
}
