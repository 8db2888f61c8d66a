/*
 * The copy-on-write block cache: the old contents of blocks saved before a
 * write overwrites them, kept in a table of 4096 semaphore-guarded buckets
 * indexed by the low 12 bits of the block number, and cacheMap, which records
 * the blocks whose pre-snapshot contents are settled.
 *
 * Only the cache thread creates entries; the command thread consumes and
 * drops them; closeCache frees the rest. Every user of the table holds
 * cacheUsers for reading, so closeCache (the only writer) never frees a
 * bucket under a reader.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/vmalloc.h>
#include <linux/kdev_t.h>
#include <linux/rwsem.h>
#include <linux/semaphore.h>
#include <linux/bug.h>

#include "cache.h"
#include "backup.h"

struct kmem_cache *createSlabCache(const char *name, size_t size) {
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 23)
    return kmem_cache_create(name, size, 0, SLAB_HWCACHE_ALIGN, NULL, NULL);
#else
    return kmem_cache_create(name, size, 0, SLAB_HWCACHE_ALIGN, NULL);
#endif
}

/* The bucket of a block; none when the table was never (fully) built. */
static HashTable *bucketOf(Backup *b, u32 blockNum) {
    if (!b->blockTable)
        return NULL;
    return b->blockTable[blockNum % VEL_BLOCK_TABLE_SIZE];
}

int newBlockTable(Backup *b) {
    int major = (int)MAJOR(b->diskInfo.kdev);
    int minor = (int)MINOR(b->diskInfo.kdev);
    snprintf(b->htCacheName, sizeof(b->htCacheName), "velHT%02x%02x", major, minor);
    b->htCache = createSlabCache(b->htCacheName, sizeof(HashTable));
    if (!b->htCache) {
        printk(KERN_ERR
               "%s: kmem_cache_create failed for HashTable structs during backup start "
               "major=%d minor=%d\n",
               __func__, major, minor);
        return VEL_ERR_NO_MEMORY;
    }
    unsigned long arraySize = VEL_BLOCK_TABLE_SIZE * sizeof(HashTable *);
    b->blockTable = (HashTable **)vmalloc(arraySize);
    if (!b->blockTable)
        return VEL_ERR_NO_MEMORY;
    memset(b->blockTable, 0, arraySize);
    /* Buckets allocated before a failure stay in the table for closeBlockTable. */
    for (int i = 0; i < VEL_BLOCK_TABLE_SIZE; i++) {
        HashTable *ht = (HashTable *)kmem_cache_alloc(b->htCache, GFP_KERNEL);
        if (!ht)
            return VEL_ERR_NO_MEMORY;
        memset(ht, 0, sizeof(*ht));
        b->blockTable[i] = ht;
    }
    for (int i = 0; i < VEL_BLOCK_TABLE_SIZE; i++)
        sema_init(&b->blockTable[i]->sem, 1);
    return VEL_OK;
}

void closeBlockTable(Backup *b) {
    if (b->blockTable) {
        for (int i = 0; i < VEL_BLOCK_TABLE_SIZE; i++) {
            if (b->blockTable[i])
                kmem_cache_free(b->htCache, b->blockTable[i]);
        }
        vfree(b->blockTable);
        b->blockTable = NULL;
    }
    if (b->htCache) {
        kmem_cache_destroy(b->htCache);
        b->htCache = NULL;
    }
}

int newCacheMap(Backup *b) {
    u32 size = (u32)b->diskInfo.numBlocks;
    int numPages = 0;
    int result = newBlockMap(&b->cacheMap, size, NULL, BLOCKMAP_ZEROED, &numPages);
    if (result) {
        printk(KERN_ERR "%s: error creating cache map of size=%u\n", __func__, size);
        return result;
    }
    atomic_add(numPages, &b->totalAllocPages);
    atomic_add(numPages, &b->curAllocPages);
    return VEL_OK;
}

void closeCacheMap(Backup *b) {
    if (!b->cacheMap.map)
        return;
    int numPagesFreed = 0;
    closeBlockMap(&b->cacheMap, &numPagesFreed);
    atomic_sub(numPagesFreed, &b->curAllocPages);
}

