/*
 * The deferred copy queue and its thread, kbackupd. A bio that would
 * overwrite a block the backup still needs is held as a MakeRequest. The
 * thread takes the queued requests in a batch, reads the old contents of all
 * their blocks at once, saves them in the cache, then passes the bios on in
 * their order. A bio for a block that still has a request in the queue, or
 * in the batch, is queued behind it, whatever the state, so that requests
 * for one block reach the disk in their order of arrival.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/mm.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <linux/string.h>

#include "cache_thread.h"
#include "backup.h"
#include "hook_policy.h"
#include "disk_reader.h"
#include "user_count.h"

pid_t backup_cachePID;
atomic_t backup_cacheThreadContinue = ATOMIC_INIT(1);
DECLARE_COMPLETION(backup_cacheThreadStartCompleted);
DECLARE_COMPLETION(backup_cacheThreadExited);

static pid_t cachePID(void) {
    return ACCESS_ONCE(backup_cachePID);
}

static int doWeCacheBlocks(Backup *b, u32 startBN, u32 endBN) {
    if (startBN > endBN)
        return 0;
    for (u32 n = startBN;; n++) {
        if (doWeCacheBlock(b, n))
            return 1;
        if (n == endBN)
            return 0;
    }
}

static void appendLocked(Backup *b, MakeRequest *mr) {
    if (b->mrTail)
        b->mrTail->next = mr;
    else
        b->mrHead = mr;
    b->mrTail = mr;
    atomic_inc(&b->mrInQueue);
}

static void addMRToQueue(Backup *b, MakeRequest *mr) {
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    appendLocked(b, mr);
    spin_unlock_irqrestore(&b->mrLock, flags);
    up(&signalThread);
}

static void fillMR(MakeRequest *mr, struct request_queue *q, struct bio *bio, u32 startBN,
                   u32 endBN) {
    mr->q = q;
    mr->bio = bio;
    mr->startBN = startBN;
    mr->endBN = endBN;
    mr->next = NULL;
}

static int newMR(Backup *b, struct request_queue *q, struct bio *bio, u32 startBN, u32 endBN) {
    MakeRequest *mr = (MakeRequest *)kmalloc(sizeof(*mr), GFP_NOIO);
    if (!mr)
        return 1;
    fillMR(mr, q, bio, startBN, endBN);
    addMRToQueue(b, mr);
    return 0;
}

/* Blocks whose copies one batch reads at most; the requests of a batch are
 * a prefix of the queue, and at least one. */
#define VEL_COPY_BATCH 256

/*
 * The requests taken are published as the ones being replayed in the same
 * section: a bio for their blocks must never find them in neither place.
 * Returns the batch, linked by next, and its number of requests.
 */
static MakeRequest *takeBatch(Backup *b, int *count) {
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    MakeRequest *first = b->mrHead, *last = NULL;
    u32 blocks = 0;
    *count = 0;
    for (MakeRequest *mr = first; mr; mr = mr->next) {
        u32 span = mr->startBN <= mr->endBN ? mr->endBN - mr->startBN + 1 : 0;
        if (last && blocks + span > VEL_COPY_BATCH)
            break;
        blocks += span;
        last = mr;
        ++*count;
    }
    if (last) {
        b->mrHead = last->next;
        if (!b->mrHead)
            b->mrTail = NULL;
        last->next = NULL;
    }
    b->mrReplaying = last ? first : NULL;
    spin_unlock_irqrestore(&b->mrLock, flags);
    return last ? first : NULL;
}

static void closeMR(MakeRequest *mr) {
    kfree(mr);
}

static int touches(MakeRequest *mr, u32 startBN, u32 endBN) {
    return mr && mr->startBN <= endBN && startBN <= mr->endBN;
}

/* Whether a queued request, or one being replayed, touches a block of the
 * range; with mrLock held. */
