/*
 * Synchronous reads and writes of a few sectors through the block layer, for
 * the kernel's own needs (partition tables, super blocks): one bio, submitted
 * and waited for, as a buffer-cache read would be.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "internal.h"

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static void sync_end_io(struct bio *bio, int error) {
    complete((struct completion *)bio->bi_private);
}
#else
static int sync_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    if (bio->bi_size && !error)
        return 1;
    complete((struct completion *)bio->bi_private);
    return 0;
}
#endif

int blk_rw_sync(struct block_device *bdev, int rw, sector_t sector, void *buf, unsigned int len) {
    if (len == 0 || len > PAGE_SIZE || len % 512)
        return -EINVAL;
    struct page *page = alloc_page(GFP_NOIO);
    if (!page)
        return -ENOMEM;
    struct bio *bio = bio_alloc(GFP_NOIO, 1);
    if (!bio) {
        __free_page(page);
        return -ENOMEM;
    }
    if (rw == WRITE)
        memcpy(page_address(page), buf, len);
    struct completion done;
    init_completion(&done);
    bio->bi_bdev = bdev;
    bio->bi_sector = sector;
    bio_add_page(bio, page, len, 0);
    bio->bi_end_io = sync_end_io;
    bio->bi_private = &done;
    submit_bio(rw, bio);
    wait_for_completion(&done);
    int ret = bio_flagged(bio, BIO_UPTODATE) ? 0 : -EIO;
    if (ret == 0 && rw == READ)
        memcpy(buf, page_address(page), len);
    bio_put(bio);
    __free_page(page);
    return ret;
}
