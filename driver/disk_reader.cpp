/*
 * Reading blocks of the backup's device from disk: a buffer head wrapped in a
 * one-segment bio, handed to the queue's own make-request function so that
 * it never passes through our hook, and completed through velBIOEndIO and
 * velBHEndIO. A batch of a read command is issued whole before any wait.
 * callRealMRF, the way past the hook, also serves the bios kbackupd held.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/buffer_head.h>
#include <linux/mm.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "disk_reader.h"
#include "backup.h"
#include "shim-2.6.h"

/* Sector and block numbers are printed as the release's sector_t is. */
#if LINUX_VERSION_CODE <= KERNEL_VERSION(2, 6, 19)
#define VEL_SECTOR_FMT "%llu"
#else
#define VEL_SECTOR_FMT "%lu"
#endif

int allocateBlockRequests(Backup *b) {
    unsigned long slots = (unsigned long)b->maxVMPages * b->diskInfo.blocksPerPage;
    b->mmBIORequests = (BIORequest **)vmalloc(slots * sizeof(BIORequest *));
    if (!b->mmBIORequests)
        return VEL_ERR_NO_MEMORY;
    memset(b->mmBIORequests, 0, slots * sizeof(BIORequest *));
    return VEL_OK;
}

void freeMMBRs(Backup *b) {
    if (!b->mmBIORequests)
        return;
    vfree(b->mmBIORequests);
    b->mmBIORequests = NULL;
}

/* Read requests come from kmalloc; there is no cache of them to set up. */
void allocateBRCache(Backup *b) {}
void closeBRCache(Backup *b) {}

int isRequestSubmitted(Backup *b, int i) {
    return b->mmBIORequests[i] != NULL;
}

/* A read that was asked for is never given up for want of memory. */
static struct buffer_head *allocBH(void) {
    struct buffer_head *bh;
    while (!(bh = alloc_buffer_head(GFP_NOIO)))
        schedule();
    return bh;
}

static struct bio *allocBIO(int vecs) {
    struct bio *bio;
    while (!(bio = bio_alloc(GFP_NOIO, vecs)))
        schedule();
    return bio;
}

static BIORequest *allocBIORequest(void) {
    BIORequest *br;
    while (!(br = (BIORequest *)kmalloc(sizeof(*br), GFP_NOIO)))
        schedule();
    memset(br, 0, sizeof(*br));
    return br;
}

void initBH(Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset,
            u32 blockNum) {
    bh->b_bdev = b->diskInfo.bdev;
    bh->b_blocknr = blockNum;
    set_bh_page(bh, page, offset);
    bh->b_size = (size_t)b->diskInfo.blockSize;
    bh->b_end_io = velBHEndIO;
    bh->b_state = (1UL << BH_Lock) | (1UL << BH_Req) | (1UL << BH_Mapped);
    INIT_LIST_HEAD(&bh->b_assoc_buffers);
    get_bh(bh);
}

static void initBIO(Backup *b, struct bio *bio, struct buffer_head *bh) {
    bio->bi_bdev = bh->b_bdev;
    bio->bi_sector =
        (sector_t)b->diskInfo.sectorsPerBlock * bh->b_blocknr + b->diskInfo.partitionStart;
    bio->bi_idx = 0;
    bio->bi_private = bh;
    bio->bi_end_io = velBIOEndIO;
    bio_get(bio);
    bio->bi_rw = READ;
}

/*
 * A read unit of block n into page at offset, with room for `vecs` pages
 * more of the blocks that follow; counted as a read request.
 */
static struct bio *newReadUnit(Backup *b, struct page *page, unsigned long offset, u32 n,
                               int vecs) {
    struct buffer_head *bh = allocBH();
    struct bio *bio = allocBIO(vecs);
    atomic_inc(&b->curAllocBRs);
    atomic_inc(&b->totalAllocBRs);
    initBH(b, bh, page, offset, n);
    initBIO(b, bio, bh);
    bio_add_page(bio, page, (unsigned int)bh->b_size, (unsigned int)offset);
    return bio;
}

/*
 * Waits until a read unit is complete and its completion is done with it:
 * unlock_buffer() wakes the waiter before the completion drops its
 * references to the buffer head and the bio, and neither may be freed while
 * it still does. The completion's last act is its bio_put.
 */
static void waitForReadUnit(struct bio *bio) {
    wait_on_buffer((struct buffer_head *)bio->bi_private);
    while (atomic_add_return(0, &bio->bi_cnt) > 1)
        schedule();
}

/*
 * Frees a completed read unit. The buffer head's extra reference was dropped
 * by its completion, so it is simply freed; the bio loses its last reference.
 */
static void freeReadUnit(Backup *b, struct bio *bio) {
    struct buffer_head *bh = (struct buffer_head *)bio->bi_private;
    if (bh) {
        free_buffer_head(bh);
        bio->bi_private = NULL;
    }
    bio_put(bio);
    atomic_dec(&b->curAllocBRs);
}