static int overlapLocked(Backup *b, u32 startBN, u32 endBN) {
    for (MakeRequest *mr = b->mrHead; mr; mr = mr->next)
        if (touches(mr, startBN, endBN))
            return 1;
    for (MakeRequest *mr = b->mrReplaying; mr; mr = mr->next)
        if (touches(mr, startBN, endBN))
            return 1;
    return 0;
}

static int queuedOverlap(Backup *b, u32 startBN, u32 endBN) {
    if (atomic_read(&b->mrInQueue) <= 0)
        return 0;
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    int found = overlapLocked(b, startBN, endBN);
    spin_unlock_irqrestore(&b->mrLock, flags);
    return found;
}

/*
 * Queues a bio behind the held requests that touch its blocks. The test and
 * the append are made under one lock, so a request cannot finish its replay
 * between them; the allocation is never given up, since the bio must not
 * overtake. Returns 1 when the bio was queued.
 */
static int followQueued(Backup *b, struct request_queue *q, struct bio *bio, u32 startBN,
                        u32 endBN) {
    if (!queuedOverlap(b, startBN, endBN))
        return 0;
    MakeRequest *mr;
    while (!(mr = (MakeRequest *)kmalloc(sizeof(*mr), GFP_NOIO)))
        schedule();
    fillMR(mr, q, bio, startBN, endBN);
    unsigned long flags;
    spin_lock_irqsave(&b->mrLock, flags);
    int found = overlapLocked(b, startBN, endBN);
    if (found)
        appendLocked(b, mr);
    spin_unlock_irqrestore(&b->mrLock, flags);
    if (!found) {
        kfree(mr);
        return 0;
    }
    up(&signalThread);
    return 1;
}

/*
 * The active backup if the bio is for its device, with a request reference
 * that keeps the record alive until releaseActive(); else NULL.
 */
static Backup *takeActive(struct bio *bio, int bioMinor) {
    /* Without a published backup nothing is held and nothing is copied; a
     * backup published after this test has not taken its snapshot yet, so it
     * holds nothing either. Spares every bio between backups the lock. */
    if (!ACCESS_ONCE(activeSession))
        return NULL;
    usersIn(&activeSessionUsersLock, &activeSessionUsers);
    Backup *b = ACCESS_ONCE(activeSession);
    if (b && (MAJOR(b->diskInfo.kdev) != MAJOR(bio->bi_bdev->bd_dev) ||
              MINOR(b->diskInfo.kdev) != (unsigned int)bioMinor))
        b = NULL;
    if (b)
        atomic_inc(&b->requestUsers);
    atomic_dec(&activeSessionUsers);
    return b;
}

static void releaseActive(Backup *b) {
    atomic_dec(&b->requestUsers);
}

int cacheMRFBlock(struct request_queue *q, struct bio *bio, int bioMinor) {
    Backup *b = takeActive(bio, bioMinor);
    if (!b)
        return 0;
    u32 startBN, endBN;
    int result = 0;
    down_read(&b->writers);
    BIOToBlockNumbers(&b->diskInfo, bio, &startBN, &endBN);
    u32 state = velGetState(b);
    /* Read-ahead is never held for a copy, but it still keeps its place. */
    int copy = (bio->bi_rw & (RW_MASK | RWA_MASK)) != READA && state >= VEL_STATE_SNAPSHOT &&
               state <= VEL_STATE_MAP_LOADED && doWeCacheBlocks(b, startBN, endBN);
    if (copy) {
        if (newMR(b, q, bio, startBN, endBN) == 0 || followQueued(b, q, bio, startBN, endBN)) {
            result = 1;
        } else {
            velFailBackup(b, VEL_STATE_REQUEST_LOST);
            errorAMS(b);
            result = -1;
        }
    } else {
        result = followQueued(b, q, bio, startBN, endBN);
    }
    up_read(&b->writers);
    releaseActive(b);
    return result;
}

