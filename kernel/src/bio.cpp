/*
 * bios: allocation, references, pages and completion.
 *
 * The block layer keeps each bio's life in bi_standin: new, submitted (the
 * layer owns it), done, freed. That is how a second completion, the last
 * reference dropped while a disk still owns the bio, and the use of a freed
 * bio are caught; and how the counters prove every bio completes once.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <asm/bitops.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "internal.h"

enum bio_life { BIO_NEW = 0, BIO_SUBMITTED, BIO_DONE, BIO_FREED };

static unsigned long long nr_allocated, nr_freed, nr_submitted, nr_completed, nr_failed;

static void count(unsigned long long *counter) {
    __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
}

static unsigned long life_of(struct bio *bio) {
    return __atomic_load_n(&bio->bi_standin, __ATOMIC_ACQUIRE);
}

static void check_not_freed(struct bio *bio, const char *who) {
    if (life_of(bio) == BIO_FREED)
        kernel_die("BUG: %s: bio %p used after it was freed\n", who, (void *)bio);
}

static void bio_fs_destructor(struct bio *bio) {
    __atomic_store_n(&bio->bi_standin, (unsigned long)BIO_FREED, __ATOMIC_RELEASE);
    count(&nr_freed);
    track_free(bio, ALLOC_INTERNAL, NULL, "bio_put");
}

extern "C" struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs) {
    if (nr_iovecs < 0 || nr_iovecs > BIO_MAX_PAGES) {
        if (gfp_mask & __GFP_WAIT)
            might_sleep();
        return NULL;
    }
    unsigned long size = sizeof(struct bio) + (unsigned long)nr_iovecs * sizeof(struct bio_vec);
    struct bio *bio = (struct bio *)internal_alloc(size, gfp_mask, FAULT_BIO, _RET_IP_);
    if (!bio)
        return NULL;
    bio->bi_flags = 1UL << BIO_UPTODATE;
    bio->bi_max_vecs = (unsigned int)nr_iovecs;
    bio->bi_io_vec = nr_iovecs ? (struct bio_vec *)(bio + 1) : NULL;
    atomic_set(&bio->bi_cnt, 1);
    bio->bi_destructor = bio_fs_destructor;
    count(&nr_allocated);
    return bio;
}

extern "C" void bio_put(struct bio *bio) {
    check_not_freed(bio, "bio_put");
    if (atomic_read(&bio->bi_cnt) <= 0)
        kernel_die("BUG: bio_put of bio %p that has no reference\n", (void *)bio);
    if (!atomic_dec_and_test(&bio->bi_cnt))
        return;
    if (life_of(bio) == BIO_SUBMITTED)
        kernel_die("BUG: bio %p freed while the block layer owns it (submitted, not completed)\n",
                   (void *)bio);
    bio->bi_next = NULL;
    if (bio->bi_destructor)
        bio->bi_destructor(bio);
}

extern "C" int bio_add_page(struct bio *bio, struct page *page, unsigned int len,
                            unsigned int offset) {
    check_not_freed(bio, "bio_add_page");
    if (life_of(bio) == BIO_SUBMITTED)
        kernel_die("BUG: bio_add_page on bio %p while it is in flight\n", (void *)bio);
    if (bio_flagged(bio, BIO_CLONED) || len == 0 || offset + len > PAGE_SIZE)
        return 0;
    if (bio->bi_bdev && bio->bi_bdev->bd_disk && bio->bi_bdev->bd_disk->queue) {
        unsigned int max = bio->bi_bdev->bd_disk->queue->max_sectors;
        if (max && ((bio->bi_size + len) >> 9) > max)
            return 0;
    }
    if (bio->bi_vcnt > 0) {
        struct bio_vec *prev = &bio->bi_io_vec[bio->bi_vcnt - 1];
        if (prev->bv_page == page && prev->bv_offset + prev->bv_len == offset) {
            prev->bv_len += len;
            bio->bi_size += len;
            return (int)len;
        }
    }
    if (bio->bi_vcnt >= bio->bi_max_vecs)
        return 0;
    struct bio_vec *bv = &bio->bi_io_vec[bio->bi_vcnt++];
    bv->bv_page = page;
    bv->bv_len = len;
    bv->bv_offset = offset;
    bio->bi_size += len;
    return (int)len;
}

void bio_mark_submitted(struct bio *bio) {
    if (atomic_read(&bio->bi_cnt) <= 0)
        kernel_die("BUG: bio %p submitted without a reference\n", (void *)bio);
    unsigned long old = life_of(bio);
    for (;;) {
        if (old == BIO_FREED)
            kernel_die("BUG: bio %p submitted after it was freed\n", (void *)bio);
        if (old == BIO_SUBMITTED)
            return; /* resubmitted by a make_request_fn, or reaching the disk */
        if (__atomic_compare_exchange_n(&bio->bi_standin, &old, (unsigned long)BIO_SUBMITTED, 0,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            break;
    }
    count(&nr_submitted);
}

/* The final completion: a second one is the bug this whole record is for. */
static void mark_completed(struct bio *bio, int error) {
    unsigned long old =
        __atomic_exchange_n(&bio->bi_standin, (unsigned long)BIO_DONE, __ATOMIC_ACQ_REL);
    if (old == BIO_DONE)
        kernel_die("BUG: bio %p completed twice (sector %llu, %u bytes left)\n", (void *)bio,
                   (unsigned long long)bio->bi_sector, bio->bi_size);
    if (old == BIO_FREED)
        kernel_die("BUG: bio %p completed after it was freed\n", (void *)bio);
    if (old == BIO_SUBMITTED) {
        count(&nr_completed);
        if (error)
            count(&nr_failed);
    }
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
extern "C" void bio_endio(struct bio *bio, int error) {
    fuzz_point();
    if (error)
        clear_bit(BIO_UPTODATE, &bio->bi_flags);
    else if (!test_bit(BIO_UPTODATE, &bio->bi_flags))
        error = -EIO;
    mark_completed(bio, error);
    if (bio->bi_end_io)
        bio->bi_end_io(bio, error);
}
#else
/* Completes bytes_done bytes; the bio is finished when none are left or an
 * error ends it early (then bi_size tells what was not done). */
extern "C" void bio_endio(struct bio *bio, unsigned int bytes_done, int error) {
    fuzz_point();
    if (error)
        clear_bit(BIO_UPTODATE, &bio->bi_flags);
    else if (!test_bit(BIO_UPTODATE, &bio->bi_flags))
        error = -EIO;
    if (bytes_done > bio->bi_size) {
        printk("<3>bio_endio: want %u bytes done, only %u left\n", bytes_done, bio->bi_size);
        bytes_done = bio->bi_size;
    }
    bio->bi_size -= bytes_done;
    bio->bi_sector += bytes_done >> 9;
    if (error || bio->bi_size == 0)
        mark_completed(bio, error);
    else if (life_of(bio) == BIO_DONE)
        kernel_die("BUG: bio %p completed twice (a part after its end)\n", (void *)bio);
    if (bio->bi_end_io)
        bio->bi_end_io(bio, bytes_done, error);
}
#endif

extern "C" void standin_get_bio_counters(struct standin_bio_counters *out) {
    out->allocated = __atomic_load_n(&nr_allocated, __ATOMIC_RELAXED);
    out->freed = __atomic_load_n(&nr_freed, __ATOMIC_RELAXED);
    out->submitted = __atomic_load_n(&nr_submitted, __ATOMIC_RELAXED);
    out->completed = __atomic_load_n(&nr_completed, __ATOMIC_RELAXED);
    out->failed = __atomic_load_n(&nr_failed, __ATOMIC_RELAXED);
}