static struct page *slotPage(Backup *b, BackupVMA *area, u32 i, unsigned long *offset) {
    unsigned int perPage = b->diskInfo.blocksPerPage;
    *offset = (unsigned long)(i % perPage) * (unsigned long)b->diskInfo.blockSize;
    return area->mmPages[i / perPage];
}

/* Pages a bio may need for the rest of a batch from slot i on. */
static int vecsFor(Backup *b, u32 i, u32 numBlocks) {
    unsigned long pages = ((unsigned long)(numBlocks - i) + b->diskInfo.blocksPerPage - 1) /
                              b->diskInfo.blocksPerPage +
                          1;
    return pages < BIO_MAX_PAGES ? (int)pages : BIO_MAX_PAGES;
}

/*
 * Submits the blocks not in the cache, one bio for each run of them that
 * the queue takes whole: a run ends at a cached block or where the bio is
 * full. Every slot of a run points to the run's request.
 */
int readBlocks(Backup *b, u32 startBlockNum, u32 numBlocks, BackupVMA *bVMA) {
    int submitted = 0;
    BIORequest *run = NULL;
    /* An empty cache has no bit in cacheMap. A block saved after this look
     * is read from the disk and then taken from the cache by the command's
     * re-check, as any block saved while its read is under way. */
    int cacheEmpty = atomic_read(&b->curCBs) == 0;
    for (u32 i = 0; i < numBlocks; i++) {
        u32 n = startBlockNum + i;
        if (!cacheEmpty && blockInMap(&b->cacheMap, n)) {
            /* its old contents are in the cache */
            if (run)
                callRealMRF(b, run->bio);
            run = NULL;
            continue;
        }
        unsigned long offset;
        struct page *page = slotPage(b, bVMA, i, &offset);
        unsigned int len = (unsigned int)b->diskInfo.blockSize;
        if (run && bio_add_page(run->bio, page, len, (unsigned int)offset) == (int)len) {
            run->blocks++;
            ((struct buffer_head *)run->bio->bi_private)->b_size += len;
        } else {
            if (run)
                callRealMRF(b, run->bio);
            run = allocBIORequest();
            run->first = i;
            run->blocks = 1;
            run->bio = newReadUnit(b, page, offset, n, vecsFor(b, i, numBlocks));
        }
        b->mmBIORequests[i] = run;
        atomic_inc(&b->totalReadBlocks);
        submitted++;
    }
    if (run)
        callRealMRF(b, run->bio);
    return submitted;
}

/* Whether slot i is the first of its run: a run is waited for and freed once. */
static BIORequest *runAt(Backup *b, u32 i) {
    BIORequest *br = b->mmBIORequests[i];
    return br && br->first == i ? br : NULL;
}

/*
 * A run that failed is read again block by block, so that only the blocks
 * the disk cannot give read as zeros, never as stale buffer bytes.
 */
static int rereadRun(Backup *b, BIORequest *br, u32 startBlockNum, BackupVMA *area) {
    int result = VEL_OK;
    for (u32 i = br->first; i < br->first + br->blocks; i++) {
        unsigned long offset;
        struct page *page = slotPage(b, area, i, &offset);
        if (br->blocks > 1 && readBlockAt(b, page, offset, startBlockNum + i))
            continue;
        memset((char *)page_address(page) + offset, 0, b->diskInfo.blockSize);
        result = VEL_ERR_READ_FAILED;
    }
    return result;
}

int waitForSubmitted(Backup *b, u32 startBlockNum, u32 numBlocks, BackupVMA *area) {
    int result = VEL_OK;
    for (u32 i = 0; i < numBlocks; i++) {
        BIORequest *br = runAt(b, i);
        if (!br)
            continue;
        waitForReadUnit(br->bio);
        if (!bio_flagged(br->bio, BIO_UPTODATE) &&
            rereadRun(b, br, startBlockNum, area) == VEL_ERR_READ_FAILED)
            result = VEL_ERR_READ_FAILED;
        if (velGetState(b) == VEL_STATE_MAP_LOADED)
            for (u32 k = i; k < i + br->blocks; k++)
                unSetBlock(&b->blockMap, startBlockNum + k);
    }
    return result;
}

void freeSubmitted(Backup *b, u32 numBlocks) {
    for (u32 i = 0; i < numBlocks; i++) {
        BIORequest *br = runAt(b, i);
        if (br) {
            if (br->bio) {
                freeReadUnit(b, br->bio);
                br->bio = NULL;
            }
            /* The run's later slots point at it too: once it is freed,
             * runAt must not read it through them. */
            for (u32 k = i; k < i + br->blocks && k < numBlocks; k++)
                b->mmBIORequests[k] = NULL;
            kfree(br);
        }
    }
    memset(b->mmBIORequests, 0, numBlocks * sizeof(BIORequest *));
}

/* Waits for every read of a batch without looking at the results. */
void waitForSubmittedReads(Backup *b, u32 numBlocks) {
    for (u32 i = 0; i < numBlocks; i++) {
        BIORequest *br = runAt(b, i);
        if (br && br->bio)
            waitForReadUnit(br->bio);
    }
}

