/*
 * The simulated disk controller. make_request_fn only queues the bio; the
 * controller's thread waits out the disk's latency, moves the data and ends
 * the bio with irq_enter()/irq_exit() around bio_endio, so completion
 * functions run on another thread and in interrupt context, as they do on
 * hardware. Bios are served in arrival order, except those a test holds
 * back on purpose until it releases them. Before 2.6.24 a bio of several
 * segments is ended in pieces, as a controller reports what it has done.
 * An unplugged disk fails what it has not served; its state lives as long as
 * its queue, which a hooking driver or an open device may still hold.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/genhd.h>
#include <linux/sched.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "../src/internal.h"
#include "simdisk.h"

#define MAX_FAIL_RANGES 16

struct sim_request {
    struct sim_request *next;
    struct bio *bio;
    unsigned long long due; /* monotonic ns */
    int injected;           /* a fault rule fails it: ended with -EIO, unserved */
};

struct fail_range {
    unsigned long long start, end; /* disk sectors, end exclusive */
    int directions;                /* STANDIN_FAIL_* */
};

/* Catches the next `left` bios of the directions that touch the sectors. */
struct hold_rule {
    unsigned long long start, end; /* disk sectors, end exclusive */
    int directions;                /* STANDIN_IO_* */
    int left;
};

struct simdisk {
    struct list_head list;
    struct gendisk *disk;
    struct request_queue *queue;
    struct simdisk_backend *backend;
    spinlock_t own_lock;
    spinlock_t *lock; /* the queue's lock, or own_lock when it has none */
    struct sim_request *head, *tail;
    int queued;   /* bios received and not yet ended */
    int paused;   /* the controller holds its bios */
    int stopping; /* the disk goes away: serve what is queued, then end */
    int gone;     /* unplugged: what is queued ends with -EIO instead */
    int direct;   /* bios are served in make_request while nothing delays them */
    /* Bios held by the rule, in arrival order; counted in `queued`. */
    struct hold_rule hold;
    int holding; /* a rule is in force (until the release) */
    struct sim_request *held_head, *held_tail;
    int held;
    wait_queue_head_t wq;
    wait_queue_head_t queued_wq;
    struct completion exited;
    struct host_mutex data_lock; /* the backing store */
    struct host_mutex config_lock;
    unsigned long long latency_ns;
    struct fail_range fails[MAX_FAIL_RANGES];
    int nr_fails;
    struct standin_disk_stats stats;
    unsigned long long split_seed; /* the completion thread's, for the pieces */
};

static struct host_mutex registry_lock;
static struct host_mutex create_lock; /* one disk created or removed at a time */
static LIST_HEAD(simdisks);

static void stat_add(unsigned long long *counter, unsigned long long n) {
    __atomic_add_fetch(counter, n, __ATOMIC_RELAXED);
}

/* First failing sector of [sector, sector + count) for this direction, or -1. */
static long long first_failing(struct simdisk *sd, int rw, unsigned long long sector,
                               unsigned long long count) {
    long long first = -1;
    int dir = rw == WRITE ? STANDIN_FAIL_WRITE : STANDIN_FAIL_READ;
    host_mutex_lock(&sd->config_lock);
    for (int i = 0; i < sd->nr_fails; i++) {
        struct fail_range *f = &sd->fails[i];
        if (!(f->directions & dir) || f->end <= sector || f->start >= sector + count)
            continue;
        unsigned long long s = f->start > sector ? f->start : sector;
        if (first < 0 || (long long)s < first)
            first = (long long)s;
    }
    host_mutex_unlock(&sd->config_lock);
    return first;
}

/* Moves up to `bytes` of the bio; returns 0 or the backend's error. A
 * backend that takes pieces gets the whole bio in one call. */
