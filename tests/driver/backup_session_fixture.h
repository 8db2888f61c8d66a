/*
 * Shared by the tests of the backup path: a RAM disk whose partition 1 holds
 * a known pattern and a mounted test file system; a file of the control
 * device opened through the system calls, whose record the tests look into;
 * bios submitted to the partition as a file system submits them, with what
 * their completion saw; and views of the copy-on-write cache.
 */
#ifndef VELMORA_TESTS_BACKUP_SESSION_FIXTURE_H
#define VELMORA_TESTS_BACKUP_SESSION_FIXTURE_H

#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/mm.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/vmalloc.h>
#include <asm/mman.h>
#include <kunit/test.h>
#include <standin/disk.h>
#include <standin/machine.h>
#include <standin/syscalls.h>

#include "driver_test.h"
#include "internal.h"

#define FX_MAJOR 241
#define FX_DISK STANDIN_MKDEV(FX_MAJOR, 0)
#define FX_PART STANDIN_MKDEV(FX_MAJOR, 1)
#define FX_PART_START 2048ULL
#define FX_PART_SECTORS 8192ULL /* 4 MiB */
#define FX_NODE "/dev/velmora"
#define FX_MAX_PAGES 4

/* ---- The disk ----------------------------------------------------------- */

/*
 * The bytes of the partition in generation `gen`: each 32-bit word depends on
 * its byte offset and the generation, so a misplaced, stale or zeroed block
 * never passes for another. Generation 0 is what the disk holds at the start.
 */
static inline u32 fx_word(unsigned long long offset, u32 gen) {
    return ((u32)(offset / 4) * 2654435761u) ^ (gen * 0x9e3779b9u) ^ 0x5bd1e995u;
}

static inline void fx_fill(void *buf, unsigned long long offset, unsigned long len, u32 gen) {
    u32 *w = (u32 *)buf;
    for (unsigned long i = 0; i < len / 4; i++)
        w[i] = fx_word(offset + i * 4, gen);
}

static inline int fx_matches(const void *buf, unsigned long long offset, unsigned long len,
                             u32 gen) {
    const u32 *w = (const u32 *)buf;
    for (unsigned long i = 0; i < len / 4; i++)
        if (w[i] != fx_word(offset + i * 4, gen))
            return 0;
    return 1;
}

/* Partition 1 of a RAM disk, filled with generation 0, with a test file
 * system of `blockSize` mounted on it unless blockSize is 0. */
static inline int fx_disk_up(unsigned int blockSize) {
    int r = standin_ramdisk_create("fx", FX_MAJOR, 0, 4, FX_PART_START + FX_PART_SECTORS);
    if (!r)
        r = standin_disk_set_partition(FX_DISK, 1, FX_PART_START, FX_PART_SECTORS);
    const unsigned long chunk = 64 * 1024;
    char *buf = r ? NULL : (char *)vmalloc(chunk);
    for (unsigned long long off = 0; buf && !r && off < FX_PART_SECTORS * 512; off += chunk) {
        fx_fill(buf, off, chunk, 0);
        r = standin_dev_write_raw(FX_PART, off, buf, chunk);
    }
    if (buf)
        vfree(buf);
    if (!r && blockSize)
        r = standin_mount(FX_PART, "testfs", blockSize);
    return r;
}

static inline void fx_disk_down(void) {
    standin_umount(FX_PART);
    standin_disk_remove(FX_DISK);
}

/* Whether `count` blocks from `block` hold generation `gen` on the disk. */
static inline int fx_disk_holds(u32 block, u32 count, unsigned int blockSize, u32 gen) {
    unsigned long len = (unsigned long)count * blockSize;
    char *buf = (char *)vmalloc(len);
    unsigned long long off = (unsigned long long)block * blockSize;
    int same = standin_dev_read_raw(FX_PART, off, buf, len) == 0 && fx_matches(buf, off, len, gen);
    vfree(buf);
    return same;
}

static inline unsigned long long fx_disk_reads(void) {
    struct standin_disk_stats s;
    standin_get_disk_stats(FX_DISK, &s);
    return s.reads;
}

/* ---- The control device ------------------------------------------------- */

static inline int fx_open(void) {
    sys::mknod(FX_NODE, S_IFCHR | 0600, MKDEV(VEL_DEVICE_MAJOR, 0));
    return sys::open(FX_NODE, O_RDONLY);
}

static inline Backup *fx_backup(int fd) {
    struct file *f = fget(fd);
    Backup *b = (Backup *)f->private_data;
    fput(f);
    return b;
}

/* The start command as the agent issues it; the driver's status. */
static inline int fx_start_dev(int fd, unsigned int major, unsigned int minor, u32 totalBlocks,
                               u32 maxCacheBlocks) {
    StartBackup rec = {major, minor, totalBlocks, maxCacheBlocks};
    return sys::ioctl(fd, VEL_START_BACKUP, &rec);
}

