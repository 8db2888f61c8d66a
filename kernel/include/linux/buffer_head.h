#ifndef _LINUX_BUFFER_HEAD_H
#define _LINUX_BUFFER_HEAD_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/fs.h>
#include <linux/gfp.h>
#include <asm/atomic.h>
#include <asm/bitops.h>

enum bh_state_bits {
    BH_Uptodate,
    BH_Dirty,
    BH_Lock,
    BH_Req,
    BH_Uptodate_Lock,
    BH_Mapped,
    BH_New,
    BH_Async_Read,
    BH_Async_Write,
    BH_Delay,
    BH_Boundary,
    BH_Write_EIO,
    BH_Ordered,
    BH_Eopnotsupp,
    BH_Unwritten,
    BH_PrivateStart,
};

struct buffer_head;
struct address_space;
typedef void(bh_end_io_t)(struct buffer_head *bh, int uptodate);

struct buffer_head {
    unsigned long b_state;
    struct buffer_head *b_this_page;
    struct page *b_page;
    sector_t b_blocknr;
    size_t b_size;
    char *b_data;
    struct block_device *b_bdev;
    bh_end_io_t *b_end_io;
    void *b_private;
    struct list_head b_assoc_buffers;
    struct address_space *b_assoc_map;
    atomic_t b_count;
};

extern "C" {
/* May sleep with __GFP_WAIT; NULL when memory (or fault injection) says so. */
struct buffer_head *alloc_buffer_head(gfp_t gfp_flags);
void free_buffer_head(struct buffer_head *bh);
void set_bh_page(struct buffer_head *bh, struct page *page, unsigned long offset);
void __lock_buffer(struct buffer_head *bh);
void unlock_buffer(struct buffer_head *bh);
/* Sleeps until the buffer is unlocked. */
void __wait_on_buffer(struct buffer_head *bh);
}

static inline void get_bh(struct buffer_head *bh) { atomic_inc(&bh->b_count); }
static inline void put_bh(struct buffer_head *bh) { atomic_dec(&bh->b_count); }

static inline int buffer_uptodate(const struct buffer_head *bh) {
    return test_bit(BH_Uptodate, &bh->b_state);
}
static inline void set_buffer_uptodate(struct buffer_head *bh) { set_bit(BH_Uptodate, &bh->b_state); }
static inline void clear_buffer_uptodate(struct buffer_head *bh) {
    clear_bit(BH_Uptodate, &bh->b_state);
}
static inline int buffer_locked(const struct buffer_head *bh) {
    return test_bit(BH_Lock, &bh->b_state);
}
static inline int buffer_mapped(const struct buffer_head *bh) {
    return test_bit(BH_Mapped, &bh->b_state);
}
static inline void set_buffer_eopnotsupp(struct buffer_head *bh) {
    set_bit(BH_Eopnotsupp, &bh->b_state);
}

static inline void lock_buffer(struct buffer_head *bh) {
    if (test_and_set_bit(BH_Lock, &bh->b_state)) __lock_buffer(bh);
}

static inline void wait_on_buffer(struct buffer_head *bh) {
    if (buffer_locked(bh) || atomic_read(&bh->b_count) == 0) __wait_on_buffer(bh);
}

#endif
