/*
 * Named slab caches. Objects come from the tracked allocator, so a cache
 * knows how many of its objects are live: destroying a cache that still has
 * objects, or freeing an object into the wrong cache, is a BUG.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/hardirq.h>

#include "internal.h"

struct kmem_cache {
    const char *name; /* the caller's string, kept as given */
    size_t size;
    size_t align;
    unsigned long flags;
    void *ctor;
    unsigned long creator;
    atomic_t live;
    struct list_head next;
};

static struct host_mutex cache_chain_lock;
static LIST_HEAD(cache_chain);

static struct kmem_cache *cache_create(const char *name, size_t size, size_t align,
                                       unsigned long flags, void *ctor, unsigned long caller) {
    might_sleep();
    if (!name || in_interrupt() || size < sizeof(void *) / 2 || size > KMALLOC_MAX_SIZE) {
        printk("<3>kmem_cache_create: Early error in slab %s\n", name ? name : "(null)");
        kernel_die("kernel BUG: kmem_cache_create(%s) with bad arguments\n",
                   name ? name : "(null)");
    }
    if (should_fail(FAULT_SLAB_CREATE, GFP_KERNEL, name, caller))
        return NULL;
    struct kmem_cache *c;
    host_mutex_lock(&cache_chain_lock);
    list_for_each_entry(c, &cache_chain, next) {
        if (strcmp(c->name, name) == 0) {
            host_mutex_unlock(&cache_chain_lock);
            printk("<3>kmem_cache_create: duplicate cache %s\n", name);
            return NULL;
        }
    }
    c = (struct kmem_cache *)host_calloc(1, sizeof(*c));
    c->name = name;
    c->size = size;
    c->align = align;
    c->flags = flags;
    c->ctor = ctor;
    c->creator = caller;
    list_add(&c->next, &cache_chain);
    host_mutex_unlock(&cache_chain_lock);
    return c;
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 23)
extern "C" struct kmem_cache *kmem_cache_create(
    const char *name, size_t size, size_t align, unsigned long flags,
    void (*ctor)(void *, struct kmem_cache *, unsigned long),
    void (*dtor)(void *, struct kmem_cache *, unsigned long)) {
    if (dtor)
        kernel_die("kernel BUG: kmem_cache_create(%s) with a destructor\n", name);
    return cache_create(name, size, align, flags, (void *)ctor, _RET_IP_);
}
#else
extern "C" struct kmem_cache *kmem_cache_create(const char *name, size_t size, size_t align,
                                                unsigned long flags, void (*ctor)(void *)) {
    return cache_create(name, size, align, flags, (void *)ctor, _RET_IP_);
}
#endif

extern "C" void kmem_cache_destroy(struct kmem_cache *cachep) {
    might_sleep();
    if (!cachep)
        kernel_die("kernel BUG: kmem_cache_destroy(NULL)\n");
    if (atomic_read(&cachep->live) != 0)
        kernel_die(
            "slab error in kmem_cache_destroy(): cache `%s': Can't free all objects (%d live)\n",
            cachep->name, atomic_read(&cachep->live));
    host_mutex_lock(&cache_chain_lock);
    list_del(&cachep->next);
    host_mutex_unlock(&cache_chain_lock);
    host_free(cachep);
}

extern "C" void *kmem_cache_alloc(struct kmem_cache *cachep, gfp_t flags) {
    unsigned long caller = _RET_IP_;
    if (flags & __GFP_WAIT)
        might_sleep();
    if (should_fail(FAULT_SLAB_ALLOC, flags, cachep->name, caller))
        return NULL;
    void *obj = track_alloc(cachep->size, ALLOC_SLAB, cachep, caller, (flags & __GFP_ZERO) != 0);
    if (!obj)
        return NULL;
    atomic_inc(&cachep->live);
    if (cachep->ctor) {
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 23)
        ((void (*)(void *, struct kmem_cache *, unsigned long))cachep->ctor)(obj, cachep, 0);
#else
        ((void (*)(void *))cachep->ctor)(obj);
#endif
    }
    return obj;
}

extern "C" void kmem_cache_free(struct kmem_cache *cachep, void *objp) {
    if (!objp)
        return;
    track_free(objp, ALLOC_SLAB, cachep, "kmem_cache_free");
    atomic_dec(&cachep->live);
}

extern "C" const char *kmem_cache_name(struct kmem_cache *cachep) {
    return cachep->name;
}

unsigned long slab_report_range(unsigned long lo, unsigned long hi, const char *owner) {
    unsigned long count = 0;
    struct kmem_cache *c;
    host_mutex_lock(&cache_chain_lock);
    list_for_each_entry(c, &cache_chain, next) {
        if (c->creator < lo || c->creator >= hi)
            continue;
        count++;
        printk("<3>%s: slab cache %s still exists at unload\n", owner, c->name);
    }
    host_mutex_unlock(&cache_chain_lock);
    return count;
}
