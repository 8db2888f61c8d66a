/*
 * A device's byte ranges moved as bios, as O_DIRECT on a block device moves
 * them: the range is copied through kernel pages a chunk at a time, each
 * chunk submitted as bios (as few as the queue's limits allow) and waited
 * for before the next. Nothing is cached, so every write reaches the queue,
 * and with it whatever hook sits there, before the call returns.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/genhd.h>
#include <linux/fs.h>
#include <linux/completion.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/byte_io.h>

#include "rig.h"

/* Pages of one chunk: large enough for the host's biggest requests (a FUSE
 * write is at most 1 MiB) to take a few chunks at most. */
#define CHUNK_PAGES 64

struct standin_bdev_io {
    struct block_device *bdev;
};

/* The bios of one chunk. */
struct chunk_wait {
    atomic_t pending;
    atomic_t errors;
    struct completion done;
};

static void chunk_put(struct chunk_wait *w) {
    if (atomic_dec_and_test(&w->pending))
        complete(&w->done);
}

static void bio_done(struct bio *bio, int error) {
    struct chunk_wait *w = (struct chunk_wait *)bio->bi_private;
    if (error || !bio_flagged(bio, BIO_UPTODATE))
        atomic_inc(&w->errors);
    bio_put(bio);
    chunk_put(w);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static void chunk_end_io(struct bio *bio, int error) {
    bio_done(bio, error);
}
#else
static int chunk_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    if (bio->bi_size && !error)
        return 1;
    bio_done(bio, error);
    return 0;
}
#endif

static struct bio *chunk_bio(struct block_device *bdev, sector_t sector, int pages,
                             struct chunk_wait *w) {
    struct bio *bio = bio_alloc(GFP_NOIO, pages < BIO_MAX_PAGES ? pages : BIO_MAX_PAGES);
    if (bio) {
        bio->bi_bdev = bdev;
        bio->bi_sector = sector;
        bio->bi_end_io = chunk_end_io;
        bio->bi_private = w;
    }
    return bio;
}

static void chunk_submit(int rw, struct bio *bio, struct chunk_wait *w) {
    atomic_inc(&w->pending);
    submit_bio(rw, bio);
}

/* Submits len bytes (whole sectors) of pages[] at `sector`; the bios that
 * went out are counted in w whatever this returns. */
static int submit_chunk(struct block_device *bdev, int rw, sector_t sector, struct page **pages,
                        unsigned long long len, struct chunk_wait *w) {
    struct bio *bio = NULL;
    int next = 0;
    int left = (int)((len + PAGE_SIZE - 1) / PAGE_SIZE);
    while (len) {
        unsigned int n = len < PAGE_SIZE ? (unsigned int)len : (unsigned int)PAGE_SIZE;
        if (!bio)
            bio = chunk_bio(bdev, sector, left, w);
        if (!bio)
            return -ENOMEM;
        if (bio_add_page(bio, pages[next], n, 0) == (int)n) {
            next++;
            left--;
            len -= n;
            sector += n >> 9;
            continue;
        }
        /* The queue's limit: this bio is full, the page starts the next. */
        if (!bio->bi_size) {
            bio_put(bio);
            return -EIO;
        }
        chunk_submit(rw, bio, w);
        bio = NULL;
    }
    if (bio)
        chunk_submit(rw, bio, w);
    return 0;
}

static void copy_pages(struct page **pages, char *buf, unsigned long long len, int to_pages) {
    for (int i = 0; len; i++) {
        unsigned int n = len < PAGE_SIZE ? (unsigned int)len : (unsigned int)PAGE_SIZE;
        if (to_pages)
            memcpy(page_address(pages[i]), buf, n);
        else
            memcpy(buf, page_address(pages[i]), n);
        buf += n;
        len -= n;
    }
}

