#ifndef _LINUX_MM_TYPES_H
#define _LINUX_MM_TYPES_H

#include <linux/types.h>
#include <asm/atomic.h>

/* One page frame of the stand-in's physical memory. */
struct page {
    unsigned long flags;
    atomic_t _count;
    unsigned int order;
    unsigned long private_data;
    struct list_head lru;
    unsigned long alloc_caller; /* who holds the allocation, for leak reports */
};

#endif