int followQueuedRequests(struct request_queue *q, struct bio *bio, int bioMinor) {
    Backup *b = takeActive(bio, bioMinor);
    if (!b)
        return 0;
    u32 startBN, endBN;
    BIOToBlockNumbers(&b->diskInfo, bio, &startBN, &endBN);
    int queued = followQueued(b, q, bio, startBN, endBN);
    releaseActive(b);
    return queued;
}

/* Room for one batch's copies; only kbackupd uses it. */
static struct {
    u32 blocks[VEL_COPY_BATCH];
    struct page *pages[VEL_COPY_BATCH];
    u8 ok[VEL_COPY_BATCH];
    struct bio *runs[VEL_COPY_BATCH];
    int runFirst[VEL_COPY_BATCH];
} copies;

static int isWrite(MakeRequest *mr) {
    /* Any bio with the write bit changes the disk, read-ahead bit or not. */
    return (mr->bio->bi_rw & RW_MASK) == WRITE;
}

/*
 * The blocks of the batch's writes whose old contents are still needed,
 * each once, in order of arrival, from block *from of the first request on.
 * A batch holds more than VEL_COPY_BATCH blocks only as one request alone,
 * whose blocks are distinct: *more then says that a pass starting at *from
 * must follow.
 */
static int blocksToCopy(Backup *b, MakeRequest *batch, u32 *from, int *more) {
    int count = 0;
    *more = 0;
    for (MakeRequest *mr = batch; mr; mr = mr->next) {
        if (!isWrite(mr) || mr->startBN > mr->endBN)
            continue;
        for (u32 n = mr == batch ? *from : mr->startBN;; n++) {
            if (count == VEL_COPY_BATCH) {
                *from = n;
                *more = 1;
                return count;
            }
            int seen = 0;
            for (int i = count - 1; i >= 0 && !seen; i--)
                seen = copies.blocks[i] == n;
            if (!seen && doWeCacheBlock(b, n))
                copies.blocks[count++] = n;
            if (n == mr->endBN)
                break;
        }
    }
    return count;
}

/* Pages to read the copies into; fewer than asked when memory runs out,
 * which fails the backup (state 10). */
static int pagesForCopies(Backup *b, int count) {
    for (int i = 0; i < count; i++) {
        copies.pages[i] = alloc_pages(GFP_NOIO, 0);
        if (!copies.pages[i]) {
            velFailBackup(b, VEL_STATE_CACHE_FULL);
            errorAMS(b);
            return i;
        }
        atomic_inc(&b->totalAllocPages);
        atomic_inc(&b->curAllocPages);
    }
    return count;
}

