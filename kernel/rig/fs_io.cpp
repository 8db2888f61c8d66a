/*
 * The rig's file systems below their super block operations: the write path
 * simulated workloads use, blocks written directly (one bio, waited for) or
 * buffered (dirty in the file system's cache until written back). It is what
 * makes a freeze real: every write waits while the super block is frozen,
 * and the freeze operation waits for the writes already accepted, writes the
 * dirty blocks back and waits for every bio of the file system in flight.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/sched.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <asm/bitops.h>
#include <linux/errno.h>
#include <linux/err.h>
#include <standin/disk.h>

#include "rig.h"

#define DIRTY_HASH_SIZE 256

struct dirty_block {
    struct list_head list;
    struct dirty_block *hash_next;
    unsigned long long block;
    struct page *page;
};

struct sim_fs {
    struct super_block *sb;
    unsigned int io_size;
    unsigned long long nr_blocks;
    /* Taken in interrupt context too (bio completion): always with irqsave. */
    spinlock_t lock;
    int writers;         /* inside the write path */
    int held;            /* waiting for a thaw */
    int in_flight;       /* bios of the file system */
    int dead;            /* unmounting: no new writes */
    unsigned long epoch; /* freezes completed */
    /* Host monotonic ns: when the last freeze was complete, and how long the
     * file system then stayed frozen until its thaw began. */
    unsigned long long frozen_at_ns, held_ns;
    int freeze_failures; /* test control: freezes still to fail */
    int freeze_error;
    /* hostfs: the host's mount point its freezes freeze, the mount that was
     * there at our mount, and whether the host is frozen by us (freeze and
     * thaw run one at a time). */
    char *host_path;
    char host_id[HOST_MOUNT_ID_SIZE];
    int host_frozen;
    struct list_head dirty;
    struct dirty_block *hash[DIRTY_HASH_SIZE];
    wait_queue_head_t drain_wq; /* writers, held or in_flight changed */
    struct rw_semaphore wb_sem; /* write-back excludes direct writes and reads */
};

/* The bios one caller waits for. */
struct io_batch {
    struct sim_fs *fs;
    atomic_t pending;
    atomic_t errors;
    struct completion done;
};

static struct sim_fs *fs_of(struct super_block *sb) {
    return (struct sim_fs *)sb->s_fs_info;
}

static int read_locked_int(struct sim_fs *fs, int *field) {
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    int v = *field;
    spin_unlock_irqrestore(&fs->lock, flags);
    return v;
}

static int frozen(struct super_block *sb) {
    return __atomic_load_n(&sb->s_frozen, __ATOMIC_ACQUIRE) != SB_UNFROZEN;
}

static void batch_init(struct io_batch *b, struct sim_fs *fs) {
    b->fs = fs;
    atomic_set(&b->pending, 1); /* the submitter's own, dropped in batch_wait */
    atomic_set(&b->errors, 0);
    init_completion(&b->done);
}

static void batch_put(struct io_batch *b) {
    if (atomic_dec_and_test(&b->pending))
        complete(&b->done);
}

static int batch_wait(struct io_batch *b) {
    batch_put(b);
    wait_for_completion(&b->done);
    return atomic_read(&b->errors) ? -EIO : 0;
}

static void io_finished(struct sim_fs *fs) {
    unsigned long flags;
    /* The wake-up is inside the lock, so a drainer that sees 0 and takes
     * the lock once knows nobody is still touching the file system. */
    spin_lock_irqsave(&fs->lock, flags);
    if (--fs->in_flight == 0)
        wake_up_all(&fs->drain_wq);
    spin_unlock_irqrestore(&fs->lock, flags);
}

static void bio_finished(struct bio *bio) {
    struct io_batch *batch = (struct io_batch *)bio->bi_private;
    if (!bio_flagged(bio, BIO_UPTODATE))
        atomic_inc(&batch->errors);
    struct sim_fs *fs = batch->fs;
    bio_put(bio);
    io_finished(fs);
    batch_put(batch);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 24)