static int move_data(struct simdisk *sd, struct bio *bio, int rw, unsigned int bytes) {
    unsigned long long pos = (unsigned long long)bio->bi_sector << 9;
    struct host_iovec iov[BIO_MAX_PAGES];
    int count = 0;
    unsigned long total = 0;
    int vectored = sd->backend->iov && bio->bi_vcnt <= BIO_MAX_PAGES;
    struct bio_vec *bv;
    int i, ret = 0;
    host_mutex_lock(&sd->data_lock);
    bio_for_each_segment(bv, bio, i) {
        if (!bytes)
            break;
        if (bv->bv_offset + bv->bv_len > PAGE_SIZE) {
            ret = -EIO;
            break;
        }
        unsigned int n = bv->bv_len < bytes ? bv->bv_len : bytes;
        char *data = (char *)page_address(bv->bv_page) + bv->bv_offset;
        if (vectored) {
            iov[count].base = data;
            iov[count++].len = n;
            total += n;
        } else {
            ret = sd->backend->io(sd->backend, rw, pos, data, n);
            if (ret)
                break;
            pos += n;
        }
        bytes -= n;
    }
    if (!ret && count)
        ret = sd->backend->iov(sd->backend, rw, pos, iov, count, total);
    host_mutex_unlock(&sd->data_lock);
    return ret;
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
static unsigned int split_random(struct simdisk *sd) {
    unsigned long long x = sd->split_seed; /* xorshift64 */
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    sd->split_seed = x;
    return (unsigned int)(x >> 32);
}

/* Whole segments from bi_idx on that `bytes` covers. */
static int whole_segments(struct bio *bio, unsigned int bytes) {
    int n = 0;
    for (int i = bio->bi_idx; i < bio->bi_vcnt && bio->bi_io_vec[i].bv_len <= bytes; i++) {
        bytes -= bio->bi_io_vec[i].bv_len;
        n++;
    }
    return n;
}
#endif

/* Counted before the bio is ended, so its submitter sees the counts. */
static void account(struct simdisk *sd, int rw, unsigned int bytes, int error) {
    stat_add(rw == WRITE ? &sd->stats.write_bytes : &sd->stats.read_bytes, bytes);
    if (error)
        stat_add(&sd->stats.errors, 1);
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
static void end_piece(struct simdisk *sd, struct bio *bio, unsigned int bytes, int error) {
    account(sd, bio_data_dir(bio), bytes, error);
    irq_enter();
    bio_endio(bio, bytes, error);
    irq_exit();
}

/*
 * Moves and ends `good` bytes in pieces of a seeded random number of whole
 * segments, each ended as soon as it is moved, with bi_idx then advanced past
 * it as the request layer does; the last call carries the rest and the error.
 * A bio of two segments or more always takes two calls or more.
 */
static void serve_in_pieces(struct simdisk *sd, struct bio *bio, int rw, unsigned int good,
                            int error) {
    unsigned int left = good;
    for (;;) {
        int whole = whole_segments(bio, left);
        int spare = error ? whole : whole - 1; /* a clean end keeps one for the last call */
        if (spare < 1)
            break;
        int n = 1 + (int)(split_random(sd) % (unsigned int)spare);
        unsigned int bytes = 0;
        for (int i = 0; i < n; i++)
            bytes += bio->bi_io_vec[bio->bi_idx + i].bv_len;
        if (move_data(sd, bio, rw, bytes)) {
            end_piece(sd, bio, 0, -EIO);
            return;
        }
        end_piece(sd, bio, bytes, 0);
        bio->bi_idx = (unsigned short)(bio->bi_idx + n);
        left -= bytes;
    }
    if (left && move_data(sd, bio, rw, left)) {
        end_piece(sd, bio, 0, -EIO);
        return;
    }
    end_piece(sd, bio, left, error);
}
#endif

static void serve(struct simdisk *sd, struct bio *bio) {
    int rw = bio_data_dir(bio);
    unsigned int size = bio->bi_size;
    unsigned long long sectors = size >> 9;
    unsigned int good = size;
    int error = 0;
    if (size & 511 || bio->bi_sector + sectors > get_capacity(sd->disk)) {
        good = 0;
        error = -EIO;
    } else {
        long long bad = first_failing(sd, rw, bio->bi_sector, sectors);
        if (bad >= 0) {
            good = (unsigned int)((unsigned long long)bad - bio->bi_sector) << 9;
            error = -EIO;
        }
    }
    stat_add(rw == WRITE ? &sd->stats.writes : &sd->stats.reads, 1);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
    if (good && move_data(sd, bio, rw, good)) {
        good = 0;
        error = -EIO;
    }
    account(sd, rw, good, error);
    irq_enter();
    bio_endio(bio, error);
    irq_exit();
#else
    serve_in_pieces(sd, bio, rw, good, error);
#endif
}

static void end_unserved(struct bio *bio) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
    bio_endio(bio, -EIO);
#else
    bio_endio(bio, 0, -EIO);
#endif
}

static int io_direction(struct bio *bio) {
    return bio_data_dir(bio) == WRITE ? STANDIN_IO_WRITE : STANDIN_IO_READ;
}

/* Called under sd->lock: whether the rule takes this bio. */
static int hold_catches(struct simdisk *sd, struct bio *bio) {
    struct hold_rule *h = &sd->hold;
    unsigned long long first = bio->bi_sector;
    unsigned long long end = first + ((bio->bi_size + 511) >> 9);
    if (!sd->holding || !h->left || !(h->directions & io_direction(bio)) || end <= h->start ||
        first >= h->end)
        return 0;
    h->left--;
    return 1;
}

/* Called under sd->lock: hands the held bios to the controller, ahead of
 * what came after them, and ends the rule. Returns how many. */
static int splice_held(struct simdisk *sd) {
    int n = sd->held;
    if (sd->held_head) {
        sd->held_tail->next = sd->head;
        if (!sd->tail)
            sd->tail = sd->held_tail;
        __atomic_store_n(&sd->head, sd->held_head, __ATOMIC_RELEASE);
    }
    sd->held_head = sd->held_tail = NULL;
    sd->held = 0;
    sd->holding = 0;
    return n;
}

/* Called under sd->lock: whether a bio of a direct disk is served in the
 * caller's context, as nothing may delay it or be overtaken by it. */
static int direct_now(struct simdisk *sd, struct sim_request *rq) {
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 24)
    return 0; /* its completions come in pieces, drawn from the thread's seed */
#else
    return sd->direct && !rq->injected && !sd->paused && !sd->holding && !sd->head && !sd->gone &&
           !__atomic_load_n(&sd->latency_ns, __ATOMIC_RELAXED);
#endif
}