static int move_chunk(struct block_device *bdev, int rw, unsigned long long off, char *buf,
                      unsigned long long len, struct page **pages) {
    if (rw == WRITE)
        copy_pages(pages, buf, len, 1);
    struct chunk_wait w;
    atomic_set(&w.pending, 1); /* ours, dropped before the wait */
    atomic_set(&w.errors, 0);
    init_completion(&w.done);
    int ret = submit_chunk(bdev, rw, (sector_t)(off >> 9), pages, len, &w);
    chunk_put(&w);
    wait_for_completion(&w.done);
    if (!ret && atomic_read(&w.errors))
        ret = -EIO;
    if (!ret && rw == READ)
        copy_pages(pages, buf, len, 0);
    return ret;
}

static int bdev_io(struct standin_bdev_io *h, int rw, unsigned long long off, char *buf,
                   unsigned long long len) {
    unsigned long long size = (unsigned long long)bdev_sectors(h->bdev) << 9;
    if ((off | len) & 511 || off > size || len > size - off)
        return -EINVAL;
    unsigned long long most = (unsigned long long)CHUNK_PAGES * PAGE_SIZE;
    int npages = (int)(((len < most ? len : most) + PAGE_SIZE - 1) / PAGE_SIZE);
    struct page *pages[CHUNK_PAGES];
    int ret = 0;
    int got = 0;
    for (; got < npages; got++) {
        pages[got] = alloc_page(GFP_NOIO);
        if (!pages[got]) {
            ret = -ENOMEM;
            break;
        }
    }
    while (len && !ret) {
        unsigned long long n = len < most ? len : most;
        ret = move_chunk(h->bdev, rw, off, buf, n, pages);
        off += n;
        buf += n;
        len -= n;
    }
    while (got)
        __free_page(pages[--got]);
    return ret;
}

extern "C" int standin_bdev_io_open(unsigned int dev, struct standin_bdev_io **out) {
    struct block_device *bdev = bdget(dev);
    int ret = bdev_open(bdev);
    if (ret) {
        bdput(bdev);
        return ret;
    }
    struct standin_bdev_io *h = (struct standin_bdev_io *)host_calloc(1, sizeof(*h));
    h->bdev = bdev;
    *out = h;
    return 0;
}

extern "C" int standin_bdev_io_close(struct standin_bdev_io *h) {
    int ret = bdev_close(h->bdev);
    bdput(h->bdev);
    host_free(h);
    return ret;
}

extern "C" unsigned long long standin_bdev_io_size(struct standin_bdev_io *h) {
    return (unsigned long long)bdev_sectors(h->bdev) << 9;
}

extern "C" int standin_bdev_io_read(struct standin_bdev_io *h, unsigned long long offset, void *buf,
                                    unsigned long long len) {
    return bdev_io(h, READ, offset, (char *)buf, len);
}

extern "C" int standin_bdev_io_write(struct standin_bdev_io *h, unsigned long long offset,
                                     const void *buf, unsigned long long len) {
    return bdev_io(h, WRITE, offset, (char *)buf, len);
}

/* The open device keeps its disk's memory (and driver state) alive. */
extern "C" int standin_bdev_io_sync(struct standin_bdev_io *h) {
    struct gendisk *disk = __atomic_load_n(&h->bdev->bd_disk, __ATOMIC_ACQUIRE);
    if (!disk || !disk->fops)
        return -EIO;
    return disk->fops->backing_sync ? disk->fops->backing_sync(disk) : 0;
}

/* The whole disk is opened for the look, so its disk cannot go meanwhile. */
extern "C" int standin_disk_part_name(unsigned int disk_dev, int partno, char *buf,
                                      unsigned long size) {
    struct block_device *whole = bdget(disk_dev);
    int ret = bdev_open(whole);
    if (ret) {
        bdput(whole);
        return -ENXIO;
    }
    struct gendisk *disk = whole->bd_disk;
    if (whole->bd_contains != whole)
        ret = -ENXIO; /* a partition, not a whole disk */
    else if (partno < 0 || partno >= disk->minors)
        ret = -EINVAL;
    if (!ret) {
        char name[BDEVNAME_SIZE];
        strlcpy(buf, disk_name(disk, partno, name), size);
    }
    bdev_close(whole);
    bdput(whole);
    return ret;
}