int readBlockAt(Backup *b, struct page *page, unsigned long offset, u32 blockNum) {
    struct bio *bio = newReadUnit(b, page, offset, blockNum, 1);
    callRealMRF(b, bio);
    waitForReadUnit(bio);
    int uptodate = bio_flagged(bio, BIO_UPTODATE) != 0;
    freeReadUnit(b, bio);
    return uptodate;
}

int readOneBlock(Backup *b, struct page *page, u32 blockNum) {
    return readBlockAt(b, page, 0, blockNum);
}

/*
 * Reads blocks[i] into pages[i] at offset 0 for every i below count, one bio
 * for each run of consecutive block numbers, every run in flight before the
 * first wait. ok[i] tells whether block i came back; a run that failed is
 * read again block by block.
 */
void readBlockSet(Backup *b, const u32 *blocks, struct page **pages, int count, u8 *ok,
                  struct bio **runs, int *runFirst) {
    unsigned int len = (unsigned int)b->diskInfo.blockSize;
    int nRuns = 0;
    for (int i = 0; i < count; i++) {
        struct bio *run = nRuns ? runs[nRuns - 1] : NULL;
        if (run && blocks[i] == blocks[i - 1] + 1 &&
            bio_add_page(run, pages[i], len, 0) == (int)len) {
            ((struct buffer_head *)run->bi_private)->b_size += len;
            continue;
        }
        if (run)
            callRealMRF(b, run);
        int vecs = count - i < BIO_MAX_PAGES ? count - i : BIO_MAX_PAGES;
        runFirst[nRuns] = i;
        runs[nRuns++] = newReadUnit(b, pages[i], 0, blocks[i], vecs);
    }
    if (nRuns)
        callRealMRF(b, runs[nRuns - 1]);
    for (int r = 0; r < nRuns; r++) {
        int end = r + 1 < nRuns ? runFirst[r + 1] : count;
        waitForReadUnit(runs[r]);
        int uptodate = bio_flagged(runs[r], BIO_UPTODATE) != 0;
        freeReadUnit(b, runs[r]);
        for (int i = runFirst[r]; i < end; i++)
            ok[i] = uptodate || (end - runFirst[r] > 1 && readBlockAt(b, pages[i], 0, blocks[i]));
    }
}

/* The end of a read unit's bio, once no bytes remain to come. */
static void endReadBio(struct bio *bio, int err) {
    struct buffer_head *bh = (struct buffer_head *)bio->bi_private;
    if (!bio_flagged(bio, BIO_UPTODATE))
        printk(KERN_WARNING "%s: IO error, bio=%p, major=%d, sector=" VEL_SECTOR_FMT "\n",
               "velBIOEndIO", (void *)bio, MAJOR(bio->bi_bdev->bd_dev), bio->bi_sector);
    if (err == -EOPNOTSUPP) {
        set_bit(BIO_EOPNOTSUPP, &bio->bi_flags);
        set_bit(BH_Eopnotsupp, &bh->b_state);
    }
    bh->b_end_io(bh, bio_flagged(bio, BIO_UPTODATE) ? 1 : 0);
    bio_put(bio);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
void velBIOEndIO(struct bio *bio, int err) {
    endReadBio(bio, err);
}
#else
/*
 * The older completion may be called for part of the bio: bytes still
 * outstanding with no error mean more is to come. Outstanding bytes with an
 * error end the read as failed.
 */
int velBIOEndIO(struct bio *bio, unsigned int bytesDone, int err) {
    if (bio->bi_size && !err)
        return 1;
    if (bio->bi_size) {
        printk(KERN_WARNING "%s: IO info, size=%d\n", __func__, (int)bio->bi_size);
        clear_bit(BIO_UPTODATE, &bio->bi_flags);
    }
    endReadBio(bio, err);
    return 0;
}
#endif

void velBHEndIO(struct buffer_head *bh, int uptodate) {
    if (uptodate)
        set_buffer_uptodate(bh);
    else
        printk(KERN_WARNING
               "%s: buffer_head I/O error bh=%p, major=%d, minor=%d, block=" VEL_SECTOR_FMT "\n",
               __func__, (void *)bh, MAJOR(bh->b_bdev->bd_dev), MINOR(bh->b_bdev->bd_dev),
               bh->b_blocknr);
    unlock_buffer(bh);
    put_bh(bh);
}

/* Ends a bio that cannot be passed on, so its submitter is not left waiting. */
static void failBio(struct bio *bio) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
    bio_endio(bio, -EIO);
#else
    bio_endio(bio, bio->bi_size, -EIO);
#endif
}

int callRealMRF(Backup *b, struct bio *bio) {
    struct request_queue *q = velGetRequestQueue(bio->bi_bdev);
    if (!q) {
        printk(KERN_ERR "%s: Block read error: (bdev queue is null) MAJOR=%d MINOR=%d\n", __func__,
               MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
        failBio(bio);
        return 0;
    }
    if (b->diskInfo.realMRF(q, bio))
        generic_make_request(bio);
    return 0;
}
