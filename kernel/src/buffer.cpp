/*
 * Buffer heads: allocation, their page, and the lock bit that I/O holds while
 * a buffer is in flight. Waiters sleep on a hashed table of wait queues, as
 * bit waits do; unlock_buffer wakes them and may run in interrupt context.
 */
#include <linux/kernel.h>
#include <linux/buffer_head.h>
#include <linux/sched.h>
#include <linux/wait.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <asm/bitops.h>

#include "internal.h"

#define BH_WAIT_TABLE_SIZE 64

static wait_queue_head_t bh_wait_table[BH_WAIT_TABLE_SIZE];

__attribute__((constructor)) static void bh_wait_table_init(void) {
    for (int i = 0; i < BH_WAIT_TABLE_SIZE; i++)
        init_waitqueue_head(&bh_wait_table[i]);
}

static wait_queue_head_t *bh_waitq(struct buffer_head *bh) {
    unsigned long h = ((unsigned long)bh >> 6) * 0x9e3779b97f4a7c15UL;
    return &bh_wait_table[h >> 58]; /* the top 6 bits: 64 queues */
}

extern "C" struct buffer_head *alloc_buffer_head(gfp_t gfp_flags) {
    struct buffer_head *bh =
        (struct buffer_head *)internal_alloc(sizeof(*bh), gfp_flags, FAULT_BUFFER_HEAD, _RET_IP_);
    if (bh)
        INIT_LIST_HEAD(&bh->b_assoc_buffers);
    return bh;
}

extern "C" void free_buffer_head(struct buffer_head *bh) {
    if (!list_empty(&bh->b_assoc_buffers))
        kernel_die("BUG: free_buffer_head of %p still on an inode's list\n", (void *)bh);
    if (buffer_locked(bh))
        kernel_die("BUG: free_buffer_head of %p while it is locked (I/O in flight)\n", (void *)bh);
    track_free(bh, ALLOC_INTERNAL, NULL, "free_buffer_head");
}

extern "C" void set_bh_page(struct buffer_head *bh, struct page *page, unsigned long offset) {
    if (offset >= PAGE_SIZE)
        kernel_die("BUG: set_bh_page: offset %lu beyond the page\n", offset);
    bh->b_page = page;
    bh->b_data = (char *)page_address(page) + offset;
}

extern "C" void __lock_buffer(struct buffer_head *bh) {
    might_sleep();
    wait_queue_head_t *wq = bh_waitq(bh);
    DEFINE_WAIT(wait);
    for (;;) {
        prepare_to_wait(wq, &wait, TASK_UNINTERRUPTIBLE);
        if (!test_and_set_bit(BH_Lock, &bh->b_state))
            break;
        schedule();
    }
    finish_wait(wq, &wait);
}

extern "C" void unlock_buffer(struct buffer_head *bh) {
    if (!test_and_clear_bit(BH_Lock, &bh->b_state))
        kernel_die("BUG: unlock_buffer of %p, which is not locked\n", (void *)bh);
    /* The bit is clear before the queue lock is taken: a waiter either is on
     * the queue already or sees the buffer unlocked. */
    wake_up_all(bh_waitq(bh));
}

extern "C" void __wait_on_buffer(struct buffer_head *bh) {
    might_sleep();
    wait_queue_head_t *wq = bh_waitq(bh);
    DEFINE_WAIT(wait);
    for (;;) {
        prepare_to_wait(wq, &wait, TASK_UNINTERRUPTIBLE);
        if (!buffer_locked(bh))
            break;
        schedule();
    }
    finish_wait(wq, &wait);
}