static void fs_end_io(struct bio *bio, int error) {
    bio_finished(bio);
}
#else
static int fs_end_io(struct bio *bio, unsigned int bytes_done, int error) {
    if (bio->bi_size && !error)
        return 1;
    bio_finished(bio);
    return 0;
}
#endif

static int submit_block(struct sim_fs *fs, struct io_batch *batch, int rw, unsigned long long block,
                        struct page *page) {
    struct bio *bio = bio_alloc(GFP_NOIO, 1);
    if (!bio)
        return -ENOMEM;
    bio->bi_bdev = fs->sb->s_bdev;
    bio->bi_sector = (sector_t)(block * (fs->io_size >> 9));
    if (bio_add_page(bio, page, fs->io_size, 0) != (int)fs->io_size) {
        bio_put(bio);
        return -EIO;
    }
    bio->bi_end_io = fs_end_io;
    bio->bi_private = batch;
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    fs->in_flight++;
    spin_unlock_irqrestore(&fs->lock, flags);
    atomic_inc(&batch->pending);
    submit_bio(rw, bio);
    return 0;
}

/* One block, submitted and waited for. */
static int block_io(struct sim_fs *fs, int rw, unsigned long long block, void *data) {
    struct page *page = alloc_page(GFP_NOIO);
    if (!page)
        return -ENOMEM;
    if (rw == WRITE)
        memcpy(page_address(page), data, fs->io_size);
    struct io_batch batch;
    batch_init(&batch, fs);
    int ret = submit_block(fs, &batch, rw, block, page);
    int waited = batch_wait(&batch);
    if (!ret)
        ret = waited;
    if (!ret && rw == READ)
        memcpy(data, page_address(page), fs->io_size);
    __free_page(page);
    return ret;
}

static struct dirty_block **hash_slot(struct sim_fs *fs, unsigned long long block) {
    return &fs->hash[(block * 0x9e3779b97f4a7c15ULL) >> 56];
}

static struct dirty_block *find_dirty(struct sim_fs *fs, unsigned long long block) {
    struct dirty_block *d = *hash_slot(fs, block);
    while (d && d->block != block)
        d = d->hash_next;
    return d;
}

static void unhash_dirty(struct sim_fs *fs, struct dirty_block *d) {
    struct dirty_block **pp = hash_slot(fs, d->block);
    while (*pp != d)
        pp = &(*pp)->hash_next;
    *pp = d->hash_next;
    list_del_init(&d->list);
}

static void free_dirty(struct dirty_block *d) {
    __free_page(d->page);
    host_free(d);
}

/* Counts the caller in as a writer, once the file system is not frozen. */
static int enter_write(struct sim_fs *fs, unsigned long *epoch) {
    struct super_block *sb = fs->sb;
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    while (!fs->dead && frozen(sb)) {
        fs->held++;
        wake_up_all(&fs->drain_wq);
        spin_unlock_irqrestore(&fs->lock, flags);
        wait_event(sb->s_wait_unfrozen, !frozen(sb));
        spin_lock_irqsave(&fs->lock, flags);
        fs->held--;
    }
    int ret = fs->dead ? -ENODEV : 0;
    if (!ret) {
        fs->writers++;
        if (epoch)
            *epoch = fs->epoch;
    }
    spin_unlock_irqrestore(&fs->lock, flags);
    return ret;
}

static void exit_write(struct sim_fs *fs) {
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    if (--fs->writers == 0)
        wake_up_all(&fs->drain_wq);
    spin_unlock_irqrestore(&fs->lock, flags);
}

/* A direct write supersedes the block's dirty copy; wb_sem held. */
static void drop_dirty(struct sim_fs *fs, unsigned long long block) {
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    struct dirty_block *stale = find_dirty(fs, block);
    if (stale)
        unhash_dirty(fs, stale);
    spin_unlock_irqrestore(&fs->lock, flags);
    if (stale)
        free_dirty(stale);
}