int doWeCacheBlock(Backup *b, u32 blockNum) {
    if (velGetState(b) == VEL_STATE_MAP_LOADED && !blockInMap(&b->blockMap, blockNum))
        return 0;
    /* A block beyond cacheMap can never be read back, and its bit could never
     * be set: copying it would save it again on every write. */
    if (blockNum >= b->cacheMap.size)
        return 0;
    return blockInMap(&b->cacheMap, blockNum) ? 0 : 1;
}

void addCPtoBusyList(HashTable *ht, CachePage *cp) {
    cp->next = ht->busy;
    ht->busy = cp;
}

int saveBlock(Backup *b, const char *data, u32 blockNum) {
    if (!doWeCacheBlock(b, blockNum))
        return 0;
    HashTable *ht = bucketOf(b, blockNum);
    down(&ht->sem);
    CachePage *cp = getCacheBlock(b);
    if (!cp) {
        up(&ht->sem);
        return 1;
    }
    cp->blockNum = blockNum;
    memcpy(cp->data, data, b->diskInfo.blockSize);
    addCPtoBusyList(ht, cp);
    up(&ht->sem);
    /* cacheMap is left to the cache thread: the bit may be set only once the
     * overwriting write has been passed on. */
    return 0;
}

CachePage *getCacheBlock(Backup *b) {
    if ((u32)atomic_read(&b->curAllocCPs) >= b->maxCacheBlocks) {
        velFailBackup(b, VEL_STATE_CACHE_FULL);
        printk(KERN_ERR
               "%s: configured max cache memory reached (%u blocks) failed to allocate cache "
               "object\n",
               __func__, b->maxCacheBlocks);
        return NULL;
    }
    if (!b->cpCache) {
        printk(KERN_CRIT "%s: b->cpCache was destroyed before kmem_cache_alloc!%s", __func__, "\n");
        BUG();
    }
    CachePage *cp = (CachePage *)kmem_cache_alloc(b->cpCache, GFP_NOIO);
    if (!cp) {
        velFailBackup(b, VEL_STATE_CACHE_FULL);
        printk(KERN_ERR "%s: system out of memory, failed to allocate cache object.%s", __func__,
               "\n");
        return NULL;
    }
    cp->next = NULL;
    cp->data = NULL;
    cp->blockNum = 0;
    if (!b->dataCache) {
        printk(KERN_CRIT "%s: b->dataCache was destroyed before kmem_cache_alloc!%s", __func__,
               "\n");
        BUG();
    }
    cp->data = (char *)kmem_cache_alloc(b->dataCache, GFP_NOIO);
    if (!cp->data) {
        kmem_cache_free(b->cpCache, cp);
        velFailBackup(b, VEL_STATE_CACHE_FULL);
        printk(KERN_ERR "%s: system out of memory failed to allocate block for write cache%s",
               __func__, "\n");
        return NULL;
    }
    atomic_inc(&b->curAllocCPs);
    atomic_inc(&b->totalAllocCPs);
    atomic_inc(&b->curCBs);
    atomic_inc(&b->totalCBs);
    /* Only the cache thread creates entries, so a plain compare and store
     * cannot lose a peak. */
    int cur = atomic_read(&b->curAllocCPs);
    if (cur > atomic_read(&b->peakAllocCPs))
        atomic_set(&b->peakAllocCPs, cur);
    return cp;
}

static void freeCachePage(Backup *b, CachePage *cp) {
    unSetBlock(&b->cacheMap, cp->blockNum);
    kmem_cache_free(b->dataCache, cp->data);
    cp->data = NULL;
    kmem_cache_free(b->cpCache, cp);
    atomic_dec(&b->curAllocCPs);
    atomic_dec(&b->curCBs);
}

static void closeList(Backup *b, CachePage *cp) {
    while (cp) {
        CachePage *next = cp->next;
        freeCachePage(b, cp);
        cp = next;
    }
}

