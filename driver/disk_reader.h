/*
 * Reading blocks of the backup's device from disk, past the hook: batches of
 * a read command into a transfer-buffer area, and single blocks for the
 * copies of kbackupd.
 */
#ifndef VELMORA_DISK_READER_H
#define VELMORA_DISK_READER_H

#include <linux/types.h>
#include <linux/bio.h>
#include <linux/buffer_head.h>
#include <linux/completion.h>
#include <linux/mm.h>

struct Backup;
struct BackupVMA;

/* A run of blocks of a batch read from disk with one bio: slots first to
 * first + blocks - 1 of the batch. */
typedef struct BIORequest {
    struct bio *bio;
    u32 first;
    u32 blocks;
} BIORequest;

int allocateBlockRequests(struct Backup *b);
void freeMMBRs(struct Backup *b);
void allocateBRCache(struct Backup *b);
void closeBRCache(struct Backup *b);
int isRequestSubmitted(struct Backup *b, int i);
/* Submits the blocks not in the cache; returns how many. */
int readBlocks(struct Backup *b, u32 startBlockNum, u32 numBlocks, struct BackupVMA *bVMA);
/* Waits for them; VEL_ERR_READ_FAILED when any failed (it reads as zeros). */
int waitForSubmitted(struct Backup *b, u32 startBlockNum, u32 numBlocks, struct BackupVMA *area);
/* Waits without looking at the outcome. */
void waitForSubmittedReads(struct Backup *b, u32 numBlocks);
void freeSubmitted(struct Backup *b, u32 numBlocks);
void initBH(struct Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset,
            u32 blockNum);
/* Reads one block into page at offset 0; 1 when it came back up to date. */
int readOneBlock(struct Backup *b, struct page *page, u32 blockNum);
/* The same at an offset in the page. */
int readBlockAt(struct Backup *b, struct page *page, unsigned long offset, u32 blockNum);
/* Reads blocks[i] into pages[i] for i below count, each run of consecutive
 * blocks in one bio, all in flight at once; ok[i] is 1 for a block read.
 * runs and runFirst are room for count entries. */
void readBlockSet(struct Backup *b, const u32 *blocks, struct page **pages, int count, u8 *ok,
                  struct bio **runs, int *runFirst);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
void velBIOEndIO(struct bio *bio, int err);
#else
int velBIOEndIO(struct bio *bio, unsigned int bytesDone, int err);
#endif
void velBHEndIO(struct buffer_head *bh, int uptodate);
/* Hands a bio to the queue's own function, past the hook. */
int callRealMRF(struct Backup *b, struct bio *bio);

#endif
