/*
 * The deferred copy queue and its thread, kbackupd: a bio that would
 * overwrite a block the backup still needs is held until the block's old
 * contents are saved, and bios for a held block follow it in order.
 */
#ifndef VELMORA_CACHE_THREAD_H
#define VELMORA_CACHE_THREAD_H

#include <linux/types.h>
#include <linux/blkdev.h>
#include <linux/bio.h>
#include <linux/completion.h>
#include <linux/semaphore.h>
#include <asm/atomic.h>

struct Backup;

/* A bio held back until the old contents of its blocks are saved. */
typedef struct MakeRequest {
    struct request_queue *q;
    struct bio *bio;
    u32 startBN;
    u32 endBN;
    struct MakeRequest *next;
} MakeRequest;

/* Wakes kbackupd: one count per queued request. */
extern struct semaphore signalThread;
extern pid_t backup_cachePID;
extern atomic_t backup_cacheThreadContinue;
extern struct completion backup_cacheThreadStartCompleted;
extern struct completion backup_cacheThreadExited;

/* From velMRF: 1 when the bio was held (the caller must not pass it on),
 * 0 when it goes on, -1 when it could not be held (state 13). */
int cacheMRFBlock(struct request_queue *q, struct bio *bio, int bioMinor);
/* For the automap hook: 1 when the bio was queued behind held requests. */
int followQueuedRequests(struct request_queue *q, struct bio *bio, int bioMinor);
int startWorkQueue(struct Backup *b);
/* Returns once every held request has been replayed. */
void flushWorkQueue(struct Backup *b);
void killWorkQueue(struct Backup *b);

#endif