CachePage *locateBlockInList(CachePage *cp, u32 blockNum, CachePage **lastCP) {
    CachePage *prev = NULL;
    for (; cp; prev = cp, cp = cp->next) {
        if (cp->blockNum != blockNum)
            continue;
        if (prev)
            *lastCP = prev;
        return cp;
    }
    return NULL;
}

static void unlinkCP(HashTable *ht, CachePage *prev, CachePage *cp) {
    if (prev)
        prev->next = cp->next;
    else
        ht->busy = cp->next;
}

int cacheRead(Backup *b, char *dest, u32 blockNum) {
    int result = 0;
    down_read(&b->cacheUsers);
    HashTable *ht = bucketOf(b, blockNum);
    if (velGetState(b) <= VEL_STATE_MAP_LOADED && ht) {
        down(&ht->sem);
        CachePage *prev = NULL;
        CachePage *cp = locateBlockInList(ht->busy, blockNum, &prev);
        if (cp) {
            memcpy(dest, cp->data, b->diskInfo.blockSize);
            atomic_inc(&b->totalReadCBs);
            result = b->diskInfo.blockSize;
            /* Once the map is loaded a block is read only once: it leaves
             * both maps, so later writes to it are not saved again. */
            if (velGetState(b) == VEL_STATE_MAP_LOADED) {
                unSetBlock(&b->blockMap, blockNum);
                unSetBlock(&b->cacheMap, blockNum);
                unlinkCP(ht, prev, cp);
                freeCachePage(b, cp);
            }
        }
        up(&ht->sem);
    }
    up_read(&b->cacheUsers);
    return result;
}

/* Drops the entries of one bucket whose blocks the loaded map no longer holds. */
static void cleanBucket(Backup *b, HashTable *ht) {
    down(&ht->sem);
    CachePage *kept = NULL;
    CachePage *cp = ht->busy;
    while (cp) {
        CachePage *next = cp->next;
        if (blockInMap(&b->blockMap, cp->blockNum)) {
            kept = cp;
        } else {
            unlinkCP(ht, kept, cp);
            freeCachePage(b, cp);
            atomic_inc(&b->totalCleanedCBs);
        }
        cp = next;
    }
    up(&ht->sem);
}

int cleanUpCache(Backup *b) {
    int result = VEL_OK;
    down_read(&b->cacheUsers);
    u32 state = velGetState(b);
    if (state < VEL_STATE_MAP_LOADED) {
        result = VEL_ERR_WRONG_STATE;
    } else if (state == VEL_STATE_MAP_LOADED && b->blockTable && atomic_read(&b->curCBs) != 0) {
        /* An empty cache has nothing outside the map: its 4096 buckets are
         * not visited. */
        for (int i = 0; i < VEL_BLOCK_TABLE_SIZE; i++) {
            if (b->blockTable[i])
                cleanBucket(b, b->blockTable[i]);
        }
    }
    up_read(&b->cacheUsers);
    return result;
}

static void emptyBucket(Backup *b, HashTable *ht) {
    if (down_trylock(&ht->sem)) {
        printk(KERN_ERR "%s: ht->sem contended%s", "closeCache", "\n");
        down(&ht->sem);
    }
    closeList(b, ht->busy);
    ht->busy = NULL;
    up(&ht->sem);
}

void closeCache(Backup *b) {
    down_write(&b->cacheUsers);
    /* Entries exist only once cpCache does. */
    if (b->cpCache) {
        /* With cacheUsers held for writing the count cannot move. */
        if (b->blockTable && atomic_read(&b->curCBs) != 0) {
            for (int i = 0; i < VEL_BLOCK_TABLE_SIZE; i++) {
                if (b->blockTable[i])
                    emptyBucket(b, b->blockTable[i]);
            }
        }
        kmem_cache_destroy(b->cpCache);
        b->cpCache = NULL;
    }
    /* A start that created dataCache but failed on cpCache must not leave
     * dataCache behind. */
    if (b->dataCache) {
        kmem_cache_destroy(b->dataCache);
        b->dataCache = NULL;
    }
    up_write(&b->cacheUsers);
}