static int simdisk_make_request(struct request_queue *q, struct bio *bio) {
    struct simdisk *sd = (struct simdisk *)q->queuedata;
    /* Bios may come straight here, bypassing generic_make_request. */
    bio_mark_submitted(bio);
    struct sim_request *rq = (struct sim_request *)host_malloc(sizeof(*rq));
    rq->next = NULL;
    rq->bio = bio;
    rq->due = host_monotonic_ns() + __atomic_load_n(&sd->latency_ns, __ATOMIC_RELAXED);
    /* The caller is a module when it hands the bio on itself (a hook, or a
     * driver reading for itself); generic_make_request is not. */
    rq->injected = should_fail(bio_data_dir(bio) == WRITE ? FAULT_DISK_WRITE : FAULT_DISK_READ, 0,
                               NULL, _RET_IP_);
    unsigned long flags;
    spin_lock_irqsave(sd->lock, flags);
    int stopping = sd->stopping;
    if (!stopping && direct_now(sd, rq)) {
        sd->queued++;
        spin_unlock_irqrestore(sd->lock, flags);
        host_free(rq);
        serve(sd, bio);
        spin_lock_irqsave(sd->lock, flags);
        sd->queued--;
        spin_unlock_irqrestore(sd->lock, flags);
        wake_up_all(&sd->queued_wq);
        return 0;
    }
    if (!stopping && hold_catches(sd, bio)) {
        if (sd->held_tail)
            sd->held_tail->next = rq;
        else
            sd->held_head = rq;
        sd->held_tail = rq;
        sd->held++;
        sd->queued++;
    } else if (!stopping) {
        if (sd->tail)
            sd->tail->next = rq;
        else
            __atomic_store_n(&sd->head, rq, __ATOMIC_RELEASE);
        sd->tail = rq;
        sd->queued++;
    }
    spin_unlock_irqrestore(sd->lock, flags);
    if (stopping) {
        host_free(rq);
        end_unserved(bio);
        return 0;
    }
    wake_up(&sd->wq);
    wake_up_all(&sd->queued_wq);
    return 0;
}

static int locked_read(struct simdisk *sd, int *field) {
    unsigned long flags;
    spin_lock_irqsave(sd->lock, flags);
    int v = *field;
    spin_unlock_irqrestore(sd->lock, flags);
    return v;
}

