#ifndef _LINUX_SLAB_H
#define _LINUX_SLAB_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/gfp.h>

#define SLAB_HWCACHE_ALIGN 0x00002000UL
#define SLAB_PANIC 0x00040000UL

/* Largest kmalloc: anything bigger needs vmalloc or pages. */
#define KMALLOC_MAX_SIZE (128UL * 1024)

struct kmem_cache;
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 20)
typedef struct kmem_cache kmem_cache_t;
#endif

extern "C" {
void *__kmalloc(size_t size, gfp_t flags);
void *__kzalloc(size_t size, gfp_t flags);
void kfree(const void *objp);
size_t ksize(const void *objp);

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 23)
struct kmem_cache *kmem_cache_create(const char *name, size_t size, size_t align,
                                     unsigned long flags,
                                     void (*ctor)(void *, struct kmem_cache *, unsigned long),
                                     void (*dtor)(void *, struct kmem_cache *, unsigned long));
#else
struct kmem_cache *kmem_cache_create(const char *name, size_t size, size_t align,
                                     unsigned long flags, void (*ctor)(void *));
#endif
void kmem_cache_destroy(struct kmem_cache *cachep);
void *kmem_cache_alloc(struct kmem_cache *cachep, gfp_t flags);
void kmem_cache_free(struct kmem_cache *cachep, void *objp);
const char *kmem_cache_name(struct kmem_cache *cachep);
}

static inline void *kmalloc(size_t size, gfp_t flags) {
    return __kmalloc(size, flags);
}
static inline void *kzalloc(size_t size, gfp_t flags) {
    return __kzalloc(size, flags);
}

#endif