static inline int fx_start(int fd, u32 totalBlocks, u32 maxCacheBlocks) {
    return fx_start_dev(fd, FX_MAJOR, 1, totalBlocks, maxCacheBlocks);
}

/* The snapshot's switch without its freeze: the hook on the queue and the
 * state changed under `writers`, as the snapshot does it. */
static inline void fx_copy_on_write(Backup *b, u32 state) {
    setMRF(b, velMRF);
    down_write(&b->writers);
    velSetState(b, state);
    up_write(&b->writers);
}

static inline struct request_queue *fx_queue(Backup *b) {
    return getRequestQueue(&b->diskInfo);
}

/* A block map holding `blocks` (every block when NULL), loaded with the
 * command (state 4 to 6). */
static inline int fx_load_block_map(int fd, u32 numBlocks, const u32 *blocks, unsigned int n) {
    unsigned int bytes = (numBlocks + 7) / 8;
    unsigned char *map = (unsigned char *)vmalloc(bytes);
    memset(map, blocks ? 0 : 0xff, bytes);
    for (unsigned int i = 0; blocks && i < n; i++)
        map[blocks[i] / 8] |= (unsigned char)(1 << (blocks[i] % 8));
    UserBlockMap ubm = {map, numBlocks, 0};
    LoadBlockMap rec = {&ubm, sizeof(ubm), 0};
    int r = sys::ioctl(fd, VEL_LOAD_BLOCK_MAP, &rec);
    vfree(map);
    return r;
}

/* ---- The test's own bios ------------------------------------------------ */

struct fx_bio {
    struct bio *bio;
    struct page *pages[FX_MAX_PAGES];
    int npages;
    u32 block, count;
    unsigned int blockSize;
    struct completion done;
    atomic_t calls;
    int uptodate;
    int seq; /* place among all completions of the case */
};

static atomic_t fx_completions;

static inline void fx_record(struct bio *bio) {
    struct fx_bio *r = (struct fx_bio *)bio->bi_private;
    r->uptodate = bio_flagged(bio, BIO_UPTODATE) != 0;
    r->seq = atomic_inc_return(&fx_completions);
    atomic_inc(&r->calls);
    complete(&r->done);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static inline void fx_end_io(struct bio *bio, int error) {
    fx_record(bio);
}
#else
static inline int fx_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    if (bio->bi_size && !error)
        return 1;
    fx_record(bio);
    return 0;
}
#endif

/*
 * Submits `count` blocks from `block` of the partition with direction rw
 * (READ, WRITE or READA); a write carries generation `gen`, a read buffer is
 * filled with 0xa5 first. The caller waits with fx_wait and frees with
 * fx_put.
 */
static inline void fx_submit(struct fx_bio *r, int rw, struct block_device *bdev, u32 block,
                             u32 count, unsigned int blockSize, u32 gen) {
    unsigned long bytes = (unsigned long)count * blockSize;
    memset(r, 0, sizeof(*r));
    r->npages = (int)((bytes + PAGE_SIZE - 1) / PAGE_SIZE);
    r->block = block;
    r->count = count;
    r->blockSize = blockSize;
    init_completion(&r->done);
    atomic_set(&r->calls, 0);
    r->bio = bio_alloc(GFP_NOIO, r->npages);
    r->bio->bi_bdev = bdev;
    r->bio->bi_sector = (sector_t)block * (blockSize / 512);
    for (int i = 0; i < r->npages; i++) {
        unsigned long len = bytes - (unsigned long)i * PAGE_SIZE;
        len = len > PAGE_SIZE ? PAGE_SIZE : len;
        r->pages[i] = alloc_page(GFP_KERNEL);
        if (rw & WRITE)
            fx_fill(page_address(r->pages[i]),
                    (unsigned long long)block * blockSize + (unsigned long long)i * PAGE_SIZE, len,
                    gen);
        else
            memset(page_address(r->pages[i]), 0xa5, PAGE_SIZE);
        bio_add_page(r->bio, r->pages[i], (unsigned int)len, 0);
    }
    r->bio->bi_end_io = fx_end_io;
    r->bio->bi_private = r;
    submit_bio(rw, r->bio);
}

static inline void fx_wait(struct fx_bio *r) {
    wait_for_completion(&r->done);
}

/* Whether a completed read brought generation `gen` of its blocks. */
static inline int fx_read_holds(struct fx_bio *r, u32 gen) {
    unsigned long left = (unsigned long)r->count * r->blockSize;
    for (int i = 0; i < r->npages; i++, left -= PAGE_SIZE) {
        unsigned long len = left > PAGE_SIZE ? PAGE_SIZE : left;
        unsigned long long off =
            (unsigned long long)r->block * r->blockSize + (unsigned long long)i * PAGE_SIZE;
        if (!fx_matches(page_address(r->pages[i]), off, len, gen))
            return 0;
    }
    return 1;
}

