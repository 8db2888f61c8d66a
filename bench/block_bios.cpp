/*
 * Kernel code of the block benchmarks: a chosen run of 4 KiB blocks
 * written or read in batches of bios, each batch waited for, as a file
 * system's write-back or read-ahead issues them.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/mm.h>
#include <linux/errno.h>

#include "block_bios.h"

#define MAX_DEPTH 256

struct batch {
    atomic_t pending;
    atomic_t errors;
    struct completion done;
};

static void finish(struct bio *bio) {
    struct batch *b = (struct batch *)bio->bi_private;
    if (!bio_flagged(bio, BIO_UPTODATE))
        atomic_inc(&b->errors);
    bio_put(bio);
    if (atomic_dec_and_test(&b->pending))
        complete(&b->done);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static void bio_done(struct bio *bio, int error) {
    finish(bio);
}
#else
static int bio_done(struct bio *bio, unsigned int bytes_done, int error) {
    if (bio->bi_size && !error)
        return 1;
    finish(bio);
    return 0;
}
#endif

/* A read of a batch lands in a page of its own per bio. */
static int run_blocks(unsigned int dev, int rw, unsigned long first, unsigned long count,
                      unsigned int depth) {
    if (depth == 0 || depth > MAX_DEPTH)
        return -EINVAL;
    struct block_device *bdev = bdget(dev);
    struct page *pages[MAX_DEPTH];
    unsigned int npages = rw == WRITE ? 1 : depth;
    int ret = bdev->bd_disk ? 0 : -ENODEV;
    for (unsigned int i = 0; i < npages; i++)
        if (!(pages[i] = alloc_page(GFP_KERNEL)))
            ret = -ENOMEM;
    struct batch b;
    for (unsigned long done = 0; !ret && done < count;) {
        unsigned long n = count - done < depth ? count - done : depth;
        atomic_set(&b.pending, (int)n);
        atomic_set(&b.errors, 0);
        init_completion(&b.done);
        for (unsigned long i = 0; i < n; i++, done++) {
            struct bio *bio = bio_alloc(GFP_NOIO, 1);
            bio->bi_bdev = bdev;
            bio->bi_sector = (sector_t)(first + done) * 8;
            bio_add_page(bio, pages[i % npages], PAGE_SIZE, 0);
            bio->bi_end_io = bio_done;
            bio->bi_private = &b;
            bio->bi_rw = (unsigned long)rw;
            generic_make_request(bio);
        }
        wait_for_completion(&b.done);
        if (atomic_read(&b.errors))
            ret = -EIO;
    }
    for (unsigned int i = 0; i < npages; i++)
        if (pages[i])
            __free_page(pages[i]);
    bdput(bdev);
    return ret;
}

extern "C" int bench_write_blocks(unsigned int dev, unsigned long first, unsigned long count,
                                  unsigned int depth) {
    return run_blocks(dev, WRITE, first, count, depth);
}

extern "C" int bench_read_blocks(unsigned int dev, unsigned long first, unsigned long count,
                                 unsigned int depth) {
    return run_blocks(dev, READ, first, count, depth);
}

extern "C" int bench_write_4k(unsigned int dev, unsigned long count, unsigned int depth) {
    struct block_device *bdev = bdget(dev);
    unsigned long slots = bdev->bd_disk ? get_capacity(bdev->bd_disk) / 8 : 0;
    bdput(bdev);
    if (!slots)
        return -ENODEV;
    /* From block 0 again each time the device is filled. */
    int ret = 0;
    for (unsigned long left = count; !ret && left;) {
        unsigned long n = left < slots ? left : slots;
        ret = run_blocks(dev, WRITE, 0, n, depth);
        left -= n;
    }
    return ret;
}

extern "C" void *bench_swap_queue_fn(unsigned int dev, void *fn) {
    struct block_device *bdev = bdget(dev);
    struct request_queue *q = bdev->bd_disk ? bdev_get_queue(bdev) : NULL;
    make_request_fn *old = q ? (make_request_fn *)ACCESS_ONCE(q->make_request_fn) : NULL;
    if (q && fn)
        ACCESS_ONCE(q->make_request_fn) = (make_request_fn *)fn;
    bdput(bdev);
    return (void *)old;
}