/* The next bio to serve: none while paused, unless the disk is stopping. */
static struct sim_request *next_request(struct simdisk *sd, int *stopping) {
    unsigned long flags;
    spin_lock_irqsave(sd->lock, flags);
    struct sim_request *rq = sd->paused && !sd->stopping ? NULL : sd->head;
    if (rq) {
        __atomic_store_n(&sd->head, rq->next, __ATOMIC_RELEASE);
        if (!rq->next)
            sd->tail = NULL;
    }
    *stopping = sd->stopping;
    spin_unlock_irqrestore(sd->lock, flags);
    return rq;
}

static int simdisk_thread(void *arg) {
    struct simdisk *sd = (struct simdisk *)arg;
    daemonize("irq/%s", sd->disk->disk_name);
    for (;;) {
        wait_event(sd->wq, (__atomic_load_n(&sd->head, __ATOMIC_ACQUIRE) &&
                            !locked_read(sd, &sd->paused)) ||
                               __atomic_load_n(&sd->stopping, __ATOMIC_ACQUIRE));
        int stopping;
        struct sim_request *rq = next_request(sd, &stopping);
        if (!rq) {
            if (stopping)
                break;
            continue;
        }
        if (rq->injected || __atomic_load_n(&sd->gone, __ATOMIC_ACQUIRE)) {
            account(sd, bio_data_dir(rq->bio), 0, -EIO);
            irq_enter();
            end_unserved(rq->bio);
            irq_exit();
        } else {
            unsigned long long now = host_monotonic_ns();
            if (rq->due > now)
                task_sleep_ns(rq->due - now);
            serve(sd, rq->bio);
        }
        host_free(rq);
        unsigned long flags;
        spin_lock_irqsave(sd->lock, flags);
        sd->queued--;
        spin_unlock_irqrestore(sd->lock, flags);
    }
    complete_and_exit(&sd->exited, 0);
}

/* The simulated disk of an added disk, with a reference on its queue (which
 * keeps it), dropped with blk_put_queue. A registered disk's driver still
 * holds its own, so the count cannot be at 0 here. */
static struct simdisk *simdisk_of(struct gendisk *disk) {
    struct simdisk *sd, *found = NULL;
    if (!disk)
        return NULL;
    host_mutex_lock(&registry_lock);
    list_for_each_entry(sd, &simdisks, list) {
        if (sd->disk == disk)
            found = sd;
    }
    if (found)
        atomic_inc(&found->queue->refcnt);
    host_mutex_unlock(&registry_lock);
    return found;
}

/* With the queue's last reference: a hooking driver may call the disk's
 * make_request_fn until it lets the queue go. */
static void simdisk_release(struct request_queue *q) {
    struct simdisk *sd = (struct simdisk *)q->queuedata;
    sd->backend->release(sd->backend);
    host_free(sd);
}

/* Drops the driver's references; sd may be gone once this returns. */
static void simdisk_free(struct simdisk *sd) {
    struct request_queue *q = sd->queue;
    put_disk(sd->disk);
    blk_cleanup_queue(q);
}

/* The disk's backing_io: under the data lock, as a bio's transfer, and in
 * pieces, so the backend's length stays an unsigned long of sane size. */
static int simdisk_backing_io(struct gendisk *disk, int rw, unsigned long long off, void *buf,
                              unsigned long long len) {
    struct simdisk *sd = (struct simdisk *)disk->private_data;
    unsigned long long size = (unsigned long long)get_capacity(disk) << 9;
    if (off > size || len > size - off)
        return -EINVAL;
    int ret = 0;
    host_mutex_lock(&sd->data_lock);
    while (len && !ret) {
        unsigned long n = len > (1UL << 30) ? (1UL << 30) : (unsigned long)len;
        ret = sd->backend->io(sd->backend, rw, off, buf, n);
        off += n;
        buf = (char *)buf + n;
        len -= n;
    }
    host_mutex_unlock(&sd->data_lock);
    return ret;
}

/* No lock: the backend's sync runs beside transfers, as fdatasync does
 * beside writes. An unplugged disk has nothing left to make durable. */
