/*
 * Shared by the change-tracking tests: RAM disks with partitions carrying the
 * test file system, devices registered and hooked through the driver's own
 * functions (the way a snapshot and the end of a backup do it), and bios
 * written and read synchronously through the block layer.
 */
#ifndef VELMORA_TESTS_TRACKING_TEST_H
#define VELMORA_TESTS_TRACKING_TEST_H

#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/highmem.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <asm/bitops.h>
#include <kunit/test.h>
#include <standin/disk.h>
#include <standin/machine.h>
#include <standin/preempt.h>

#include "driver_test.h"
#include "queue_registry.h"
#include "user_count.h"
#include "../kernel/blk_test_util.h"

/* A partition of a test disk: start and length in sectors. */
struct test_part {
    unsigned long long start, sectors;
};

/*
 * A RAM disk of 16 minors with the given partitions (1 ..), each mounted with
 * the test file system of `blockSize`. 0, or the first failure.
 */
static inline int test_disk_create(const char *name, unsigned int major, unsigned int firstMinor,
                                   unsigned long long sectors, const struct test_part *parts,
                                   int nparts, unsigned int blockSize) {
    int r = standin_ramdisk_create(name, major, firstMinor, 16, sectors);
    unsigned int disk = STANDIN_MKDEV(major, firstMinor);
    for (int i = 0; !r && i < nparts; i++) {
        r = standin_disk_set_partition(disk, i + 1, parts[i].start, parts[i].sectors);
        if (!r)
            r = standin_mount(disk + i + 1, "testfs", blockSize);
    }
    return r;
}

/* Unmounts what is mounted and detaches the disk. */
static inline void test_disk_remove(unsigned int major, unsigned int firstMinor, int nparts) {
    unsigned int disk = STANDIN_MKDEV(major, firstMinor);
    for (int i = 0; i < nparts; i++)
        standin_umount(disk + i + 1);
    standin_disk_remove(disk);
}

/* The request queue a device's bios reach. */
static inline struct request_queue *queue_of(dev_t dev) {
    struct block_device *bdev = bdget(dev);
    struct request_queue *q = bdev->bd_disk ? bdev->bd_disk->queue : NULL;
    bdput(bdev);
    return q;
}

static inline make_request_fn *current_mrf(struct request_queue *q) {
    return ACCESS_ONCE(q->make_request_fn);
}

/* A device as the driver tracks it: an open file whose Backup record holds the
 * device's geometry, and the device's automap session. */
struct tracked {
    struct test_file tf;
    int opened;
    Backup *b;
    AutoMapSession *ams;
};

/*
 * Reads the geometry of `kdev`, makes its session with a map of `numBlocks`
 * (0: the whole partition), puts it in sync and, with a hook given, hooks the
 * device's queue. 0, or the first failing step's status.
 */
static inline int track_device(struct tracked *t, dev_t kdev, u32 numBlocks,
                               make_request_fn *hook) {
    t->ams = NULL;
    t->opened = test_open(&t->tf) == 0;
    if (!t->opened)
        return -1;
    t->b = test_backup(&t->tf);
    int r = getDiskInfo(&t->b->diskInfo, kdev);
    if (r)
        return r;
    DiskInfo *di = &t->b->diskInfo;
    di->numBlocks = numBlocks ? numBlocks : (u32)(di->partitionLen >> di->sectorsPerBlockShift);
    r = newAMS(t->b, &t->ams);
    if (r)
        return r;
    velSetState(t->ams, VEL_AMS_IN_SYNC);
    return hook ? setMRF(t->b, hook) : 0;
}

/* Closes the device's session (when it still has one) and the file. */
static inline void untrack_device(struct tracked *t) {
    if (!t->opened)
        return;
    closeAMS(t->b);
    test_release(&t->tf);
    t->opened = 0;
}

/* Closes the session of a device, as the snapshot does before replacing it;
 * 2 when it has none. */
static inline int close_session_of(dev_t kdev) {
    struct test_file tf;
    if (test_open(&tf))
        return -1;
    test_backup(&tf)->diskInfo.kdev = kdev;
    int r = closeAMS(test_backup(&tf));
    test_release(&tf);
    return r;
}

/* A bio of `len` bytes at `sector` of dev, submitted with `rw` and waited
 * for; 1 when it ended up to date. The page is filled from `seed`. */
static inline int bio_sync(dev_t dev, int rw, sector_t sector, unsigned int len,
                           unsigned char seed) {
    struct block_device *bdev = bdget(dev);
    unsigned int pages = (len + PAGE_SIZE - 1) / PAGE_SIZE;
    struct bio *bio = bio_alloc(GFP_NOIO, (int)pages);
    struct page *page[16];
    struct bio_result r;
    bio_result_init(&r);
    bio->bi_bdev = bdev;
    bio->bi_sector = sector;
    bio->bi_end_io = bio_result_end_io;
    bio->bi_private = &r;
    for (unsigned int i = 0; i < pages && i < 16; i++) {
        page[i] = alloc_page(GFP_KERNEL);
        fill_page(page[i], (unsigned char)(seed + i));
        unsigned int chunk = len - i * PAGE_SIZE < PAGE_SIZE ? len - i * PAGE_SIZE : PAGE_SIZE;
        bio_add_page(bio, page[i], chunk, 0);
    }
    submit_bio(rw, bio);
    wait_for_completion(&r.done);
    bio_put(bio);
    for (unsigned int i = 0; i < pages && i < 16; i++)
        __free_page(page[i]);
    bdput(bdev);
    return r.uptodate;
}

