/*
 * The backup record of one open file of the control device, the module's
 * one running backup, and the start and the end of a backup.
 */
#ifndef VELMORA_BACKUP_H
#define VELMORA_BACKUP_H

#include <linux/types.h>
#include <linux/rwsem.h>
#include <linux/semaphore.h>
#include <linux/spinlock.h>
#include <linux/slab.h>
#include <linux/time.h>
#include <asm/atomic.h>

#include <velmora.h>

#include "block_map.h"
#include "cache.h"
#include "cache_thread.h"
#include "disk_reader.h"
#include "geometry.h"
#include "record_state.h"
#include "transfer_buffer.h"

/* The private record of one open file of the control device. */
typedef struct Backup {
    struct semaphore bSem;
    volatile u32 state; /* enum VelBackupState */
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

/* A backup is open on some file (at most one); read and written under
 * busyLock. */
extern atomic_t busy;
extern spinlock_t busyLock;
/* The started backup the hooks and kbackupd serve. */
extern Backup *activeSession;
extern struct rw_semaphore activeSessionUsers;

int ioctlStartBackup(Backup *b, dev_t kdev, u32 totalBlocks, u32 maxCacheBlocks);
/* Ends what the file's backup started and frees the record. */
void closeBackup(Backup *b);

#endif
