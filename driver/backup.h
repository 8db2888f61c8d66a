/*
 * The backup record of one open file of the control device, its lock order,
 * and the module's one running backup.
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

/*
 * Lock order, outer to inner; no task takes an earlier one while it holds a
 * later one:
 *
 *   Backup.bSem -> Backup.writers -> Backup.cacheUsers -> a bucket's sem
 *     -> Backup.mrLock
 *   the sleeping locks above -> queueListUsersLock -> amListUsersLock, and
 *     queueListUsersLock -> a queue's lock (a failure re-hooks the queue from
 *     inside the copy path)
 *   AutoMapSession.usersLock -> Backup.blockMap.usersLock
 *     -> AutoMapSession.map.usersLock                (the snapshot's switch)
 *   a block map's usersLock after every lock above but mrLock; its bits
 *     take none
 *   busyLock, vmaLock and activeSessionUsersLock are taken alone.
 *
 * A command holding bSem may fault on the agent's memory (mmap_sem, for
 * reading); the mmap operation, called with mmap_sem held for writing,
 * therefore never takes bSem. The hook counts itself out of
 * activeSessionUsers before it takes writers.
 */

/* The order above, in the names the lock validator gives the classes (their
 * init expressions); entry.cpp declares it so that the stand-in enforces it.
 * busyLock, vmaLock and activeSessionUsersLock are left out: nothing nests
 * with them. */
#define VEL_LOCK_ORDER                                                                    \
    "&b->bSem, &b->writers, &b->cacheUsers, &b->blockTable[i]->sem, queueListUsersLock, " \
    "amListUsersLock, &ams->usersLock, &bmap->usersLock, &b->mrLock"

/* The private record of one open file of the control device. Beside each
 * field: what guards it. "start" means written by the start command under
 * bSem before the state leaves STARTING, read freely afterwards. */
typedef struct Backup {
    struct semaphore bSem;         /* serialises the file's commands and closeBackup */
    volatile u32 state;            /* enum VelBackupState; record_state.h: stored by
                                    * commands under bSem (the switches also under
                                    * writers), by the copy path on failure */
    struct rw_semaphore writers;   /* read: the hook's copy decision; write: the
                                    * snapshot's and the map load's switch, closeBackup */
    int maxVMPages;                /* start */
    BackupVMA vmAreas[2];          /* vma members: vmaLock; pages: the area's owner */
    int noLoadFromAutoMap;         /* bSem */
    int noStartAutoMap;            /* bSem */
    struct timespec eTimeToFreeze; /* bSem */
    struct timespec eTimeFrozen;   /* bSem */
    DiskInfo diskInfo;             /* start; closeBackup */
    BlockMap blockMap;             /* page array: bSem plus a drain of its users; bits: its users */
    HashTable **blockTable;        /* start; closeBackup. Lists: each bucket's sem, inside
                                    * cacheUsers held for reading */
    struct kmem_cache *htCache;    /* start; closeBackup */
    char htCacheName[32];          /* start */
    BlockMap cacheMap;             /* page array: start, closeBackup; bits: its users */
    struct rw_semaphore cacheUsers; /* read: every user of the block table; write:
                                     * closeCache */
    struct kmem_cache *cpCache;     /* start; destroyed under cacheUsers (write) */
    struct kmem_cache *dataCache;   /* the same */
    char cpCacheName[32];           /* start */
    char dataCacheName[32];         /* start */
    u32 maxCacheBlocks;             /* start */
    atomic_t mrInQueue;             /* atomic */
    spinlock_t mrLock;              /* guards mrHead, mrTail, mrReplaying */
    MakeRequest *mrHead;            /* mrLock */
    MakeRequest *mrTail;            /* mrLock */
    atomic_t ioctlCount;            /* atomic; so are all the counters below */
    atomic_t totalAllocPages;
    atomic_t curAllocPages;
    atomic_t totalAllocCPs;
    atomic_t curAllocCPs;
    atomic_t peakAllocCPs; /* written by kbackupd only */
    atomic_t totalCBs;
    atomic_t curCBs;
    atomic_t totalReadBlocks;
    atomic_t totalReadCBs;
    atomic_t totalCleanedCBs;
    atomic_t totalAllocBRs;
    atomic_t curAllocBRs;
    BIORequest **mmBIORequests; /* start; slots: bSem (one read command at a time) */
    int startedCacheThread;     /* start */
    /* Request paths that may still look at the record: it is freed only
     * after they are gone. Atomic. */
    atomic_t requestUsers;
    /* This record set the module's busy flag; only its release clears it.
     * bSem. */
    int ownsBusy;
    /* The request kbackupd is replaying: later bios for its blocks queue
     * behind it. mrLock. */
    MakeRequest *mrReplaying;
} Backup;

/* A backup is open on some file (at most one), or a shutdown runs; read
 * and written under busyLock. */
extern atomic_t busy;
extern spinlock_t busyLock;
/* The started backup the hooks and kbackupd serve: stored at the end of a
 * start, cleared by a drainer of activeSessionUsers (user_count.h); the hooks
 * read it counted in there, kbackupd without a lock. */
extern Backup *activeSession;
extern atomic_t activeSessionUsers;
extern spinlock_t activeSessionUsersLock;

/* Ends a backup that is copying on write with an error state. Error states
 * are final: a task that moves the state on does so only from the state it
 * saw, so it never covers a failure up. 0 when the backup was not copying. */
static inline int velFailBackup(Backup *b, u32 errorState) {
    for (;;) {
        u32 state = velGetState(b);
        if (state < VEL_STATE_SNAPSHOT || state > VEL_STATE_MAP_LOADED)
            return 0;
        if (velChangeState(b, state, errorState))
            return 1;
    }
}

#endif
