/*
 * The driver's library: module globals and the functions its subsystems
 * offer each other.
 */
#ifndef VELMORA_VELLIB_H
#define VELMORA_VELLIB_H

#include <linux/fs.h>
#include <linux/bio.h>
#include <linux/buffer_head.h>
#include <linux/completion.h>
#include <linux/blkdev.h>
#include <linux/poll.h>
#include <linux/rwsem.h>
#include <linux/semaphore.h>
#include <linux/spinlock.h>
#include <asm/atomic.h>

#include "vel-2.6.h"
#include "stats.h"

#define VEL_DRIVER_VERSION_MINOR2 0
#define VEL_DRIVER_BUILD 9504

/* Module globals (module data, zeroed at load). */
extern atomic_t initDone;
extern struct semaphore signalThread;
extern atomic_t busy;
extern spinlock_t busyLock;
extern Backup *activeSession;
extern struct rw_semaphore activeSessionUsers;

/* Module entry points and the shutdown command. */
int velInit(void);
void velExit(void);
void doModuleUnload(void);
int velUnload(void);
int velShutdown(void);

/* File operations of the control device. */
extern struct file_operations velFileOps;
int velOpen(struct inode *inode, struct file *file);
int velRelease(struct inode *inode, struct file *file);
ssize_t velRead(struct file *file, char __user *buf, size_t count, loff_t *ppos);
ssize_t velWrite(struct file *file, const char __user *buf, size_t count, loff_t *ppos);
unsigned int velPoll(struct file *file, struct poll_table_struct *wait);

/* The command dispatcher and the commands it answers itself. */
int velIOCTL(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg);
int ioctlGetState(Backup *b, State __user *s, unsigned int len);

/* Block maps. newBlockMap's zeroFill: all bits clear, or all set. */
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

/* Device geometry. */
int getDiskInfo(DiskInfo *di, dev_t kdev);
struct request_queue *getRequestQueue(DiskInfo *di);
void closeDiskInfo(DiskInfo *di);
int ioctlGetBlockSize(Backup *b, dev_t kdev, BlockSize __user *bs, unsigned int len);

/* The registry of hooked request queues. */
struct QueueList;
extern struct list_head queueListHead;
extern atomic_t queueListUsers;
extern spinlock_t queueListUsersLock;
int setMRF(Backup *b, make_request_fn *newMRF);
/* A device's queue, also when its disk was closed since it was registered. */
struct request_queue *queueOfDevice(DiskInfo *di);
/* Another hook on a registered queue; 1 when the queue is not registered. */
int switchMRF(struct request_queue *q, make_request_fn *newMRF);
make_request_fn *getRealMRF(struct request_queue *q);
void addQueueToList(struct request_queue *q, DiskInfo *di);
int addDevToList(struct QueueList *queueList, dev_t kdev, DevList *newNode);
int isInQueueList(struct request_queue *q, dev_t kdev);
int isInDevList(struct QueueList *queueList, dev_t kdev);
void unSetMRFDEV(DiskInfo *diskInfo);
/* A writer: every device off q, q's own function back; each() is told. */
void unhookQueue(struct request_queue *q, void (*each)(dev_t, void *), void *ctx);
/* As a reader: each() for every device of q, or of the queue kdev is on. */
void forEachQueueDevice(struct request_queue *q, void (*each)(dev_t, void *), void *ctx);
void forEachDeviceBeside(dev_t kdev, void (*each)(dev_t, void *), void *ctx);
void waitForQueueListUsers(unsigned long *flags);

/* The hook policy: which function a tracked queue carries, and when. */
int hookForSnapshot(Backup *b);
/* After a backup whose state was `state`: velAMRF while sessions remain on
 * the queue, else the queue's own function. */
void hookAfterBackup(Backup *b, u32 state);
void unSetMRFAMS(AutoMapSession *ams);
void unsetQueueMRFAMS(struct request_queue *q);
int countQueueAMS(struct request_queue *q);
/* The same, leaving out kdev's own session. */
int countOtherQueueAMS(struct request_queue *q, dev_t kdev);
void errorAMSDEV(dev_t kdev);
void errorAMS(Backup *b);
int closeAMS(Backup *b);
void closeAllAMS(void);