static int write_direct(struct sim_fs *fs, unsigned long long block, const void *data) {
    down_read(&fs->wb_sem);
    drop_dirty(fs, block);
    int ret = block_io(fs, WRITE, block, (void *)data);
    up_read(&fs->wb_sem);
    return ret;
}

static int write_buffered(struct sim_fs *fs, unsigned long long block, const void *data) {
    struct dirty_block *fresh = NULL;
    unsigned long flags;
    for (;;) {
        spin_lock_irqsave(&fs->lock, flags);
        struct dirty_block *d = find_dirty(fs, block);
        if (!d && fresh) {
            d = fresh;
            fresh = NULL;
            d->block = block;
            struct dirty_block **slot = hash_slot(fs, block);
            d->hash_next = *slot;
            *slot = d;
            list_add_tail(&d->list, &fs->dirty);
        }
        if (d)
            memcpy(page_address(d->page), data, fs->io_size);
        spin_unlock_irqrestore(&fs->lock, flags);
        if (d)
            break;
        fresh = (struct dirty_block *)host_calloc(1, sizeof(*fresh));
        fresh->page = alloc_page(GFP_NOFS);
        if (!fresh->page) {
            host_free(fresh);
            return -ENOMEM;
        }
    }
    if (fresh)
        free_dirty(fresh);
    return 0;
}

int fs_write_block(struct super_block *sb, unsigned long long block, const void *data, int mode,
                   unsigned long *epoch) {
    struct sim_fs *fs = fs_of(sb);
    if (block >= fs->nr_blocks)
        return -EINVAL;
    int ret = enter_write(fs, epoch);
    if (ret)
        return ret;
    ret =
        mode == STANDIN_FS_DIRECT ? write_direct(fs, block, data) : write_buffered(fs, block, data);
    exit_write(fs);
    return ret;
}

/*
 * Direct writes all in flight at once, as asynchronous direct I/O has them:
 * submitted in order (after the pause gaps[i] before each), waited for
 * together. The same block may come several
 * times; the disk serves bios in arrival order, so the last one submitted
 * is what the block holds, unless a layer between reorders them.
 */
int fs_write_blocks_queued(struct super_block *sb, const unsigned long long *blocks,
                           const void *const *data, const unsigned long long *gaps, int n,
                           unsigned long *epoch) {
    struct sim_fs *fs = fs_of(sb);
    for (int i = 0; i < n; i++)
        if (blocks[i] >= fs->nr_blocks)
            return -EINVAL;
    int ret = enter_write(fs, epoch);
    if (ret)
        return ret;
    down_read(&fs->wb_sem);
    struct page **pages = (struct page **)host_calloc((unsigned long)n, sizeof(*pages));
    struct io_batch batch;
    batch_init(&batch, fs);
    for (int i = 0; i < n && !ret; i++) {
        drop_dirty(fs, blocks[i]);
        pages[i] = alloc_page(GFP_NOIO);
        if (!pages[i]) {
            ret = -ENOMEM;
            break;
        }
        memcpy(page_address(pages[i]), data[i], fs->io_size);
        if (gaps[i])
            task_sleep_ns(gaps[i]);
        ret = submit_block(fs, &batch, WRITE, blocks[i], pages[i]);
    }
    int waited = batch_wait(&batch);
    if (!ret)
        ret = waited;
    for (int i = 0; i < n; i++)
        if (pages[i])
            __free_page(pages[i]);
    host_free(pages);
    up_read(&fs->wb_sem);
    exit_write(fs);
    return ret;
}

static int fs_read_block(struct super_block *sb, unsigned long long block, void *data) {
    struct sim_fs *fs = fs_of(sb);
    if (block >= fs->nr_blocks)
        return -EINVAL;
    down_read(&fs->wb_sem);
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    struct dirty_block *d = find_dirty(fs, block);
    if (d)
        memcpy(data, page_address(d->page), fs->io_size);
    spin_unlock_irqrestore(&fs->lock, flags);
    int ret = d ? 0 : block_io(fs, READ, block, data);
    up_read(&fs->wb_sem);
    return ret;
}

