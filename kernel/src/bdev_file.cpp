/*
 * A block device opened directly by a program: reads and writes go through
 * the device's own page cache, where written pages stay dirty until the last
 * close writes them back (sync_blockdev) and drops them (kill_bdev). Only
 * dirty pages are kept; a read of a page that is not dirty goes to the disk
 * through the queue.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/blkdev.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/bdev.h>

#include "internal.h"

#define MAX_BDEV_HANDLES 64

struct cached_page {
    struct list_head list;
    unsigned long long index;
    struct page *page;
};

/* The dirty pages of one block device. */
struct bdev_cache {
    struct list_head list;
    struct block_device *bdev;
    struct list_head pages;
};

static struct host_mutex cache_lock;
static LIST_HEAD(caches);

static struct host_mutex handles_lock;
static struct block_device *handles[MAX_BDEV_HANDLES];

static struct bdev_cache *cache_of_locked(struct block_device *bdev, int create) {
    struct bdev_cache *c;
    list_for_each_entry(c, &caches, list) {
        if (c->bdev == bdev)
            return c;
    }
    if (!create)
        return NULL;
    c = (struct bdev_cache *)host_calloc(1, sizeof(*c));
    c->bdev = bdev;
    INIT_LIST_HEAD(&c->pages);
    list_add_tail(&c->list, &caches);
    return c;
}

static struct page *find_page_locked(struct block_device *bdev, unsigned long long index) {
    struct bdev_cache *c = cache_of_locked(bdev, 0);
    struct cached_page *cp;
    if (c) {
        list_for_each_entry(cp, &c->pages, list) {
            if (cp->index == index)
                return cp->page;
        }
    }
    return NULL;
}

/* Bytes of page `index` that lie on the device: a multiple of 512. */
static unsigned int page_bytes(unsigned long long size, unsigned long long index) {
    unsigned long long off = index * PAGE_SIZE;
    return size - off < PAGE_SIZE ? (unsigned int)(size - off) : (unsigned int)PAGE_SIZE;
}

static int check_range(struct block_device *bdev, unsigned long long off, unsigned long long len,
                       unsigned long long *size) {
    *size = (unsigned long long)bdev_sectors(bdev) << 9;
    return off > *size || len > *size - off ? -EINVAL : 0;
}

static int cache_read(struct block_device *bdev, unsigned long long off, char *buf,
                      unsigned long long len) {
    unsigned long long size;
    int ret = check_range(bdev, off, len, &size);
    char *tmp = (char *)host_malloc(PAGE_SIZE);
    while (len && !ret) {
        unsigned long long index = off / PAGE_SIZE;
        unsigned int in = (unsigned int)(off % PAGE_SIZE);
        unsigned int n = page_bytes(size, index) - in;
        if (n > len)
            n = (unsigned int)len;
        host_mutex_lock(&cache_lock);
        struct page *page = find_page_locked(bdev, index);
        if (page)
            memcpy(buf, (char *)page_address(page) + in, n);
        host_mutex_unlock(&cache_lock);
        if (!page) {
            ret = blk_rw_sync(bdev, READ, index * (PAGE_SIZE >> 9), tmp, page_bytes(size, index));
            if (!ret)
                memcpy(buf, tmp + in, n);
        }
        off += n;
        buf += n;
        len -= n;
    }
    host_free(tmp);
    return ret;
}

