/*
 * The stand-in's allocators: injected failures reach the caller, misuse is a
 * BUG, and page references keep a frame alive.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/fault.h>

#include "internal.h"

/* kmem_cache_create took a destructor before 2.6.23. */
static struct kmem_cache *make_cache(const char *name, size_t size, unsigned long flags) {
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 23)
    return kmem_cache_create(name, size, 0, flags, NULL, NULL);
#else
    return kmem_cache_create(name, size, 0, flags, NULL);
#endif
}

static void nth_kmalloc_fails(struct kunit *test) {
    struct standin_fault_rule rule = {FAULT_KMALLOC, 0, NULL, 0, 2, 1};
    int id = standin_fault_add(&rule);
    void *a = kmalloc(32, GFP_KERNEL);
    void *b = kmalloc(32, GFP_KERNEL);
    void *c = kmalloc(32, GFP_KERNEL);
    void *d = kmalloc(32, GFP_KERNEL);
    standin_fault_clear();
    KUNIT_EXPECT_NOT_NULL(test, a);
    KUNIT_EXPECT_NOT_NULL(test, b);
    KUNIT_EXPECT_NULL(test, c);
    KUNIT_EXPECT_NOT_NULL(test, d);
    KUNIT_EXPECT_EQ(test, standin_fault_hits(id), 0UL); /* cleared rules report nothing */
    kfree(a);
    kfree(b);
    kfree(d);
}

static void failure_by_flags_and_cache(struct kunit *test) {
    struct kmem_cache *ours = make_cache("velTest0", 64, SLAB_HWCACHE_ALIGN);
    struct kmem_cache *other = make_cache("other0", 64, SLAB_HWCACHE_ALIGN);
    KUNIT_ASSERT_NOT_NULL(test, ours);
    KUNIT_ASSERT_NOT_NULL(test, other);
    struct standin_fault_rule slab = {FAULT_SLAB_ALLOC, 0, "velTest", 0, 0, -1};
    struct standin_fault_rule noio = {FAULT_KMALLOC | FAULT_PAGES, GFP_NOIO, NULL, 0, 0, -1};
    int slab_id = standin_fault_add(&slab);
    int noio_id = standin_fault_add(&noio);
    void *x = kmem_cache_alloc(ours, GFP_KERNEL);
    void *y = kmem_cache_alloc(other, GFP_KERNEL);
    void *k = kmalloc(8, GFP_KERNEL);
    void *n = kmalloc(8, GFP_NOIO);
    struct page *p = alloc_pages(GFP_NOIO, 0);
    KUNIT_EXPECT_EQ(test, standin_fault_hits(slab_id), 1UL);
    KUNIT_EXPECT_EQ(test, standin_fault_hits(noio_id), 2UL);
    standin_fault_clear();
    KUNIT_EXPECT_NULL(test, x);
    KUNIT_EXPECT_NOT_NULL(test, y);
    KUNIT_EXPECT_NOT_NULL(test, k);
    KUNIT_EXPECT_NULL(test, n);
    KUNIT_EXPECT_NULL(test, p);
    kmem_cache_free(other, y);
    kfree(k);
    kmem_cache_destroy(ours);
    kmem_cache_destroy(other);
}

static void cache_create_can_fail(struct kunit *test) {
    struct standin_fault_rule rule = {FAULT_SLAB_CREATE, 0, "velDC", 0, 0, 1};
    standin_fault_add(&rule);
    struct kmem_cache *c = make_cache("velDC0801", 1024, SLAB_HWCACHE_ALIGN);
    standin_fault_clear();
    KUNIT_EXPECT_NULL(test, c);
    c = make_cache("velDC0801", 1024, SLAB_HWCACHE_ALIGN);
    KUNIT_ASSERT_NOT_NULL(test, c);
    KUNIT_EXPECT_NULL(test, make_cache("velDC0801", 1024, 0));
    KUNIT_EXPECT_LOG(test, "kmem_cache_create: duplicate cache velDC0801");
    kmem_cache_destroy(c);
}

static void destroy_cache_with_objects(struct kunit *test) {
    struct kmem_cache *c = make_cache("busy", 32, 0);
    kmem_cache_alloc(c, GFP_KERNEL);
    kmem_cache_destroy(c);
}

static void free_into_wrong_cache(struct kunit *test) {
    struct kmem_cache *a = make_cache("cacheA", 32, 0);
    struct kmem_cache *b = make_cache("cacheB", 32, 0);
    kmem_cache_free(b, kmem_cache_alloc(a, GFP_KERNEL));
}

static void kfree_of_vmalloc(struct kunit *test) {
    kfree(vmalloc(4096));
}

static void double_kfree(struct kunit *test) {
    void *p = kmalloc(64, GFP_KERNEL);
    kfree(p);
    kfree(p);
}

static void page_references(struct kunit *test) {
    struct page *p = alloc_pages(GFP_HIGHUSER, 0);
    KUNIT_ASSERT_NOT_NULL(test, p);
    char *addr = (char *)page_address(p);
    memset(addr, 0x5a, PAGE_SIZE);
    KUNIT_EXPECT_EQ(test, virt_to_page(addr + 100), p);
    get_page(p);
    KUNIT_EXPECT_EQ(test, page_count(p), 2);
    /* The allocator's reference goes; a mapping's reference keeps the frame. */
    __free_pages(p, 0);
    KUNIT_EXPECT_EQ(test, page_count(p), 1);
    KUNIT_EXPECT_EQ(test, (int)addr[PAGE_SIZE - 1], 0x5a);
    put_page(p);
    KUNIT_EXPECT_EQ(test, page_count(p), 0);
}

static void free_of_free_page(struct kunit *test) {
    struct page *p = alloc_pages(GFP_KERNEL, 0);
    __free_pages(p, 0);
    __free_pages(p, 0);
}

static void oversized_kmalloc_fails(struct kunit *test) {
    KUNIT_EXPECT_NULL(test, kmalloc(KMALLOC_MAX_SIZE + 1, GFP_KERNEL));
    void *p = kmalloc(KMALLOC_MAX_SIZE, GFP_KERNEL);
    KUNIT_EXPECT_NOT_NULL(test, p);
    kfree(p);
}

static struct kunit_case memory_cases[] = {
    KUNIT_CASE(nth_kmalloc_fails),
    KUNIT_CASE(failure_by_flags_and_cache),
    KUNIT_CASE(cache_create_can_fail),
    KUNIT_CASE_BUG(destroy_cache_with_objects, "slab error in kmem_cache_destroy"),
    KUNIT_CASE_BUG(free_into_wrong_cache, "belongs to another slab cache"),
    KUNIT_CASE_BUG(kfree_of_vmalloc, "kfree of .* which is a vmalloc"),
    KUNIT_CASE_BUG(double_kfree, "double free|use-after-free"),
    KUNIT_CASE(page_references),
    KUNIT_CASE_BUG(free_of_free_page, "Bad page state"),
    KUNIT_CASE(oversized_kmalloc_fails),
    {},
};

static struct kunit_suite memory_suite = {"memory", memory_cases};
kunit_test_suite(memory_suite);