/* Automap sessions, by major and minor. */
#define AM_LIST_SIZE 256
extern AutoMapSession *amList[AM_LIST_SIZE][AM_LIST_SIZE];
extern atomic_t amListUsers;
extern spinlock_t amListUsersLock;
extern atomic_t curAllocAMPages;
int amListHasSlot(dev_t kdev);
/* Counting in and out of the table, for readers that only look at a slot. */
void amListReaderIn(void);
void amListReaderOut(void);
AutoMapSession *amListLookup(dev_t kdev);
/* A session with a user reference taken, or NULL; putAMS drops it. */
AutoMapSession *getAMS(dev_t kdev);
void putAMS(AutoMapSession *ams);
int newAMS(Backup *b, AutoMapSession **amSession);
/* Drains and frees a session already out of the table and off its queue. */
void closeAM(AutoMapSession *ams);
/* Out of the table: the device's session, or the next one from *slot on. */
AutoMapSession *takeSession(dev_t kdev);
AutoMapSession *takeNextSession(unsigned int *slot);
int sessionExists(dev_t kdev);
void sessionOutOfSync(dev_t kdev);
void waitForAMListUsers(unsigned long *flags);
void waitForAMSUsers(AutoMapSession *ams, unsigned long *flags);

/* User counts: a reader counts itself in under the lock; a drain returns
 * with the lock held and only the resting count left. */
void usersIn(spinlock_t *lock, atomic_t *users);
void drainUsers(spinlock_t *lock, atomic_t *users, unsigned long *flags);
/* The same for a drainer that holds `rest - 1` references of its own. */
void drainUsersTo(spinlock_t *lock, atomic_t *users, int rest, unsigned long *flags);

/* The automap update and the hooks. */
void updateAM(struct bio *bio, int bioMinor);
int velMRF(struct request_queue *q, struct bio *bio);
int velAMRF(struct request_queue *q, struct bio *bio);
int callRealMRF(Backup *b, struct bio *bio);
/* Once no queue holds a hook any more: returns when no task can still be
 * running a hook's code. May sleep. */
void waitForHookUsers(void);
/* The tracked device a bio of queue q belongs to, else the whole disk's
 * minor; never sleeps. */
int BIOToMinor(struct request_queue *q, struct bio *bio);
void BIOToBlockNumbers(DiskInfo *diskInfo, struct bio *bio, u32 *startBN, u32 *endBN);

/* The copy-on-write block cache: the block table of saved blocks and
 * cacheMap. */
#define VEL_BLOCK_TABLE_SIZE 4096
/* A session slab cache (SLAB_HWCACHE_ALIGN, no constructor or destructor). */
struct kmem_cache *createSlabCache(const char *name, size_t size);
int newBlockTable(Backup *b);
void closeBlockTable(Backup *b);
int newCacheMap(Backup *b);
void closeCacheMap(Backup *b);
/* 1 when the block's old contents still have to be saved. */
int doWeCacheBlock(Backup *b, u32 blockNum);
/* 0 when saved or not needed, 1 when no entry could be made (state 10). */
int saveBlock(Backup *b, const char *data, u32 blockNum);
void addCPtoBusyList(HashTable *ht, CachePage *cp);
/* With the bucket semaphore held. */
CachePage *getCacheBlock(Backup *b);
void freeCachePage(Backup *b, CachePage *cp);
void closeList(Backup *b, CachePage *cp);
/* Sets *lastCP to the predecessor only when the entry is not the first. */
CachePage *locateBlockInList(CachePage *cp, u32 blockNum, CachePage **lastCP);
/* blockSize when copied from the cache, else 0. */
int cacheRead(Backup *b, char *dest, u32 blockNum);
int cleanUpCache(Backup *b);
void closeCache(Backup *b);

/*
 * The transfer buffer: the agent's mappings of the control device, at most
 * two per backup. A read command fills an area only between a successful
 * vmaFillBegin (0 when the mapping went away since checkVMA found it; the
 * area must not be touched then) and vmaFillEnd, both under bSem; an unmap
 * meanwhile leaves the pages to vmaFillEnd.
 */