static int simdisk_backing_sync(struct gendisk *disk) {
    struct simdisk *sd = (struct simdisk *)disk->private_data;
    if (__atomic_load_n(&sd->gone, __ATOMIC_ACQUIRE))
        return -EIO;
    return sd->backend->sync ? sd->backend->sync(sd->backend) : 0;
}

static struct block_device_operations simdisk_fops = {
    .backing_io = simdisk_backing_io,
    .backing_sync = simdisk_backing_sync,
};

/* The disk and its queue, not yet added; NULL when memory says no. */
static struct simdisk *simdisk_alloc(struct simdisk_backend *backend, const char *name,
                                     unsigned int major, unsigned int first_minor, int minors,
                                     unsigned long long sectors, int own_queue_lock) {
    struct simdisk *sd = (struct simdisk *)host_calloc(1, sizeof(*sd));
    sd->backend = backend;
    sd->disk = alloc_disk(minors);
    sd->queue = blk_alloc_queue(GFP_KERNEL);
    if (!sd->disk || !sd->queue) {
        if (sd->queue)
            blk_cleanup_queue(sd->queue);
        put_disk(sd->disk);
        host_free(sd);
        return NULL;
    }
    struct request_queue *q = sd->queue;
    blk_queue_make_request(q, simdisk_make_request);
    blk_queue_hardsect_size(q, 512);
    q->max_sectors = 1024;
    q->queuedata = sd;
    q->standin_release = simdisk_release;
    sd->split_seed = 0x9e3779b97f4a7c15ULL ^ ((unsigned long long)major << 20 | first_minor);
    if (own_queue_lock) {
        q->queue_lock = &q->__queue_lock;
        sd->lock = q->queue_lock;
    } else {
        spin_lock_init(&sd->own_lock);
        sd->lock = &sd->own_lock;
    }
    init_waitqueue_head(&sd->wq);
    init_waitqueue_head(&sd->queued_wq);
    init_completion(&sd->exited);
    struct gendisk *disk = sd->disk;
    disk->major = (int)major;
    disk->first_minor = (int)first_minor;
    strlcpy(disk->disk_name, name, sizeof(disk->disk_name));
    disk->fops = &simdisk_fops;
    disk->queue = q;
    disk->private_data = sd;
    set_capacity(disk, sectors);
    return sd;
}

/* An unplugged disk's numbers stay taken while a device of them is open, as
 * a SCSI disk's do until its last close. */
static int numbers_open(unsigned int major, unsigned int first_minor, int minors) {
    int open = 0;
    for (int i = 0; i < minors && !open; i++) {
        struct block_device *bdev = bdget(MKDEV(major, first_minor + (unsigned int)i));
        open = bdev_in_use(bdev);
        bdput(bdev);
    }
    return open;
}

int simdisk_create(struct simdisk_backend *backend, const char *name, unsigned int major,
                   unsigned int first_minor, int minors, unsigned long long sectors,
                   int own_queue_lock) {
    if (major == 0 || major >= 4096 || minors < 1 || minors > 256 ||
        first_minor + (unsigned int)minors > MINORMASK + 1 || !name || !*name) {
        backend->release(backend);
        return -EINVAL;
    }
    host_mutex_lock(&create_lock);
    struct simdisk *sd = NULL;
    int ret = -EBUSY;
    if (!disk_numbers_taken(major, first_minor, minors) &&
        !numbers_open(major, first_minor, minors)) {
        sd = simdisk_alloc(backend, name, major, first_minor, minors, sectors, own_queue_lock);
        ret = sd ? 0 : -ENOMEM;
    }
    if (sd) {
        int pid = kernel_thread(simdisk_thread, sd, CLONE_KERNEL);
        if (pid < 0) {
            simdisk_free(sd); /* releases the backend too */
            host_mutex_unlock(&create_lock);
            return pid;
        }
        host_mutex_lock(&registry_lock);
        list_add_tail(&sd->list, &simdisks);
        host_mutex_unlock(&registry_lock);
        add_disk(sd->disk); /* reads the partition table through the new thread */
    } else {
        backend->release(backend);
    }
    host_mutex_unlock(&create_lock);
    return ret;
}

/* The simulated disk of a device number, and the block device; the caller
 * drops both with simdisk_put. Found by number: a closed device has no
 * bd_disk. */
