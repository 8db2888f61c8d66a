#ifndef _LINUX_BIO_H
#define _LINUX_BIO_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/gfp.h>
#include <asm/atomic.h>

struct page;
struct bio;
struct block_device;

struct bio_vec {
    struct page *bv_page;
    unsigned int bv_len;
    unsigned int bv_offset;
};

/*
 * Completion of a bio. From 2.6.24 it is told the error only; before, it is
 * also told how many bytes were done, may be called for part of the bio, and
 * returns non-zero while bytes remain (bi_size is what is still outstanding).
 */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
typedef void(bio_end_io_t)(struct bio *, int);
#else
typedef int(bio_end_io_t)(struct bio *, unsigned int, int);
#endif
typedef void(bio_destructor_t)(struct bio *);

struct bio {
    sector_t bi_sector; /* first sector, 512-byte units */
    struct bio *bi_next;
    struct block_device *bi_bdev;
    unsigned long bi_flags; /* BIO_* bits */
    unsigned long bi_rw;    /* READ/WRITE in bit 0, read-ahead in bit 1 */
    unsigned short bi_vcnt;
    unsigned short bi_idx;
    unsigned short bi_phys_segments;
    unsigned int bi_size; /* bytes still to do */
    unsigned int bi_max_vecs;
    struct bio_vec *bi_io_vec;
    bio_end_io_t *bi_end_io;
    atomic_t bi_cnt; /* references; the bio is freed at 0 */
    void *bi_private;
    bio_destructor_t *bi_destructor;
    unsigned long bi_standin; /* the block layer's own bookkeeping */
};

/* bi_flags bits */
/* The most pages one bio may carry. */
#define BIO_MAX_PAGES 256

#define BIO_UPTODATE 0
#define BIO_RW_BLOCK 1
#define BIO_EOF 2
#define BIO_SEG_VALID 3
#define BIO_CLONED 4
#define BIO_BOUNCED 5
#define BIO_USER_MAPPED 6
#define BIO_EOPNOTSUPP 7
#define bio_flagged(bio, flag) ((bio)->bi_flags & (1UL << (flag)))

/* bi_rw bits */
#define BIO_RW 0
#define BIO_RW_AHEAD 1
#define BIO_RW_BARRIER 2
#define BIO_RW_SYNCIO 3

#define RW_MASK 1
#define RWA_MASK 2
/* The direction of a bio: 0 read, 1 write, 2 read-ahead (3: a write with the
 * read-ahead bit). */
#define bio_rw(bio) ((bio)->bi_rw & (RW_MASK | RWA_MASK))
#define bio_data_dir(bio) ((bio)->bi_rw & 1)

#define bio_iovec_idx(bio, idx) (&((bio)->bi_io_vec[(idx)]))
#define bio_iovec(bio) bio_iovec_idx((bio), (bio)->bi_idx)
#define bio_page(bio) bio_iovec((bio))->bv_page
#define bio_offset(bio) bio_iovec((bio))->bv_offset
#define bio_sectors(bio) ((bio)->bi_size >> 9)
#define bio_for_each_segment(bvl, bio, i) \
    for (i = (bio)->bi_idx, bvl = bio_iovec_idx((bio), (i)); i < (bio)->bi_vcnt; bvl++, i++)

#define bio_get(bio) atomic_inc(&(bio)->bi_cnt)

extern "C" {
/* A bio with room for nr_iovecs segments and one reference; may sleep with
 * __GFP_WAIT. Returns NULL when memory (or fault injection) says so. */
struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs);
void bio_put(struct bio *bio);
int bio_add_page(struct bio *bio, struct page *page, unsigned int len, unsigned int offset);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
void bio_endio(struct bio *bio, int error);
#else
void bio_endio(struct bio *bio, unsigned int bytes_done, int error);
#endif
}

#endif
