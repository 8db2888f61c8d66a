/*
 * Records shared across the driver's subsystems: the block map, the block
 * table entries and buckets, and a transfer-buffer area.
 */
#ifndef VELMORA_GLOBALS_H
#define VELMORA_GLOBALS_H

#include <linux/types.h>
#include <linux/spinlock.h>
#include <linux/semaphore.h>
#include <linux/mm.h>
#include <asm/atomic.h>

/* Paged bitmap with one bit per block; see blockmap.cpp. */
typedef struct BlockMap {
    u32 size;          /* blocks covered; 0 once closed */
    u32 numBytes;      /* (size + 7) / 8 */
    struct page **map; /* one page per 4096 bytes of bitmap, from vmalloc */
    atomic_t users;    /* 1 when idle, plus one per running operation */
    spinlock_t usersLock;
    struct semaphore sem; /* serialises the bit operations */
} BlockMap;

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

#define MAX_VMA_PAGES 256
/* A mapping holds the blocks of one read command: at most this many. */
#define MAX_VMA_BLOCKS 256

/* One mapping of the transfer buffer. */
typedef struct BackupVMA {
    int vmPages;
    struct vm_area_struct *vma;
    struct page *mmPages[MAX_VMA_PAGES];
} BackupVMA;

#endif