static struct simdisk *simdisk_get(unsigned int dev, struct block_device **bdevp) {
    struct block_device *bdev = bdget(dev);
    struct simdisk *sd = simdisk_of(bdev_lookup(dev, NULL, NULL));
    if (!sd) {
        bdput(bdev);
        return NULL;
    }
    *bdevp = bdev;
    return sd;
}

static void simdisk_put(struct simdisk *sd, struct block_device *bdev) {
    blk_put_queue(sd->queue);
    bdput(bdev);
}

/* First sector of a device on its disk, open or not. */
static unsigned long long start_of(struct block_device *bdev) {
    sector_t start = 0;
    bdev_lookup(bdev->bd_dev, &start, NULL);
    return start;
}

/* Ends the controller's thread once it has served what is queued, held bios
 * included (gone: ended it all with -EIO); waits for queued bios end too. */
static void simdisk_stop(struct simdisk *sd, int gone) {
    unsigned long flags;
    spin_lock_irqsave(sd->lock, flags);
    __atomic_store_n(&sd->gone, gone, __ATOMIC_RELEASE);
    __atomic_store_n(&sd->stopping, 1, __ATOMIC_RELEASE);
    splice_held(sd);
    spin_unlock_irqrestore(sd->lock, flags);
    wake_up(&sd->wq);
    wake_up_all(&sd->queued_wq);
    wait_for_completion(&sd->exited);
    /* A bio served in its submitter's context may still be ending. */
    wait_event(sd->queued_wq, locked_read(sd, &sd->queued) == 0);
}

static void simdisk_unregister(struct simdisk *sd) {
    host_mutex_lock(&registry_lock);
    list_del(&sd->list);
    host_mutex_unlock(&registry_lock);
    simdisk_free(sd);
}

extern "C" int standin_disk_remove(unsigned int dev) {
    struct block_device *bdev;
    host_mutex_lock(&create_lock);
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd) {
        host_mutex_unlock(&create_lock);
        return -ENODEV;
    }
    int ret = disk_parts_in_use(sd->disk) ? -EBUSY : 0;
    if (!ret) {
        del_gendisk(sd->disk);
        simdisk_stop(sd, 0);
        simdisk_unregister(sd);
    }
    simdisk_put(sd, bdev);
    host_mutex_unlock(&create_lock);
    return ret;
}

extern "C" int standin_disk_unplug(unsigned int dev) {
    struct block_device *bdev;
    host_mutex_lock(&create_lock);
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd) {
        host_mutex_unlock(&create_lock);
        return -ENODEV;
    }
    /* The hardware goes first: every bio from now on fails, through the
     * block layer or handed straight to the disk's function, and what the
     * disk holds ends with -EIO. */
    __atomic_store_n(&sd->queue->dead, 1, __ATOMIC_RELEASE);
    simdisk_stop(sd, 1);
    /* Then the disk: a device still open keeps its tie, and with it the
     * disk's memory, until its last close. */
    del_gendisk(sd->disk);
    simdisk_unregister(sd);
    simdisk_put(sd, bdev);
    host_mutex_unlock(&create_lock);
    return 0;
}

extern "C" unsigned long long standin_dev_sectors(unsigned int dev) {
    struct block_device *bdev = bdget(dev);
    unsigned long long n = bdev_sectors(bdev);
    bdput(bdev);
    return n;
}

extern "C" int standin_disk_set_latency(unsigned int dev, unsigned long long nanoseconds) {
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    __atomic_store_n(&sd->latency_ns, nanoseconds, __ATOMIC_RELAXED);
    simdisk_put(sd, bdev);
    return 0;
}

extern "C" int standin_disk_fail_sectors(unsigned int dev, unsigned long long sector,
                                         unsigned long long count, int directions) {
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    int ret = 0;
    unsigned long long start = sector + start_of(bdev);
    host_mutex_lock(&sd->config_lock);
    if (sd->nr_fails == MAX_FAIL_RANGES) {
        ret = -ENOSPC;
    } else {
        struct fail_range *f = &sd->fails[sd->nr_fails++];
        f->start = start;
        f->end = start + count;
        f->directions = directions;
    }
    host_mutex_unlock(&sd->config_lock);
    simdisk_put(sd, bdev);
    return ret;
}

