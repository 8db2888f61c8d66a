/*
 * The block map: one bit per block of a device, kept in separate pages so
 * that only the page array needs contiguous memory. Every operation counts
 * itself in on the map's users; a map is exchanged or freed only after a
 * drain of them.
 */
#ifndef VELMORA_BLOCK_MAP_H
#define VELMORA_BLOCK_MAP_H

#include <linux/types.h>
#include <linux/spinlock.h>
#include <linux/mm.h>
#include <asm/atomic.h>

#include <velmora.h>

typedef struct BlockMap {
    u32 size;          /* blocks covered; 0 once closed */
    u32 numBytes;      /* (size + 7) / 8 */
    struct page **map; /* one page per 4096 bytes of bitmap, from vmalloc */
    atomic_t users;    /* 1 when idle, plus one per running operation */
    spinlock_t usersLock;
} BlockMap;

/* newBlockMap's zeroFill: all bits clear, or all set. */
#define BLOCKMAP_ZEROED 1
#define BLOCKMAP_ALL_SET 0
/* Bitmap bytes per page, also in the transfer format of a map. */
#define BLOCKMAP_BYTES_PER_PAGE 4096U

void initBlockMap(BlockMap *bmap);
int newBlockMap(BlockMap *bmap, u32 size, const void __user *data, int zeroFill,
                int *numPagesAlloc);
void closeBlockMap(BlockMap *bmap, int *numPagesFreed);
/* 0 when set, else the block number (beyond the map). */
u32 setBlock(BlockMap *bm, u32 blockNum);
/* 0 when cleared, 1 beyond the map. */
int unSetBlock(BlockMap *bm, u32 blockNum);
/* -1 when set, 0 when clear or beyond the map. */
int blockInMap(BlockMap *bm, u32 blockNum);
/* Returns holding usersLock with no other user counted in. */
void waitForBlockMapUsers(BlockMap *bm, unsigned long *flags);
int numPagesInBlockMap(BlockMap *bmap);

#endif
