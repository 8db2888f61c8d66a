/*
 * Kernel code of the RAM disk write benchmark: batches of 4 KiB write bios
 * through generic_make_request, each batch waited for, as a file system's
 * write-back would issue them.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/mm.h>
#include <linux/errno.h>

#include "ramdisk_writer.h"

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
static void write_done(struct bio *bio, int error) {
    finish(bio);
}
#else
static int write_done(struct bio *bio, unsigned int bytes_done, int error) {
    if (bio->bi_size && !error)
        return 1;
    finish(bio);
    return 0;
}
#endif

extern "C" int bench_write_4k(unsigned int dev, unsigned long count, unsigned int depth) {
    if (depth == 0 || depth > MAX_DEPTH)
        return -EINVAL;
    struct block_device *bdev = bdget(dev);
    struct page *page = alloc_page(GFP_KERNEL);
    unsigned long slots = bdev->bd_disk ? get_capacity(bdev->bd_disk) / 8 : 0;
    int ret = slots && page ? 0 : -ENODEV;
    struct batch b;
    for (unsigned long done = 0; !ret && done < count;) {
        unsigned long n = count - done < depth ? count - done : depth;
        atomic_set(&b.pending, (int)n);
        atomic_set(&b.errors, 0);
        init_completion(&b.done);
        for (unsigned long i = 0; i < n; i++, done++) {
            struct bio *bio = bio_alloc(GFP_NOIO, 1);
            bio->bi_bdev = bdev;
            bio->bi_sector = (sector_t)(done % slots) * 8;
            bio_add_page(bio, page, PAGE_SIZE, 0);
            bio->bi_end_io = write_done;
            bio->bi_private = &b;
            bio->bi_rw = WRITE;
            generic_make_request(bio);
        }
        wait_for_completion(&b.done);
        if (atomic_read(&b.errors))
            ret = -EIO;
    }
    if (page)
        __free_page(page);
    bdput(bdev);
    return ret;
}
