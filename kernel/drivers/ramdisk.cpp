/*
 * The RAM disk: its sectors live in page frames of the kernel's memory, all
 * taken when the disk is made (a write never waits for memory), zero at first.
 * Its queue has no queue_lock, like the RAM disk driver's.
 */
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/fs.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "../src/internal.h"
#include "simdisk.h"

struct ramdisk {
    struct simdisk_backend backend;
    struct page **pages;
    unsigned long nr_pages;
};

static int ramdisk_io(struct simdisk_backend *b, int rw, unsigned long long off, void *buf,
                      unsigned long len) {
    struct ramdisk *rd = container_of(b, struct ramdisk, backend);
    char *p = (char *)buf;
    while (len) {
        unsigned long index = (unsigned long)(off >> PAGE_SHIFT);
        unsigned long in_page = (unsigned long)(off & (PAGE_SIZE - 1));
        unsigned long n = PAGE_SIZE - in_page < len ? PAGE_SIZE - in_page : len;
        if (index >= rd->nr_pages)
            return -EIO;
        char *frame = (char *)page_address(rd->pages[index]) + in_page;
        if (rw == WRITE)
            memcpy(frame, p, n);
        else
            memcpy(p, frame, n);
        p += n;
        off += n;
        len -= n;
    }
    return 0;
}

static void ramdisk_release(struct simdisk_backend *b) {
    struct ramdisk *rd = container_of(b, struct ramdisk, backend);
    for (unsigned long i = 0; i < rd->nr_pages; i++)
        if (rd->pages[i])
            __free_page(rd->pages[i]);
    host_free(rd->pages);
    host_free(rd);
}

extern "C" int standin_ramdisk_create(const char *name, unsigned int major,
                                      unsigned int first_minor, int minors,
                                      unsigned long long sectors) {
    if (sectors == 0)
        return -EINVAL;
    struct ramdisk *rd = (struct ramdisk *)host_calloc(1, sizeof(*rd));
    rd->backend.kind = "ramdisk";
    rd->backend.io = ramdisk_io;
    rd->backend.release = ramdisk_release;
    rd->nr_pages = (unsigned long)((sectors * 512 + PAGE_SIZE - 1) >> PAGE_SHIFT);
    rd->pages = (struct page **)host_calloc(rd->nr_pages, sizeof(struct page *));
    for (unsigned long i = 0; i < rd->nr_pages; i++) {
        rd->pages[i] = alloc_page(GFP_KERNEL | __GFP_ZERO | __GFP_NOWARN);
        if (!rd->pages[i]) {
            ramdisk_release(&rd->backend);
            return -ENOMEM;
        }
    }
    return simdisk_create(&rd->backend, name, major, first_minor, minors, sectors, 0);
}