int fs_writeback(struct super_block *sb) {
    struct sim_fs *fs = fs_of(sb);
    LIST_HEAD(batch_list);
    down_write(&fs->wb_sem);
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    while (!list_empty(&fs->dirty)) {
        struct list_head *first = fs->dirty.next;
        list_del(first);
        list_add_tail(first, &batch_list);
    }
    memset(fs->hash, 0, sizeof(fs->hash));
    spin_unlock_irqrestore(&fs->lock, flags);
    struct io_batch batch;
    batch_init(&batch, fs);
    int ret = 0;
    struct dirty_block *d, *next;
    list_for_each_entry(d, &batch_list, list) {
        if (submit_block(fs, &batch, WRITE, d->block, d->page))
            ret = -EIO;
    }
    if (batch_wait(&batch))
        ret = -EIO;
    list_for_each_entry_safe(d, next, &batch_list, list) free_dirty(d);
    up_write(&fs->wb_sem);
    return ret;
}

/* Waits until cond (read under the lock) holds; returns with it holding and
 * nobody else inside the lock. */
#define drain_until(fs, cond)                                              \
    do {                                                                   \
        wait_event((fs)->drain_wq, read_locked_int(fs, &(fs)->cond) == 0); \
    } while (0)

/* Waits for the writers inside the write path, writes the dirty blocks back
 * and waits for every bio of the file system. */
static void drain_and_write_back(struct sim_fs *fs) {
    drain_until(fs, writers);
    fs_writeback(fs->sb);
    drain_until(fs, in_flight);
}

static int sim_fs_sync_fs(struct super_block *sb, int wait) {
    return fs_writeback(sb);
}

static int take_freeze_failure(struct sim_fs *fs) {
    unsigned long flags;
    int error = 0;
    spin_lock_irqsave(&fs->lock, flags);
    if (fs->freeze_failures > 0) {
        fs->freeze_failures--;
        error = fs->freeze_error;
    }
    spin_unlock_irqrestore(&fs->lock, flags);
    return error;
}

/*
 * The host's file system behind a hostfs, frozen once the stand-in's side
 * is drained. Its last writes come in as bios from the export's threads,
 * which never wait for this freeze; when FIFREEZE returns they are all done,
 * so what the disk holds is the host's frozen file system.
 */
static int freeze_host(struct sim_fs *fs) {
    if (!fs->host_path)
        return 0;
    char now[HOST_MOUNT_ID_SIZE];
    int ret = host_mount_id(fs->host_path, now, sizeof(now));
    if (!ret && strcmp(now, fs->host_id) != 0)
        ret = -ENOENT;
    if (ret) {
        printk("<3>%s: the host's file system is no longer mounted at %s\n", fs->sb->s_id,
               fs->host_path);
        return ret;
    }
    ret = host_fs_freeze(fs->host_path);
    if (ret)
        printk("<3>%s: the host could not freeze %s (%d)\n", fs->sb->s_id, fs->host_path, ret);
    else
        __atomic_store_n(&fs->host_frozen, 1, __ATOMIC_RELEASE);
    return ret;
}

/* The stand-in's thaw goes on whatever the host says: a host that refuses
 * (its file system thawed or unmounted behind our back) is not frozen. */
static void thaw_host(struct sim_fs *fs) {
    if (!__atomic_exchange_n(&fs->host_frozen, 0, __ATOMIC_ACQ_REL))
        return;
    int ret = host_fs_thaw(fs->host_path);
    if (ret)
        printk("<3>%s: the host could not thaw %s (%d)\n", fs->sb->s_id, fs->host_path, ret);
}

/* The super block is marked frozen already, so new writers wait: this waits
 * for the rest (and freezes the host's file system behind a hostfs), then
 * counts the freeze (its epoch) and takes the capture armed for it. A
 * failure, injected or the host's, leaves both alone. */