static inline void fx_put(struct fx_bio *r) {
    bio_put(r->bio);
    for (int i = 0; i < r->npages; i++)
        __free_page(r->pages[i]);
}

/*
 * Holds kbackupd inside the copy of `block`: the disk is paused, and a write
 * of `count` blocks from the unsettled block on is queued, the old contents
 * of its first block being read. Until the disk resumes the thread replays
 * nothing else, so what the hook queues behind it stays counted in
 * mrInQueue.
 */
static inline void fx_hold_cache_thread_n(struct fx_bio *w, struct block_device *bdev, u32 block,
                                          u32 count, unsigned int blockSize, u32 gen) {
    standin_disk_pause(FX_DISK);
    fx_submit(w, WRITE, bdev, block, count, blockSize, gen);
    standin_disk_wait_queued(FX_DISK, 1);
}

static inline void fx_hold_cache_thread(struct fx_bio *w, struct block_device *bdev, u32 block,
                                        unsigned int blockSize, u32 gen) {
    fx_hold_cache_thread_n(w, bdev, block, 1, blockSize, gen);
}

/* ---- A session in copy-on-write ----------------------------------------- */

struct fx_session {
    int fd;
    Backup *b;
    struct block_device *part; /* for the test's own bios */
    u32 numBlocks;
    unsigned int blockSize;
};

/* A started backup on a fresh disk, switched to `state` with the hook in
 * place; 0, or the step that failed. */
static inline int fx_session_open(struct fx_session *s, unsigned int blockSize, u32 maxCacheBlocks,
                                  u32 state) {
    s->blockSize = blockSize;
    s->numBlocks = (u32)(FX_PART_SECTORS * 512 / blockSize);
    if (fx_disk_up(blockSize))
        return 1;
    s->fd = fx_open();
    if (s->fd < 0 || fx_start(s->fd, s->numBlocks, maxCacheBlocks))
        return 2;
    s->b = fx_backup(s->fd);
    s->part = bdget(FX_PART);
    fx_copy_on_write(s->b, state);
    return 0;
}

static inline void fx_session_close(struct fx_session *s) {
    standin_disk_resume(FX_DISK);
    bdput(s->part);
    sys::close(s->fd);
    fx_disk_down();
}

/* ---- The copy-on-write cache -------------------------------------------- */

/* Copies the saved contents of a block to buf; 0 when the table has none. */
static inline int fx_cached(Backup *b, u32 blockNum, void *buf) {
    HashTable *ht = b->blockTable[blockNum % VEL_BLOCK_TABLE_SIZE];
    CachePage *last = NULL;
    down(&ht->sem);
    CachePage *cp = locateBlockInList(ht->busy, blockNum, &last);
    if (cp)
        memcpy(buf, cp->data, (size_t)b->diskInfo.blockSize);
    up(&ht->sem);
    return cp != NULL;
}

/* Whether the table holds generation `gen` of a block. */
static inline int fx_cache_holds(Backup *b, u32 blockNum, u32 gen) {
    unsigned int bs = (unsigned int)b->diskInfo.blockSize;
    char *buf = (char *)kmalloc(bs, GFP_KERNEL);
    int same =
        fx_cached(b, blockNum, buf) && fx_matches(buf, (unsigned long long)blockNum * bs, bs, gen);
    kfree(buf);
    return same;
}

static inline int fx_cache_entries(Backup *b) {
    int n = 0;
    for (int i = 0; i < VEL_BLOCK_TABLE_SIZE; i++) {
        HashTable *ht = b->blockTable[i];
        down(&ht->sem);
        for (CachePage *cp = ht->busy; cp; cp = cp->next)
            n++;
        up(&ht->sem);
    }
    return n;
}

static inline int fx_settled(Backup *b, u32 blockNum) {
    return blockInMap(&b->cacheMap, blockNum) != 0;
}

/* ---- The kernel log ----------------------------------------------------- */

/* The level of the first log line that starts with `prefix` and ends with
 * `suffix`, or -1. */
static inline int fx_log_level(const char *prefix, const char *suffix) {
    char line[512];
    size_t pl = strlen(prefix), sl = strlen(suffix);
    for (unsigned long i = 0; i < standin_klog_lines(); i++) {
        int level = standin_klog_line(i, line, sizeof(line));
        size_t len = strlen(line);
        if (len >= pl + sl && strncmp(line, prefix, pl) == 0 &&
            strcmp(line + len - sl, suffix) == 0)
            return level;
    }
    return -1;
}

/* Index of the first log line that reads exactly `text`, or -1. */
static inline long fx_log_index(const char *text) {
    char line[512];
    for (unsigned long i = 0; i < standin_klog_lines(); i++) {
        standin_klog_line(i, line, sizeof(line));
        if (strcmp(line, text) == 0)
            return (long)i;
    }
    return -1;
}

#endif
