/*
 * Request queues and the submission of bios: generic_make_request checks the
 * bio against the device's end, remaps a partition's bio onto its whole disk
 * and calls the queue's make_request_fn, again while it returns non-zero.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/genhd.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <asm/bitops.h>
#include <linux/errno.h>

#include "internal.h"

#define SAFE_MAX_SECTORS 255

extern "C" struct request_queue *blk_alloc_queue(gfp_t gfp_mask) {
    struct request_queue *q =
        (struct request_queue *)internal_alloc(sizeof(*q), gfp_mask, FAULT_KMALLOC, _RET_IP_);
    if (!q)
        return NULL;
    spin_lock_init(&q->__queue_lock);
    atomic_set(&q->refcnt, 1);
    return q;
}

extern "C" void blk_queue_make_request(struct request_queue *q, make_request_fn *mfn) {
    __atomic_store_n(&q->make_request_fn, mfn, __ATOMIC_RELEASE);
    q->hardsect_size = 512;
    if (!q->max_sectors)
        q->max_sectors = SAFE_MAX_SECTORS;
}

extern "C" void blk_queue_hardsect_size(struct request_queue *q, unsigned short size) {
    q->hardsect_size = size;
}

static void put_queue(struct request_queue *q, const char *who) {
    if (atomic_read(&q->refcnt) <= 0)
        kernel_die("BUG: %s of a queue already released\n", who);
    if (atomic_dec_and_test(&q->refcnt)) {
        if (q->standin_release)
            q->standin_release(q);
        track_free(q, ALLOC_INTERNAL, NULL, who);
    }
}

/* The disk's driver is done with the queue; it lives on while others hold
 * references (a hooking driver, the gendisk of an open device), but no new
 * one is given out and bios sent to it fail. */
extern "C" void blk_cleanup_queue(struct request_queue *q) {
    __atomic_store_n(&q->dead, 1, __ATOMIC_RELEASE);
    put_queue(q, "blk_cleanup_queue");
}

extern "C" int blk_get_queue(struct request_queue *q) {
    if (__atomic_load_n(&q->dead, __ATOMIC_ACQUIRE))
        return 1;
    int count = atomic_read(&q->refcnt);
    do {
        if (count <= 0)
            return 1;
    } while (!__atomic_compare_exchange_n(&q->refcnt.counter, &count, count + 1, 0,
                                          __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
    return 0;
}

extern "C" void blk_put_queue(struct request_queue *q) {
    put_queue(q, "blk_put_queue");
}

static void end_with_error(struct bio *bio) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
    bio_endio(bio, -EIO);
#else
    bio_endio(bio, bio->bi_size, -EIO);
#endif
}

static void handle_bad_sector(struct bio *bio, sector_t limit) {
    char name[BDEVNAME_SIZE];
    printk("<6>attempt to access beyond end of device\n");
    printk("<6>%s: rw=%lu, want=%llu, limit=%llu\n", bdevname(bio->bi_bdev, name), bio->bi_rw,
           (unsigned long long)bio->bi_sector + bio_sectors(bio), (unsigned long long)limit);
    set_bit(BIO_EOF, &bio->bi_flags);
}

static void blk_partition_remap(struct bio *bio) {
    struct block_device *bdev = bio->bi_bdev;
    if (bdev != bdev->bd_contains) {
        bio->bi_sector += bdev->bd_part->start_sect;
        bio->bi_bdev = bdev->bd_contains;
    }
}

static void make_request_loop(struct bio *bio) {
    struct task_struct *t = current;
    int ret;
    do {
        struct block_device *bdev = bio->bi_bdev;
        if (!bdev || !bdev->bd_disk || !bdev->bd_disk->queue || !bdev->bd_contains) {
            printk(
                "<3>generic_make_request: Trying to access nonexistent block-device %s "
                "(%llu)\n",
                bdev ? "(detached)" : "(none)", (unsigned long long)bio->bi_sector);
            end_with_error(bio);
            return;
        }
        sector_t limit = bdev_sectors(bdev);
        sector_t nr = bio_sectors(bio);
        if (limit < nr || limit - nr < bio->bi_sector) {
            handle_bad_sector(bio, limit);
            end_with_error(bio);
            return;
        }
        /* A disk that went away with its devices still open: the queue is
         * still memory, but nothing serves it, hook or no hook. */
        if (__atomic_load_n(&bdev_get_queue(bdev)->dead, __ATOMIC_ACQUIRE)) {
            end_with_error(bio);
            return;
        }
        blk_partition_remap(bio);
        struct request_queue *q = bdev_get_queue(bio->bi_bdev);
        /* Read afresh each time and without the queue lock: a hook can be put
         * in or taken out of the queue at any moment. */
        sched_read_enter(t);
        ::make_request_fn *mfn = __atomic_load_n(&q->make_request_fn, __ATOMIC_ACQUIRE);
        ret = mfn(q, bio);
        sched_read_exit(t);
    } while (ret);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 22)
/*
 * A bio submitted from inside a make_request_fn is queued and handled once
 * that function returns, so stacked drivers do not recurse; a function that
 * waits for such a bio before returning therefore waits for ever, as it would
 * on the real kernel.
 */
static __thread struct bio *pending_head __attribute__((tls_model("initial-exec")));
static __thread struct bio **pending_tail __attribute__((tls_model("initial-exec")));

extern "C" void generic_make_request(struct bio *bio) {
    might_sleep();
    fuzz_point();
    bio_mark_submitted(bio);
    if (pending_tail) {
        bio->bi_next = NULL;
        *pending_tail = bio;
        pending_tail = &bio->bi_next;
        return;
    }
    pending_head = NULL;
    pending_tail = &pending_head;
    for (;;) {
        make_request_loop(bio);
        bio = pending_head;
        if (!bio)
            break;
        pending_head = bio->bi_next;
        if (!pending_head)
            pending_tail = &pending_head;
        bio->bi_next = NULL;
    }
    pending_tail = NULL;
}
#else
extern "C" void generic_make_request(struct bio *bio) {
    might_sleep();
    fuzz_point();
    bio_mark_submitted(bio);
    make_request_loop(bio);
}
#endif

extern "C" void submit_bio(int rw, struct bio *bio) {
    bio->bi_rw |= (unsigned long)rw;
    generic_make_request(bio);
}