static int cache_write(struct block_device *bdev, unsigned long long off, const char *buf,
                       unsigned long long len) {
    unsigned long long size;
    int ret = check_range(bdev, off, len, &size);
    while (len && !ret) {
        unsigned long long index = off / PAGE_SIZE;
        unsigned int in = (unsigned int)(off % PAGE_SIZE);
        unsigned int bytes = page_bytes(size, index);
        unsigned int n = bytes - in;
        if (n > len)
            n = (unsigned int)len;
        host_mutex_lock(&cache_lock);
        struct page *page = find_page_locked(bdev, index);
        if (page)
            memcpy((char *)page_address(page) + in, buf, n);
        host_mutex_unlock(&cache_lock);
        if (!page) {
            /* A fresh page, read first unless this write covers all of it. */
            struct page *fresh = alloc_page(GFP_KERNEL);
            if (!fresh)
                return -ENOMEM;
            if (in || n < bytes)
                ret = blk_rw_sync(bdev, READ, index * (PAGE_SIZE >> 9), page_address(fresh), bytes);
            if (ret) {
                __free_page(fresh);
                return ret;
            }
            host_mutex_lock(&cache_lock);
            page = find_page_locked(bdev, index);
            if (!page) {
                struct cached_page *cp = (struct cached_page *)host_calloc(1, sizeof(*cp));
                cp->index = index;
                cp->page = page = fresh;
                fresh = NULL;
                list_add_tail(&cp->list, &cache_of_locked(bdev, 1)->pages);
            }
            memcpy((char *)page_address(page) + in, buf, n);
            host_mutex_unlock(&cache_lock);
            if (fresh)
                __free_page(fresh); /* another writer of the device was first */
        }
        off += n;
        buf += n;
        len -= n;
    }
    return ret;
}

int bdev_writeback(struct block_device *bdev) {
    host_mutex_lock(&cache_lock);
    struct bdev_cache *c = cache_of_locked(bdev, 0);
    if (c)
        list_del(&c->list);
    host_mutex_unlock(&cache_lock);
    if (!c)
        return 0;
    unsigned long long size = (unsigned long long)bdev_sectors(bdev) << 9;
    int ret = 0;
    struct cached_page *cp, *next;
    list_for_each_entry_safe(cp, next, &c->pages, list) {
        /* Submitted from this task, so a make_request_fn runs here, under
         * the caller's bd_mutex. */
        int err = blk_rw_sync(bdev, WRITE, cp->index * (PAGE_SIZE >> 9), page_address(cp->page),
                              page_bytes(size, cp->index));
        if (err && !ret) {
            char name[BDEVNAME_SIZE];
            printk("<3>%s: write-back of page %llu failed at close\n", bdevname(bdev, name),
                   cp->index);
            ret = -EIO;
        }
        list_del(&cp->list);
        __free_page(cp->page);
        host_free(cp);
    }
    host_free(c);
    return ret;
}

extern "C" int standin_bdev_open(unsigned int dev) {
    struct block_device *bdev = bdget(dev);
    int ret = bdev_open(bdev);
    if (ret) {
        bdput(bdev);
        return ret;
    }
    host_mutex_lock(&handles_lock);
    int handle = -EMFILE;
    for (int i = 0; i < MAX_BDEV_HANDLES && handle < 0; i++) {
        if (!handles[i]) {
            handles[i] = bdev;
            handle = i;
        }
    }
    host_mutex_unlock(&handles_lock);
    if (handle < 0) {
        bdev_close(bdev);
        bdput(bdev);
    }
    return handle;
}

static struct block_device *handle_bdev(int handle) {
    if (handle < 0 || handle >= MAX_BDEV_HANDLES)
        return NULL;
    host_mutex_lock(&handles_lock);
    struct block_device *bdev = handles[handle];
    host_mutex_unlock(&handles_lock);
    return bdev;
}

extern "C" int standin_bdev_read(int handle, unsigned long long offset, void *buf,
                                 unsigned long long len) {
    struct block_device *bdev = handle_bdev(handle);
    return bdev ? cache_read(bdev, offset, (char *)buf, len) : -EBADF;
}

extern "C" int standin_bdev_write(int handle, unsigned long long offset, const void *buf,
                                  unsigned long long len) {
    struct block_device *bdev = handle_bdev(handle);
    return bdev ? cache_write(bdev, offset, (const char *)buf, len) : -EBADF;
}

extern "C" int standin_bdev_close(int handle) {
    if (handle < 0 || handle >= MAX_BDEV_HANDLES)
        return -EBADF;
    host_mutex_lock(&handles_lock);
    struct block_device *bdev = handles[handle];
    handles[handle] = NULL;
    host_mutex_unlock(&handles_lock);
    if (!bdev)
        return -EBADF;
    int ret = bdev_close(bdev);
    bdput(bdev);
    return ret;
}
