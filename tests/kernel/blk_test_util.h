/*
 * Shared by the block-layer tests: a bio submitted and waited for, with what
 * its completion saw (thread, context, error, bytes left).
 */
#ifndef VELMORA_TESTS_BLK_TEST_UTIL_H
#define VELMORA_TESTS_BLK_TEST_UTIL_H

#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/hardirq.h>
#include <linux/sched.h>
#include <linux/mm.h>
#include <linux/genhd.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

struct bio_result {
    struct completion done;
    struct task_struct *task; /* that ran the completion */
    int in_irq;
    int irqs_off;
    int error;
    unsigned int left; /* bi_size seen by the completion */
    int uptodate;
    int calls;
};

static inline void bio_result_init(struct bio_result *r) {
    init_completion(&r->done);
    r->task = NULL;
    r->in_irq = r->irqs_off = r->error = r->uptodate = r->calls = 0;
    r->left = 0;
}

static inline void bio_result_record(struct bio *bio, int error) {
    struct bio_result *r = (struct bio_result *)bio->bi_private;
    r->task = current;
    r->in_irq = in_interrupt();
    r->irqs_off = irqs_disabled();
    r->error = error;
    r->left = bio->bi_size;
    r->uptodate = bio_flagged(bio, BIO_UPTODATE) != 0;
    r->calls++;
    complete(&r->done);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static inline void bio_result_end_io(struct bio *bio, int error) {
    bio_result_record(bio, error);
}
#else
/* The older form: a final call is one that leaves nothing, or an error. */
static inline int bio_result_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    if (bio->bi_size && !error)
        return 1;
    bio_result_record(bio, error);
    return 0;
}
#endif

/* A one-page bio on bdev, not yet submitted; the caller keeps one reference. */
static inline struct bio *test_bio(struct block_device *bdev, sector_t sector, struct page *page,
                                   unsigned int len, struct bio_result *r) {
    struct bio *bio = bio_alloc(GFP_NOIO, 1);
    bio->bi_bdev = bdev;
    bio->bi_sector = sector;
    bio_add_page(bio, page, len, 0);
    bio->bi_end_io = bio_result_end_io;
    bio->bi_private = r;
    bio_result_init(r);
    return bio;
}

/* Submits, waits, frees the bio; returns whether it ended up to date. */
static inline int bio_rw_wait(struct block_device *bdev, int rw, sector_t sector, struct page *page,
                              unsigned int len, struct bio_result *r) {
    struct bio *bio = test_bio(bdev, sector, page, len, r);
    submit_bio(rw, bio);
    wait_for_completion(&r->done);
    bio_put(bio);
    return r->uptodate;
}

/* A disk of 1000 sectors served by fn, with partition 1 at sector 100, 50
 * sectors long. */
struct test_disk {
    struct gendisk *disk;
    struct request_queue *queue;
    struct block_device *whole, *part;
};

static inline int make_test_disk(struct test_disk *t, int major, const char *name,
                                 make_request_fn *fn) {
    t->queue = blk_alloc_queue(GFP_KERNEL);
    t->disk = alloc_disk(4);
    if (!t->queue || !t->disk)
        return -ENOMEM;
    blk_queue_make_request(t->queue, fn);
    t->disk->major = major;
    t->disk->first_minor = 0;
    strlcpy(t->disk->disk_name, name, sizeof(t->disk->disk_name));
    t->disk->queue = t->queue;
    set_capacity(t->disk, 1000);
    add_disk(t->disk);
    t->whole = bdget(MKDEV(major, 0));
    t->part = bdget(MKDEV(major, 1));
    /* Partition records change under the whole disk's lock. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    mutex_lock(&t->whole->bd_mutex);
    add_partition(t->disk, 1, 100, 50);
    mutex_unlock(&t->whole->bd_mutex);
#else
    down(&t->whole->bd_sem);
    add_partition(t->disk, 1, 100, 50);
    up(&t->whole->bd_sem);
#endif
    return 0;
}

static inline void drop_test_disk(struct test_disk *t) {
    bdput(t->part);
    bdput(t->whole);
    del_gendisk(t->disk);
    blk_cleanup_queue(t->queue);
    put_disk(t->disk);
}

static inline void fill_page(struct page *page, unsigned char seed) {
    unsigned char *p = (unsigned char *)page_address(page);
    for (unsigned long i = 0; i < PAGE_SIZE; i++)
        p[i] = (unsigned char)(seed + i * 7);
}

#endif
