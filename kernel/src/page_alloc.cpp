/*
 * The page allocator. Page frames live in one shared-memory file, so a frame
 * can also be mapped into a process (mmap of a device). A page is freed when
 * its last reference goes; in a checking build freed frames are poisoned, so
 * a read through a stale pointer shows.
 */
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/string.h>

#include "internal.h"

#define MAX_ORDER 11
#define PAGE_POISON 0xaa

static struct page *mem_map;
static unsigned long nr_pages;
static char *phys;
static unsigned long next_fresh; /* frames below this were handed out at least once */
static struct list_head free_area[MAX_ORDER];
static struct host_mutex zone_lock;

void page_alloc_init(unsigned long pages) {
    phys = (char *)host_phys_map(pages);
    mem_map = (struct page *)host_calloc(pages, sizeof(struct page));
    if (!phys || !mem_map)
        kernel_die("Kernel panic: cannot set up %lu pages of memory\n", pages);
    nr_pages = pages;
    for (int i = 0; i < MAX_ORDER; i++)
        INIT_LIST_HEAD(&free_area[i]);
}

extern "C" void *page_address(struct page *page) {
    return phys + (unsigned long)(page - mem_map) * PAGE_SIZE;
}

extern "C" unsigned long page_to_pfn(struct page *page) {
    return (unsigned long)(page - mem_map);
}

extern "C" struct page *pfn_to_page(unsigned long pfn) {
    if (pfn >= nr_pages)
        kernel_die("BUG: pfn %lu beyond memory\n", pfn);
    return mem_map + pfn;
}

extern "C" struct page *virt_to_page(const void *addr) {
    const char *a = (const char *)addr;
    if (a < phys || a >= phys + nr_pages * PAGE_SIZE)
        kernel_die("BUG: virt_to_page(%p): not a kernel page address\n", addr);
    return mem_map + (unsigned long)(a - phys) / PAGE_SIZE;
}

static struct page *take_frames(unsigned int order) {
    struct page *page = NULL;
    host_mutex_lock(&zone_lock);
    if (!list_empty(&free_area[order])) {
        page = list_first_entry(&free_area[order], struct page, lru);
        list_del(&page->lru);
    } else if (next_fresh + (1UL << order) <= nr_pages) {
        page = mem_map + next_fresh;
        next_fresh += 1UL << order;
    }
    host_mutex_unlock(&zone_lock);
    return page;
}

static struct page *alloc_pages_caller(gfp_t gfp_mask, unsigned int order, unsigned long caller) {
    if (gfp_mask & __GFP_WAIT)
        might_sleep();
    if (order >= MAX_ORDER)
        return NULL;
    if (should_fail(FAULT_PAGES, gfp_mask, NULL, caller))
        return NULL;
    struct page *page = take_frames(order);
    if (!page) {
        if (!(gfp_mask & __GFP_NOWARN))
            printk("<4>%s: page allocation failure. order:%u, mode:0x%x\n", current->comm, order,
                   gfp_mask);
        return NULL;
    }
    page->order = order;
    __atomic_store_n(&page->alloc_caller, caller, __ATOMIC_RELAXED);
    atomic_set(&page->_count, 1);
    if (gfp_mask & __GFP_ZERO)
        memset(page_address(page), 0, PAGE_SIZE << order);
    return page;
}

extern "C" struct page *alloc_pages(gfp_t gfp_mask, unsigned int order) {
    return alloc_pages_caller(gfp_mask, order, _RET_IP_);
}

static void free_frames(struct page *page) {
#ifdef STANDIN_CHECKING
    memset(page_address(page), PAGE_POISON, PAGE_SIZE << page->order);
#endif
    host_mutex_lock(&zone_lock);
    list_add(&page->lru, &free_area[page->order]);
    host_mutex_unlock(&zone_lock);
}

static void bad_page(struct page *page, const char *what) {
    kernel_die("BUG: Bad page state: %s of page %p (pfn %lu, count %d)\n", what, (void *)page,
               page_to_pfn(page), atomic_read(&page->_count));
}

