/*
 * kmalloc and vmalloc. Both come from the host heap (so the address sanitizer
 * sees overruns) through the tracked allocator; both can be made to fail.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/hardirq.h>

#include "internal.h"

static void *kmalloc_caller(size_t size, gfp_t flags, unsigned long caller) {
    if (flags & __GFP_WAIT)
        might_sleep();
    if (size > KMALLOC_MAX_SIZE) {
        printk("<4>kmalloc: %lu bytes is more than kmalloc can give\n", (unsigned long)size);
        dump_stack();
        return NULL;
    }
    if (should_fail(FAULT_KMALLOC, flags, NULL, caller))
        return NULL;
    return track_alloc(size, ALLOC_KMALLOC, NULL, caller, (flags & __GFP_ZERO) != 0);
}

extern "C" void *__kmalloc(size_t size, gfp_t flags) {
    return kmalloc_caller(size, flags, _RET_IP_);
}

extern "C" void *__kzalloc(size_t size, gfp_t flags) {
    return kmalloc_caller(size, flags | __GFP_ZERO, _RET_IP_);
}

extern "C" void kfree(const void *objp) {
    if (objp)
        track_free(objp, ALLOC_KMALLOC, NULL, "kfree");
}

extern "C" size_t ksize(const void *objp) {
    return objp ? track_size(objp) : 0;
}

extern "C" void *vmalloc(unsigned long size) {
    unsigned long caller = _RET_IP_;
    might_sleep();
    if (!size)
        return NULL;
    if (should_fail(FAULT_VMALLOC, GFP_KERNEL, NULL, caller))
        return NULL;
    return track_alloc(size, ALLOC_VMALLOC, NULL, caller, 0);
}

extern "C" void vfree(const void *addr) {
    if (in_interrupt())
        kernel_die("BUG: vfree() in interrupt context\n");
    if (addr)
        track_free(addr, ALLOC_VMALLOC, NULL, "vfree");
}