extern "C" int standin_disk_clear_failures(unsigned int dev) {
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    host_mutex_lock(&sd->config_lock);
    sd->nr_fails = 0;
    host_mutex_unlock(&sd->config_lock);
    simdisk_put(sd, bdev);
    return 0;
}

extern "C" int standin_get_disk_stats(unsigned int dev, struct standin_disk_stats *out) {
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    out->reads = __atomic_load_n(&sd->stats.reads, __ATOMIC_RELAXED);
    out->writes = __atomic_load_n(&sd->stats.writes, __ATOMIC_RELAXED);
    out->read_bytes = __atomic_load_n(&sd->stats.read_bytes, __ATOMIC_RELAXED);
    out->write_bytes = __atomic_load_n(&sd->stats.write_bytes, __ATOMIC_RELAXED);
    out->errors = __atomic_load_n(&sd->stats.errors, __ATOMIC_RELAXED);
    simdisk_put(sd, bdev);
    return 0;
}

/* Sets one of the controller's switches and lets its thread look again. */
static int set_switch(unsigned int dev, int simdisk::*which, int on) {
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    unsigned long flags;
    spin_lock_irqsave(sd->lock, flags);
    sd->*which = on != 0;
    spin_unlock_irqrestore(sd->lock, flags);
    wake_up(&sd->wq);
    simdisk_put(sd, bdev);
    return 0;
}

extern "C" int standin_disk_set_direct(unsigned int dev, int direct) {
    return set_switch(dev, &simdisk::direct, direct);
}

extern "C" int standin_disk_pause(unsigned int dev) {
    return set_switch(dev, &simdisk::paused, 1);
}

extern "C" int standin_disk_resume(unsigned int dev) {
    return set_switch(dev, &simdisk::paused, 0);
}

extern "C" int standin_disk_wait_queued(unsigned int dev, int count) {
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    wait_event(sd->queued_wq, locked_read(sd, &sd->queued) >= count ||
                                  __atomic_load_n(&sd->stopping, __ATOMIC_ACQUIRE));
    int n = locked_read(sd, &sd->queued);
    simdisk_put(sd, bdev);
    return n;
}

extern "C" int standin_disk_hold(unsigned int dev, unsigned long long sector,
                                 unsigned long long count, int directions, int nbios) {
    if (!count || nbios < 1 || !(directions & (STANDIN_IO_READ | STANDIN_IO_WRITE)) ||
        directions & ~(STANDIN_IO_READ | STANDIN_IO_WRITE))
        return -EINVAL;
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    unsigned long long start = sector + start_of(bdev);
    int ret = 0;
    unsigned long flags;
    spin_lock_irqsave(sd->lock, flags);
    if (sd->holding) {
        ret = -EBUSY;
    } else {
        sd->hold.start = start;
        sd->hold.end = start + count;
        sd->hold.directions = directions;
        sd->hold.left = nbios;
        sd->holding = 1;
    }
    spin_unlock_irqrestore(sd->lock, flags);
    simdisk_put(sd, bdev);
    return ret;
}

/* Enough are held, or the rule can catch no more. */
static int held_enough(struct simdisk *sd, int count) {
    unsigned long flags;
    spin_lock_irqsave(sd->lock, flags);
    int done = sd->held >= count || !sd->holding || !sd->hold.left;
    spin_unlock_irqrestore(sd->lock, flags);
    return done;
}

extern "C" int standin_disk_wait_held(unsigned int dev, int count) {
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    wait_event(sd->queued_wq, held_enough(sd, count));
    int n = locked_read(sd, &sd->held);
    simdisk_put(sd, bdev);
    return n;
}

extern "C" int standin_disk_release_held(unsigned int dev) {
    struct block_device *bdev;
    struct simdisk *sd = simdisk_get(dev, &bdev);
    if (!sd)
        return -ENODEV;
    unsigned long flags;
    spin_lock_irqsave(sd->lock, flags);
    int n = splice_held(sd);
    spin_unlock_irqrestore(sd->lock, flags);
    wake_up(&sd->wq);
    wake_up_all(&sd->queued_wq); /* a wait for held bios ends with the rule */
    simdisk_put(sd, bdev);
    return n;
}