static int sim_fs_freeze(struct super_block *sb) {
    struct sim_fs *fs = fs_of(sb);
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    wake_up_all(&fs->drain_wq); /* a wait for the freeze to begin ends */
    spin_unlock_irqrestore(&fs->lock, flags);
    drain_and_write_back(fs);
    int error = take_freeze_failure(fs);
    if (!error)
        error = freeze_host(fs);
    if (error)
        return error;
    spin_lock_irqsave(&fs->lock, flags);
    unsigned long epoch = ++fs->epoch;
    spin_unlock_irqrestore(&fs->lock, flags);
    capture_on_freeze(sb, epoch);
    spin_lock_irqsave(&fs->lock, flags);
    fs->frozen_at_ns = host_monotonic_ns();
    spin_unlock_irqrestore(&fs->lock, flags);
    return 0;
}

/* Times the freeze (what the freezer did while the file system was frozen,
 * on a fine clock) and thaws the host's file system behind a hostfs. */
static void note_thaw(struct super_block *sb) {
    struct sim_fs *fs = fs_of(sb);
    unsigned long long now = host_monotonic_ns();
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    fs->held_ns = now - fs->frozen_at_ns;
    spin_unlock_irqrestore(&fs->lock, flags);
    thaw_host(fs);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
static int sim_fs_unfreeze(struct super_block *sb) {
    note_thaw(sb);
    return 0;
}
#else
static void sim_fs_unlockfs(struct super_block *sb) {
    note_thaw(sb);
}
#endif

#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 29)
/* A freeze cannot fail here: no failure is ever armed before 2.6.29. */
static void sim_fs_write_super_lockfs(struct super_block *sb) {
    sim_fs_freeze(sb);
}
#endif

/* At the unmount, no writer is inside (it holds s_umount for writing and
 * nothing pins the mount), but refuse any that comes all the same. */
static void sim_fs_put_super(struct super_block *sb) {
    struct sim_fs *fs = fs_of(sb);
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    fs->dead = 1;
    spin_unlock_irqrestore(&fs->lock, flags);
    drain_and_write_back(fs);
    if (!list_empty(&fs->dirty) || fs->in_flight || fs->writers)
        kernel_die("BUG: file system torn down with writes pending\n");
    sb->s_fs_info = NULL;
    host_free(fs->host_path);
    host_free(fs);
}

/* The thaw operation times the freeze and thaws the host: held writers wait on
 * s_wait_unfrozen, which the thaw wakes once it has marked the super block
 * unfrozen. */
static const struct super_operations sim_fs_ops = {
    .put_super = sim_fs_put_super,
    .sync_fs = sim_fs_sync_fs,
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    .freeze_fs = sim_fs_freeze,
    .unfreeze_fs = sim_fs_unfreeze,
#else
    .write_super_lockfs = sim_fs_write_super_lockfs,
    .unlockfs = sim_fs_unlockfs,
#endif
};

void sim_fs_attach(struct super_block *sb, unsigned int io_size) {
    struct sim_fs *fs = (struct sim_fs *)host_calloc(1, sizeof(*fs));
    fs->sb = sb;
    fs->io_size = io_size;
    fs->nr_blocks = ((unsigned long long)bdev_sectors(sb->s_bdev) << 9) / io_size;
    spin_lock_init(&fs->lock);
    INIT_LIST_HEAD(&fs->dirty);
    init_waitqueue_head(&fs->drain_wq);
    init_rwsem(&fs->wb_sem);
    sb->s_fs_info = fs;
    sb->s_op = &sim_fs_ops;
}

void sim_fs_set_host(struct super_block *sb, const char *host_path, const char *host_id) {
    struct sim_fs *fs = fs_of(sb);
    strlcpy(fs->host_id, host_id, sizeof(fs->host_id));
    unsigned long len = strlen(host_path) + 1;
    fs->host_path = (char *)host_malloc(len);
    memcpy(fs->host_path, host_path, len);
}

unsigned int fs_io_size(struct super_block *sb) {
    return fs_of(sb)->io_size;
}

unsigned long long fs_io_blocks(struct super_block *sb) {
    return fs_of(sb)->nr_blocks;
}

/* The host's view. */

extern "C" int standin_fs_write_block(unsigned int dev, unsigned long long block, const void *data,
                                      int mode) {
    struct super_block *sb = get_super_by_dev(dev);
    if (!sb)
        return -ENODEV;
    int ret = fs_write_block(sb, block, data, mode, NULL);
    drop_super(sb);
    return ret;
}

extern "C" int standin_fs_read_block(unsigned int dev, unsigned long long block, void *data) {
    struct super_block *sb = get_super_by_dev(dev);
    if (!sb)
        return -ENODEV;
    int ret = fs_read_block(sb, block, data);
    drop_super(sb);
    return ret;
}

extern "C" unsigned int standin_fs_io_size(unsigned int dev) {
    struct super_block *sb = get_super_by_dev(dev);
    if (!sb)
        return 0;
    unsigned int n = fs_io_size(sb);
    drop_super(sb);
    return n;
}

extern "C" int standin_fs_held_writers(unsigned int dev) {
    struct super_block *sb = get_super_by_dev(dev);
    if (!sb)
        return -ENODEV;
    int n = read_locked_int(fs_of(sb), &fs_of(sb)->held);
    drop_super(sb);
    return n;
}

/*
 * The file system of dev for a wait, pinned instead of held by s_umount: the
 * freeze that ends the wait takes s_umount for reading, which an unmount
 * queued behind our own read would block. Given back by wait_done().
 */
static struct super_block *wait_begin(unsigned int dev) {
    struct super_block *sb = get_super_by_dev(dev);
    if (sb) {
        sb_pin(sb);
        up_read(&sb->s_umount);
    }
    return sb;
}

static void wait_done(struct super_block *sb) {
    sb_unpin(sb);
    put_super(sb);
}

extern "C" int standin_fs_wait_held_writers(unsigned int dev, int count) {
    struct super_block *sb = wait_begin(dev);
    if (!sb)
        return -ENODEV;
    struct sim_fs *fs = fs_of(sb);
    wait_event(fs->drain_wq, read_locked_int(fs, &fs->held) >= count);
    wait_done(sb);
    return 0;
}

extern "C" int standin_fs_wait_freezing(unsigned int dev) {
    struct super_block *sb = wait_begin(dev);
    if (!sb)
        return -ENODEV;
    wait_event(fs_of(sb)->drain_wq, frozen(sb));
    wait_done(sb);
    return 0;
}

/* One field of the mounted file system's freeze record, read under its
 * lock; 0 when nothing is mounted. */
template <typename T>
static T freeze_record(unsigned int dev, T sim_fs::*field) {
    struct super_block *sb = get_super_by_dev(dev);
    if (!sb)
        return 0;
    struct sim_fs *fs = fs_of(sb);
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    T value = fs->*field;
    spin_unlock_irqrestore(&fs->lock, flags);
    drop_super(sb);
    return value;
}

extern "C" unsigned long standin_fs_freezes(unsigned int dev) {
    return freeze_record(dev, &sim_fs::epoch);
}

extern "C" unsigned long long standin_fs_last_freeze_held_ns(unsigned int dev) {
    return freeze_record(dev, &sim_fs::held_ns);
}

extern "C" int standin_fs_fail_freeze(unsigned int dev, int error, int times) {
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 29)
    return -ENOSYS;
#else
    if (error >= 0 || error < -MAX_ERRNO)
        return -EINVAL;
    struct super_block *sb = get_super_by_dev(dev);
    if (!sb)
        return -ENODEV;
    struct sim_fs *fs = fs_of(sb);
    unsigned long flags;
    spin_lock_irqsave(&fs->lock, flags);
    fs->freeze_error = error;
    fs->freeze_failures = times;
    spin_unlock_irqrestore(&fs->lock, flags);
    drop_super(sb);
    return 0;
#endif
}
