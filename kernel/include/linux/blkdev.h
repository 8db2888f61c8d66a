#ifndef _LINUX_BLKDEV_H
#define _LINUX_BLKDEV_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/bio.h>
#include <linux/spinlock.h>

struct request_queue;

/*
 * A queue's make_request_fn takes charge of a bio and returns 0, or returns
 * non-zero to have generic_make_request() submit the (remapped) bio again.
 */
typedef int(make_request_fn)(struct request_queue *q, struct bio *bio);

struct request_queue {
    ::make_request_fn *make_request_fn;
    spinlock_t *queue_lock; /* may be NULL: a queue need not have a lock */
    spinlock_t __queue_lock;
    void *queuedata;
    unsigned short hardsect_size;
    unsigned int max_sectors;
    atomic_t refcnt;
    int dead; /* its disk is gone: bios sent to it end with -EIO */
    /* The stand-in's own disks: frees the driver's state with the last
     * reference, since a holder may still call the disk's function. */
    void (*standin_release)(struct request_queue *q);
};

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 25)
typedef struct request_queue request_queue_t;
#endif

extern "C" {
struct request_queue *blk_alloc_queue(gfp_t gfp_mask);
void blk_queue_make_request(struct request_queue *q, make_request_fn *mfn);
void blk_cleanup_queue(struct request_queue *q);
/* A reference that keeps the queue's memory; 1 when it is being torn down. */
int blk_get_queue(struct request_queue *q);
void blk_put_queue(struct request_queue *q);
void blk_queue_hardsect_size(struct request_queue *q, unsigned short size);

/* Remaps a partition's bio onto its whole disk and hands it to the disk's
 * queue, again while the queue's function returns non-zero. */
void generic_make_request(struct bio *bio);
void submit_bio(int rw, struct bio *bio);
}

static inline struct request_queue *bdev_get_queue(struct block_device *bdev) {
    return bdev->bd_disk->queue;
}

#endif
