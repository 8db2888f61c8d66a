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

/* One block of a batch read from disk. */
typedef struct BIORequest {
    struct bio *bio;
    struct completion event;
} BIORequest;

int allocateBlockRequests(struct Backup *b);
void freeMMBRs(struct Backup *b);
void allocateBRCache(struct Backup *b);
void closeBRCache(struct Backup *b);
int isRequestSubmitted(struct Backup *b, int i);
/* Submits the blocks not in the cache; returns how many. */
int readBlocks(struct Backup *b, u32 startBlockNum, u32 numBlocks, struct BackupVMA *bVMA);
/* Waits for them; VEL_ERR_READ_FAILED when any failed (it reads as zeros). */
int waitForSubmitted(struct Backup *b, u32 startBlockNum, u32 numBlocks);
/* Waits without looking at the outcome. */
void waitForSubmittedReads(struct Backup *b, u32 numBlocks);
void freeSubmitted(struct Backup *b, u32 numBlocks);
void initBH(struct Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset,
            u32 blockNum);
/* Reads one block into page at offset 0; 1 when it came back up to date. */
int readOneBlock(struct Backup *b, struct page *page, u32 blockNum);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
void velBIOEndIO(struct bio *bio, int err);
#else
int velBIOEndIO(struct bio *bio, unsigned int bytesDone, int err);
#endif
void velBHEndIO(struct buffer_head *bh, int uptodate);
/* Hands a bio to the queue's own function, past the hook. */
int callRealMRF(struct Backup *b, struct bio *bio);

#endif
