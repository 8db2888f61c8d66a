/*
 * The copy-on-write block cache: the old contents of blocks a write would
 * overwrite before the backup read them, in a table of semaphore-guarded
 * buckets, and cacheMap, the blocks whose old contents are settled.
 */
#ifndef VELMORA_CACHE_H
#define VELMORA_CACHE_H

#include <linux/types.h>
#include <linux/semaphore.h>
#include <linux/slab.h>

struct Backup;

/* One saved block in the copy-on-write cache. */
typedef struct CachePage {
    struct CachePage *next;
    char *data;
    u32 blockNum;
} CachePage;

/* One bucket of the block table. */
typedef struct HashTable {
    CachePage *busy;
    struct semaphore sem;
} HashTable;

#define VEL_BLOCK_TABLE_SIZE 4096

/* A session slab cache (SLAB_HWCACHE_ALIGN, no constructor or destructor). */
struct kmem_cache *createSlabCache(const char *name, size_t size);
int newBlockTable(struct Backup *b);
void closeBlockTable(struct Backup *b);
int newCacheMap(struct Backup *b);
void closeCacheMap(struct Backup *b);
/* 1 when the block's old contents still have to be saved. */
int doWeCacheBlock(struct Backup *b, u32 blockNum);
/* 0 when saved or not needed, 1 when no entry could be made (state 10). */
int saveBlock(struct Backup *b, const char *data, u32 blockNum);
void addCPtoBusyList(HashTable *ht, CachePage *cp);
/* With the bucket semaphore held. */
CachePage *getCacheBlock(struct Backup *b);
/* Sets *lastCP to the predecessor only when the entry is not the first. */
CachePage *locateBlockInList(CachePage *cp, u32 blockNum, CachePage **lastCP);
/* blockSize when copied from the cache, else 0. */
int cacheRead(struct Backup *b, char *dest, u32 blockNum);
int cleanUpCache(struct Backup *b);
void closeCache(struct Backup *b);

#endif
