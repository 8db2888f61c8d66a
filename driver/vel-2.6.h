/*
 * Records of the I/O path: device geometry, disk reads, deferred requests,
 * automap sessions, the per-file backup record and registry entries.
 */
#ifndef VELMORA_VEL_26_H
#define VELMORA_VEL_26_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/fs.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/rwsem.h>
#include <linux/semaphore.h>
#include <linux/slab.h>
#include <linux/time.h>
#include <asm/atomic.h>
#include <asm/system.h>

#include <velmora.h>

#include "globals.h"

/* One block device: where it lies on its disk and how its blocks map onto
 * 512-byte sectors. */
typedef struct DiskInfo {
    dev_t kdev;
    sector_t partitionStart;
    int blockSize;
    unsigned int blocksPerPage;
    struct super_block *superBlock;
    sector_t partitionSizeKB;
    sector_t numBlocks;
    make_request_fn *realMRF;
    struct block_device *bdev;
    sector_t partitionLen;
    int sectorsPerBlock;
    int sectorsPerBlockShift;
} DiskInfo;

/* One block of a batch read from disk. */
typedef struct BIORequest {
    struct bio *bio;
    struct completion event;
} BIORequest;

/* A bio held back until the old contents of its blocks are saved. */
typedef struct MakeRequest {
    struct request_queue *q;
    struct bio *bio;
    u32 startBN;
    u32 endBN;
    struct MakeRequest *next;
} MakeRequest;

/* Change tracking of one device, between one snapshot and the next. */
typedef struct AutoMapSession {
    DiskInfo diskInfo;
    volatile u32 state; /* 0 not in sync, 1 in sync */
    BlockMap map;
    atomic_t users;
    spinlock_t usersLock;
    AMSessionKey sessionKey;
    struct AutoMapSession *next;
} AutoMapSession;

/* A device registered under a hooked queue, with its sectors on the disk:
 * the hooks tell a bio's device from these, not from the partition table,
 * which they could read only under the disk's mutex. */
typedef struct DevList {
    dev_t kdev;
    sector_t start;
    sector_t len;
    struct list_head list;
} DevList;

/* The private record of one open file of the control device. */
typedef struct Backup {
    struct semaphore bSem;
    volatile u32 state;
    struct rw_semaphore writers;
    int maxVMPages;
    BackupVMA vmAreas[2];
    int noLoadFromAutoMap;
    int noStartAutoMap;
    struct timespec eTimeToFreeze;
    struct timespec eTimeFrozen;
    DiskInfo diskInfo;
    BlockMap blockMap;
    HashTable **blockTable;
    struct kmem_cache *htCache;
    char htCacheName[32];
    BlockMap cacheMap;
    struct rw_semaphore cacheUsers;
    struct kmem_cache *cpCache;
    struct kmem_cache *dataCache;
    char cpCacheName[32];
    char dataCacheName[32];
    u32 maxCacheBlocks;
    atomic_t mrInQueue;
    spinlock_t mrLock;
    MakeRequest *mrHead;
    MakeRequest *mrTail;
    atomic_t ioctlCount;
    atomic_t totalAllocPages;
    atomic_t curAllocPages;
    atomic_t totalAllocCPs;
    atomic_t curAllocCPs;
    atomic_t peakAllocCPs;
    atomic_t totalCBs;
    atomic_t curCBs;
    atomic_t totalReadBlocks;
    atomic_t totalReadCBs;
    atomic_t totalCleanedCBs;
    atomic_t totalAllocBRs;
    atomic_t curAllocBRs;
    BIORequest **mmBIORequests;
    int startedCacheThread;
    /* Request paths that may still look at the record: it is freed only
     * after they are gone. */
    atomic_t requestUsers;
    /* This record set the module's busy flag; only its release clears it. */
    int ownsBusy;
    /* The request kbackupd is replaying: later bios for its blocks queue behind it. */
    MakeRequest *mrReplaying;
} Backup;

/*
 * The state words of a Backup and an AutoMapSession are read without a lock;
 * every store is one untorn word store followed by a write barrier.
 */
#define velGetState(rec) ((u32)ACCESS_ONCE((rec)->state))
#define velSetState(rec, value)              \
    do {                                     \
        ACCESS_ONCE((rec)->state) = (value); \
        wmb();                               \
    } while (0)

#endif
