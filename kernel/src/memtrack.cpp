/*
 * Tracked allocations. Every kmalloc, vmalloc and slab object carries a
 * header naming its kind and who allocated it, so a free of the wrong kind,
 * a free of a pointer the allocator never gave out, and whatever a module
 * still holds when it is unloaded are all reported.
 */
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/mm.h>
#include <linux/string.h>

#include "internal.h"

#define TRACK_MAGIC 0x74726b6d656d6f72UL
#define TRACK_FREED 0x6672656564666565UL

struct track_hdr {
    unsigned long magic;
    unsigned long kind;
    unsigned long size;
    unsigned long caller;
    struct kmem_cache *cache;
    unsigned long pad;
    struct list_head node;
};
static_assert(sizeof(struct track_hdr) % 16 == 0, "objects stay 16-byte aligned");

/* Freed blocks wait here, poisoned, before going back to the host heap, so a
 * second free of the same pointer still finds the freed header and is reported. */
#define QUARANTINE 1024

static struct host_mutex track_lock;
static LIST_HEAD(track_list);
static struct track_hdr *quarantine[QUARANTINE];
static unsigned long quarantine_next;

static const char *kind_name(unsigned long kind) {
    switch (kind) {
        case ALLOC_KMALLOC:
            return "kmalloc";
        case ALLOC_VMALLOC:
            return "vmalloc";
        case ALLOC_SLAB:
            return "slab object";
        default:
            return "internal";
    }
}

void *track_alloc(unsigned long size, enum alloc_kind kind, struct kmem_cache *cache,
                  unsigned long caller, int zero) {
    struct track_hdr *h = (struct track_hdr *)(zero ? host_calloc(1, sizeof(*h) + size)
                                                    : host_malloc(sizeof(*h) + size));
    if (!h)
        return NULL;
    h->magic = TRACK_MAGIC;
    h->kind = kind;
    h->size = size;
    h->caller = caller;
    h->cache = cache;
    host_mutex_lock(&track_lock);
    list_add(&h->node, &track_list);
    host_mutex_unlock(&track_lock);
    return h + 1;
}

void *internal_alloc(unsigned long size, gfp_t gfp, unsigned int site, unsigned long caller) {
    if (gfp & __GFP_WAIT)
        might_sleep();
    if (should_fail(site, gfp, NULL, caller))
        return NULL;
    return track_alloc(size, ALLOC_INTERNAL, NULL, caller, 1);
}

static struct track_hdr *header_of(const void *p, const char *who) {
    struct track_hdr *h = (struct track_hdr *)p - 1;
    if (h->magic == TRACK_FREED)
        kernel_die("BUG: %s: double free of %p, first allocated at %p\n", who, p,
                   (void *)h->caller);
    if (h->magic != TRACK_MAGIC)
        kernel_die("BUG: %s: %p was not allocated by the kernel allocator\n", who, p);
    return h;
}

void track_free(const void *p, enum alloc_kind kind, struct kmem_cache *cache, const char *who) {
    struct track_hdr *h = header_of(p, who);
    if (h->kind != (unsigned long)kind)
        kernel_die("BUG: %s of %p, which is a %s\n", who, p, kind_name(h->kind));
    if (h->cache != cache)
        kernel_die("BUG: %s: %p belongs to another slab cache\n", who, p);
    h->magic = TRACK_FREED;
    /* Poisoned as slab debugging does: a read after the free sees 0x6b, the
     * address sanitizer reports it, and the race detector sees the free now,
     * not when the quarantine lets go. */
    memset(h + 1, 0x6b, h->size);
    host_poison(h + 1, h->size);
    host_mutex_lock(&track_lock);
    list_del(&h->node);
    struct track_hdr *old = quarantine[quarantine_next % QUARANTINE];
    quarantine[quarantine_next++ % QUARANTINE] = h;
    host_mutex_unlock(&track_lock);
    if (old)
        host_unpoison(old + 1, old->size);
    host_free(old);
}

unsigned long track_size(const void *p) {
    return header_of(p, "ksize")->size;
}

unsigned long track_report_range(unsigned long lo, unsigned long hi, const char *owner) {
    unsigned long count = 0;
    struct track_hdr *h;
    char sym[256];
    host_mutex_lock(&track_lock);
    list_for_each_entry(h, &track_list, node) {
        if (h->caller < lo || h->caller >= hi)
            continue;
        count++;
        printk("<3>%s: leaked %s of %lu bytes at %p, allocated at %s\n", owner, kind_name(h->kind),
               h->size, (void *)(h + 1), host_symbolize((void *)h->caller, sym, sizeof(sym)));
    }
    host_mutex_unlock(&track_lock);
    return count;
}

/* Objects and pages held by modules: as a count (bytes NULL) or in bytes. */
static unsigned long module_holdings(unsigned long *bytes) {
    unsigned long count = 0, size = 0;
    struct track_hdr *h;
    struct module_ranges modules;
    module_ranges_get(&modules);
    host_mutex_lock(&track_lock);
    list_for_each_entry(h, &track_list, node) {
        if (module_ranges_has(&modules, h->caller)) {
            count++;
            size += h->size;
        }
    }
    host_mutex_unlock(&track_lock);
    unsigned long pages = pages_in_modules(&modules);
    if (bytes)
        *bytes = size + pages * PAGE_SIZE;
    return count + pages;
}

extern "C" unsigned long standin_module_allocations(void) {
    return module_holdings(NULL);
}

extern "C" unsigned long standin_module_allocated_bytes(void) {
    unsigned long bytes;
    module_holdings(&bytes);
    return bytes;
}