extern "C" void __free_pages(struct page *page, unsigned int order) {
    if (!page)
        kernel_die("BUG: __free_pages(NULL)\n");
    if (atomic_read(&page->_count) <= 0)
        bad_page(page, "free");
    if (order != page->order)
        kernel_die("BUG: __free_pages of order %u on a page allocated with order %u\n", order,
                   page->order);
    /* The allocation is given back even if a mapping still holds the frame. */
    __atomic_store_n(&page->alloc_caller, 0UL, __ATOMIC_RELAXED);
    if (atomic_dec_and_test(&page->_count))
        free_frames(page);
}

extern "C" void get_page(struct page *page) {
    if (atomic_read(&page->_count) <= 0)
        bad_page(page, "get_page");
    atomic_inc(&page->_count);
}

extern "C" void put_page(struct page *page) {
    if (atomic_read(&page->_count) <= 0)
        bad_page(page, "put_page");
    if (atomic_dec_and_test(&page->_count))
        free_frames(page);
}

extern "C" int page_count(struct page *page) {
    return atomic_read(&page->_count);
}

extern "C" unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order) {
    struct page *page = alloc_pages_caller(gfp_mask, order, _RET_IP_);
    return page ? (unsigned long)page_address(page) : 0;
}

extern "C" void free_pages(unsigned long addr, unsigned int order) {
    if (addr)
        __free_pages(virt_to_page((void *)addr), order);
}

unsigned long pages_report_range(unsigned long lo, unsigned long hi, const char *owner) {
    unsigned long count = 0;
    char sym[256];
    host_mutex_lock(&zone_lock);
    unsigned long end = next_fresh;
    host_mutex_unlock(&zone_lock);
    for (unsigned long pfn = 0; pfn < end; pfn++) {
        unsigned long caller = __atomic_load_n(&mem_map[pfn].alloc_caller, __ATOMIC_RELAXED);
        if (caller < lo || caller >= hi || atomic_read(&mem_map[pfn]._count) <= 0)
            continue;
        if (count++ < 16)
            printk("<3>%s: leaked page (pfn %lu), allocated at %s\n", owner, pfn,
                   host_symbolize((void *)caller, sym, sizeof(sym)));
    }
    if (count > 16)
        printk("<3>%s: ... %lu pages leaked in all\n", owner, count);
    return count;
}

/* Walks every free list: a node whose neighbours do not point back at it
 * was written through a stale or wild pointer. */
extern "C" void standin_check_free_pages(void) {
    host_mutex_lock(&zone_lock);
    for (int order = 0; order < MAX_ORDER; order++) {
        struct list_head *prev = &free_area[order];
        for (struct list_head *at = prev->next; at != &free_area[order]; at = at->next) {
            struct page *page = list_entry(at, struct page, lru);
            if (at->prev != prev || page < mem_map || page >= mem_map + nr_pages ||
                atomic_read(&page->_count) != 0)
                kernel_die(
                    "BUG: free list of order %d broken at pfn %ld (next %p, prev %p, "
                    "count %d)\n",
                    order, (long)(page - mem_map), (void *)at->next, (void *)at->prev,
                    atomic_read(&page->_count));
            prev = at;
        }
    }
    host_mutex_unlock(&zone_lock);
}

unsigned long pages_in_modules(const struct module_ranges *modules) {
    unsigned long count = 0;
    host_mutex_lock(&zone_lock);
    unsigned long end = next_fresh;
    host_mutex_unlock(&zone_lock);
    for (unsigned long pfn = 0; pfn < end; pfn++) {
        unsigned long caller = __atomic_load_n(&mem_map[pfn].alloc_caller, __ATOMIC_RELAXED);
        if (caller && atomic_read(&mem_map[pfn]._count) > 0)
            count += module_ranges_has(modules, caller);
    }
    return count;
}