static void saveCopies(Backup *b, int count) {
    for (int i = 0; i < count; i++) {
        u32 n = copies.blocks[i];
        if (!copies.ok[i]) {
            velFailBackup(b, VEL_STATE_READ_ERROR);
            printk(KERN_ERR "%s: Block read error blockNum=%u MAJOR=%d MINOR=%d\n", "cacheBlock", n,
                   MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
            errorAMS(b);
        } else if (saveBlock(b, (char *)page_address(copies.pages[i]), n)) {
            printk(KERN_ERR "%s: Error caching blockNum=%u MAJOR=%d MINOR=%d\n", "cacheBlock", n,
                   MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
            errorAMS(b);
        }
    }
}

/* Saves the old contents of every block the batch's writes would change,
 * reading a pass of them before the first wait. */
static void copyBatch(Backup *b, MakeRequest *batch) {
    down_read(&b->cacheUsers);
    u32 from = batch->startBN;
    int more = 1;
    while (more && velGetState(b) <= VEL_STATE_MAP_LOADED) {
        int count = pagesForCopies(b, blocksToCopy(b, batch, &from, &more));
        readBlockSet(b, copies.blocks, copies.pages, count, copies.ok, copies.runs,
                     copies.runFirst);
        saveCopies(b, count);
        for (int i = 0; i < count; i++)
            __free_pages(copies.pages[i], 0);
        atomic_sub(count, &b->curAllocPages);
    }
    up_read(&b->cacheUsers);
}

/* Passes a request's bio on; its blocks are settled once the write is. */
static void release(Backup *b, MakeRequest *mr) {
    /* The bio may be gone once it is passed on: read what we need first. */
    int write = isWrite(mr);
    u32 first = mr->startBN, last = mr->endBN;
    callRealMRF(b, mr->bio);
    if (write && first <= last) {
        for (u32 n = first;; n++) {
            if (doWeCacheBlock(b, n))
                setBlock(&b->cacheMap, n);
            if (n == last)
                break;
        }
    }
}

/* Replays a batch; its requests count as queued until the replay is over. */
static void replay(Backup *b, MakeRequest *batch, int count) {
    unsigned long flags;
    copyBatch(b, batch);
    for (MakeRequest *mr = batch; mr; mr = mr->next)
        release(b, mr);
    spin_lock_irqsave(&b->mrLock, flags);
    b->mrReplaying = NULL;
    spin_unlock_irqrestore(&b->mrLock, flags);
    atomic_sub(count, &b->mrInQueue);
    while (batch) {
        MakeRequest *next = batch->next;
        closeMR(batch);
        batch = next;
    }
}

static int backup_cache(void *unused) {
    daemonize("kbackupd");
    allow_signal(SIGKILL);
    printk(KERN_INFO "%s: kbackupd thread started%s", __func__, "\n");
    complete(&backup_cacheThreadStartCompleted);
    while (atomic_read(&backup_cacheThreadContinue) == 1) {
        (void)down_interruptible(&signalThread);
        if (atomic_read(&backup_cacheThreadContinue) != 1)
            break;
        Backup *b = ACCESS_ONCE(activeSession);
        if (b && velGetState(b) > VEL_STATE_STARTED) {
            int count;
            MakeRequest *batch = takeBatch(b, &count);
            /* One wake-up served the whole batch: the others' counts are
             * taken now, or the thread would spin through them later, on
             * the CPU the writers need. */
            for (int i = 1; i < count; i++)
                if (down_trylock(&signalThread))
                    break;
            if (batch)
                replay(b, batch, count);
        }
    }
    up(&signalThread);
    printk(KERN_INFO "%s: backupd thread exiting%s", __func__, "\n");
    complete_and_exit(&backup_cacheThreadExited, 0);
}

int startWorkQueue(Backup *b) {
    down(&signalThread);
    atomic_set(&backup_cacheThreadContinue, 1);
    pid_t pid = kernel_thread(backup_cache, NULL, 0);
    ACCESS_ONCE(backup_cachePID) = pid;
    if (pid < 0) {
        printk(KERN_ERR "%s: error starting cache thread%s", __func__, "\n");
        /* Give back the count taken above, or the next start waits for ever. */
        up(&signalThread);
        return pid;
    }
    b->startedCacheThread = 1;
    wait_for_completion(&backup_cacheThreadStartCompleted);
    return 0;
}

static void waitForMRs(Backup *b, unsigned long *flags) {
    for (;;) {
        spin_lock_irqsave(&b->mrLock, *flags);
        if (atomic_read(&b->mrInQueue) <= 0 || cachePID() <= 0)
            break;
        spin_unlock_irqrestore(&b->mrLock, *flags);
        schedule();
    }
    if (cachePID() <= 0)
        printk(KERN_ERR "%s: backup_cache thread died during waitForMRs%s", __func__, "\n");
}

void flushWorkQueue(Backup *b) {
    if (cachePID() <= 0)
        return;
    unsigned long flags;
    waitForMRs(b, &flags);
    spin_unlock_irqrestore(&b->mrLock, flags);
}

void killWorkQueue(Backup *b) {
    if (!b->startedCacheThread || cachePID() <= 0)
        return;
    atomic_set(&backup_cacheThreadContinue, 0);
    up(&signalThread);
    wait_for_completion(&backup_cacheThreadExited);
    ACCESS_ONCE(backup_cachePID) = 0;
}