extern struct vm_operations_struct velVMOps;
int velMMAP(struct file *file, struct vm_area_struct *vma);
void velVMopen(struct vm_area_struct *vma);
void velVMclose(struct vm_area_struct *vma);
struct page *velVMnopage(struct vm_area_struct *vma, unsigned long address, int *type);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 26)
int velVMfault(struct vm_area_struct *vma, struct vm_fault *vmf);
#endif
void freeMMPages(Backup *b, BackupVMA *area);
int findVMA(Backup *b, struct vm_area_struct *vmaToFind, BackupVMA **area);
int checkVMA(Backup *b, char __user *data, BackupVMA **area);
int maxBVMAs(Backup *b, BackupVMA **area);
int getVMAPageCount(Backup *b);
char *mmPageAddr(Backup *b, int index, BackupVMA *area);
int vmaFillBegin(Backup *b, BackupVMA *area);
void vmaFillEnd(Backup *b, BackupVMA *area);

/* The disk block reader. */
int allocateBlockRequests(Backup *b);
void freeMMBRs(Backup *b);
void allocateBRCache(Backup *b);
void closeBRCache(Backup *b);
int isRequestSubmitted(Backup *b, int i);
int readBlocks(Backup *b, u32 startBlockNum, u32 numBlocks, BackupVMA *bVMA);
int waitForSubmitted(Backup *b, u32 startBlockNum, u32 numBlocks);
void waitForSubmittedReads(Backup *b, u32 numBlocks);
void freeSubmitted(Backup *b, u32 numBlocks);
void initBH(Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset,
            u32 blockNum);
void initBIO(Backup *b, struct bio *bio, struct buffer_head *bh);
/* Reads one block into page at offset 0; 1 when it came back up to date. */
int readOneBlock(Backup *b, struct page *page, u32 blockNum);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
void velBIOEndIO(struct bio *bio, int err);
#else
int velBIOEndIO(struct bio *bio, unsigned int bytesDone, int err);
#endif
void velBHEndIO(struct buffer_head *bh, int uptodate);

/* The deferred copy queue and kbackupd. */
extern pid_t backup_cachePID;
extern atomic_t backup_cacheThreadContinue;
extern struct completion backup_cacheThreadStartCompleted;
extern struct completion backup_cacheThreadExited;
int cacheMRFBlock(struct request_queue *q, struct bio *bio, int bioMinor);
/* For the automap hook: 1 when the bio was queued behind held requests. */
int followQueuedRequests(struct request_queue *q, struct bio *bio, int bioMinor);
int doWeCacheBlocks(Backup *b, u32 startBN, u32 endBN);
int newMR(Backup *b, struct request_queue *q, struct bio *bio, u32 startBN, u32 endBN);
void addMRToQueue(Backup *b, MakeRequest *mr);
MakeRequest *getTopMR(Backup *b);
void closeMR(MakeRequest *mr);
void processMR(Backup *b, MakeRequest *mr);
void cacheBlock(Backup *b, MakeRequest *mr, u32 blockNum);
int startWorkQueue(Backup *b);
void flushWorkQueue(Backup *b);
void waitForMRs(Backup *b, unsigned long *flags);
void killWorkQueue(Backup *b);

/* The snapshot and the automap transfer commands. */
int ioctlSnapShot(Backup *b, AMSessionKey __user *userKey, unsigned int keyLen);
int ioctlSync(Backup *b);
struct timespec calcTimeDiff(struct timespec *start, struct timespec *end);
int ioctlNoStartAutoMap(Backup *b);
int ioctlNoLoadFromAutoMap(Backup *b);
int ioctlGetAutoMapState(Backup *b, AutoMapState __user *userAMS, unsigned int amsLen);
int ioctlGetAutoMap(Backup *b, UserBlockMap *userBM);
int ioctlLoadBlockMap(Backup *b, UserBlockMap *userBM);
int newBUBlockMap(Backup *b, UserBlockMap *userBM);
void closeBUBlockMap(Backup *b);

/* The block read commands. */
int ioctlReadBlocks(Backup *b, u32 startBlockNum, u32 numBlocks, char __user *data);
int readFromCache(Backup *b, u32 startBlockNum, u32 numBlocks, BackupVMA *area);
void readCheckCache(Backup *b, u32 startBlockNum, u32 numBlocks, BackupVMA *area);
int ioctlGetDirtyBlock(Backup *b, u32 __user *userBlockNumPtr);
u32 anyDirtyBlock(Backup *b);

/* Statistics of a backup, logged when it ends. */
void setStats(Backup *b, Stats *stats);
void printStats(Stats *s);

/* Backup start and end. */
int ioctlStartBackup(Backup *b, dev_t kdev, u32 totalBlocks, u32 maxCacheBlocks);
void closeBackup(Backup *b);

#endif