/* A write of whole blocks `first` .. `first + count - 1` of the session's
 * device, by its geometry. */
static inline int write_blocks(struct tracked *t, u32 first, u32 count) {
    DiskInfo *di = &t->b->diskInfo;
    return bio_sync(di->kdev, WRITE, (sector_t)first << di->sectorsPerBlockShift,
                    count * (unsigned int)di->blockSize, (unsigned char)first);
}

/* A write of one block submitted on its own task, so that the test can act
 * while the write is held somewhere on its way. */
struct held_write {
    struct tracked *t;
    u32 block;
    int uptodate;
    struct completion done;
};

static inline int held_write_thread(void *arg) {
    struct held_write *w = (struct held_write *)arg;
    w->uptodate = write_blocks(w->t, w->block, 1);
    complete(&w->done);
    return 0;
}

static inline int held_write_start(struct held_write *w, struct tracked *t, u32 block) {
    w->t = t;
    w->block = block;
    w->uptodate = 0;
    init_completion(&w->done);
    return kernel_thread(held_write_thread, w, 0);
}

/*
 * Holds the next task that counts itself in on a block map, inside the hook
 * with its session reference: the map carries a drainer's mark, so the task
 * takes the map's lock, and the release of that lock is a preemption point
 * where it waits until map_hold_release.
 */
struct map_hold {
    BlockMap *bm;
    atomic_t caught;
    struct completion seen, go;
};

static inline void map_hold_point(const char *lock, unsigned long caller, void *ctx) {
    struct map_hold *h = (struct map_hold *)ctx;
    if (strcmp(lock, "&bmap->usersLock") != 0 || atomic_cmpxchg(&h->caught, 0, 1) != 0)
        return;
    complete(&h->seen);
    wait_for_completion(&h->go);
}

static inline void map_hold_arm(struct map_hold *h, BlockMap *bm) {
    h->bm = bm;
    atomic_set(&h->caught, 0);
    init_completion(&h->seen);
    init_completion(&h->go);
    atomic_add(USERS_CLOSING, &bm->users);
    standin_set_preempt_hook(map_hold_point, h);
}

/* Waits until a task is held; the mark is gone when this returns. */
static inline void map_hold_wait(struct map_hold *h) {
    wait_for_completion(&h->seen);
    atomic_sub(USERS_CLOSING, &h->bm->users);
}

static inline void map_hold_release(struct map_hold *h) {
    complete(&h->go);
    standin_set_preempt_hook(NULL, NULL);
    standin_preempt_hook_sync();
}

/* A bio that is only looked at, never submitted: as a hook receives it, on
 * the whole disk. The caller bio_put()s it. */
static inline struct bio *bare_bio(struct block_device *whole, sector_t sector, unsigned int size,
                                   unsigned long rw) {
    struct bio *bio = bio_alloc(GFP_NOIO, 1);
    bio->bi_bdev = whole;
    bio->bi_sector = sector;
    bio->bi_size = size;
    bio->bi_rw = rw;
    return bio;
}

/* A bit of a map straight from its page, without counting in: for a test
 * that holds a writer counted in on the map. */
static inline int peek_bit(BlockMap *bm, u32 n) {
    return test_bit(n % 32768, page_address(bm->map[n / 32768]));
}

/* Blocks set in a map, and the first of them (or `size` when none is). */
static inline u32 bits_set(BlockMap *bm, u32 *first) {
    u32 count = 0;
    *first = bm->size;
    for (u32 n = 0; n < bm->size; n++) {
        if (blockInMap(bm, n)) {
            if (!count)
                *first = n;
            count++;
        }
    }
    return count;
}

/* Registry nodes, and the node of a queue; for a test that is the only one
 * changing the registry. */
static inline int queue_nodes(void) {
    int n = 0;
    QueueList *node;
    list_for_each_entry(node, &queueListHead, list) n++;
    return n;
}

static inline QueueList *queue_node(struct request_queue *q) {
    QueueList *node;
    list_for_each_entry(node, &queueListHead, list) {
        if (node->rQueue == q)
            return node;
    }
    return NULL;
}

static inline int dev_entries(QueueList *node) {
    int n = 0;
    DevList *dev;
    list_for_each_entry(dev, &node->devList, list) n++;
    return n;
}

/* The session in a table slot right now, looked up as the driver's readers do. */
static inline AutoMapSession *slot_of(dev_t kdev) {
    amListReaderIn();
    AutoMapSession *ams = amListLookup(kdev);
    amListReaderOut();
    return ams;
}

#endif
