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

static struct bio *allocBIO(void) {
    struct bio *bio;
    while (!(bio = bio_alloc(GFP_NOIO, 1)))
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
    bio->bi_io_vec[0].bv_page = bh->b_page;
    bio->bi_io_vec[0].bv_len = (unsigned int)bh->b_size;
    bio->bi_io_vec[0].bv_offset = (unsigned int)((unsigned long)bh->b_data % PAGE_SIZE);
    bio->bi_vcnt = 1;
    bio->bi_idx = 0;
    bio->bi_size = (unsigned int)bh->b_size;
    bio->bi_private = bh;
    bio->bi_end_io = velBIOEndIO;
    bio_get(bio);
    bio->bi_rw = READ;
}

/* A read unit of block n into page at offset; counted as a read request. */
static struct bio *newReadUnit(Backup *b, struct page *page, unsigned long offset, u32 n) {
    struct buffer_head *bh = allocBH();
    struct bio *bio = allocBIO();
    atomic_inc(&b->curAllocBRs);
    atomic_inc(&b->totalAllocBRs);
    initBH(b, bh, page, offset, n);
    initBIO(b, bio, bh);
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

int readBlocks(Backup *b, u32 startBlockNum, u32 numBlocks, BackupVMA *bVMA) {
    int submitted = 0;
    unsigned int perPage = b->diskInfo.blocksPerPage;
    for (u32 i = 0; i < numBlocks; i++) {
        u32 n = startBlockNum + i;
        if (blockInMap(&b->cacheMap, n))
            continue; /* its old contents are in the cache */
        BIORequest *br = allocBIORequest();
        b->mmBIORequests[i] = br;
        br->bio =
            newReadUnit(b, bVMA->mmPages[i / perPage],
                        (unsigned long)(i % perPage) * (unsigned long)b->diskInfo.blockSize, n);
        callRealMRF(b, br->bio);
        atomic_inc(&b->totalReadBlocks);
        submitted++;
    }
    return submitted;
}

int waitForSubmitted(Backup *b, u32 startBlockNum, u32 numBlocks) {
    int result = VEL_OK;
    for (u32 i = 0; i < numBlocks; i++) {
        BIORequest *br = b->mmBIORequests[i];
        if (!br)
            continue;
        struct bio *bio = br->bio;
        waitForReadUnit(bio);
        if (!bio_flagged(bio, BIO_UPTODATE)) {
            /* A failed block reads as zeros, never as stale buffer bytes. */
            for (int v = 0; v < bio->bi_vcnt; v++) {
                struct bio_vec *bv = &bio->bi_io_vec[v];
                if (bv->bv_offset + bv->bv_len > PAGE_SIZE) {
                    printk(KERN_CRIT
                           "%s: BIO segment greater than page size (offset=%d, length=%d)",
                           __func__, (int)bv->bv_offset, (int)bv->bv_len);
                    BUG();
                }
                memset((char *)page_address(bv->bv_page) + bv->bv_offset, 0, bv->bv_len);
            }
            result = VEL_ERR_READ_FAILED;
        }
        if (velGetState(b) == VEL_STATE_MAP_LOADED)
            unSetBlock(&b->blockMap, startBlockNum + i);
    }
    return result;
}

void freeSubmitted(Backup *b, u32 numBlocks) {
    for (u32 i = 0; i < numBlocks; i++) {
        BIORequest *br = b->mmBIORequests[i];
        if (!br)
            continue;
        if (br->bio) {
            freeReadUnit(b, br->bio);
            br->bio = NULL;
        }
        kfree(br);
        b->mmBIORequests[i] = NULL;
    }
}

/* Waits for every read of a batch without looking at the results. */
void waitForSubmittedReads(Backup *b, u32 numBlocks) {
    for (u32 i = 0; i < numBlocks; i++) {
        BIORequest *br = b->mmBIORequests[i];
        if (br && br->bio)
            waitForReadUnit(br->bio);
    }
}

int readOneBlock(Backup *b, struct page *page, u32 blockNum) {
    struct bio *bio = newReadUnit(b, page, 0, blockNum);
    callRealMRF(b, bio);
    waitForReadUnit(bio);
    int uptodate = bio_flagged(bio, BIO_UPTODATE) != 0;
    freeReadUnit(b, bio);
    return uptodate;
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
