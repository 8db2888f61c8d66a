/*
 * A simulated write workload: kernel threads that write stamped blocks
 * through a mounted file system's write path and log every write the file
 * system accepted, with the freeze epoch it was accepted in. Each writer owns
 * its own blocks, so a block's last logged write is what it holds once
 * written back.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/sched.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "rig.h"

#define MAX_WORKLOADS 16
#define MAX_WRITERS 64
#define LOG_CHUNK_RECORDS 4096
#define DEFAULT_FIRST_BYTE 65536ULL
#define MAX_DEPTH 32

struct log_chunk {
    struct log_chunk *next;
    struct standin_write_record rec[LOG_CHUNK_RECORDS];
};

struct workload;

struct writer {
    struct workload *w;
    unsigned int index;
    struct completion done;
};

struct workload {
    int used;
    struct standin_workload_config cfg;
    struct super_block *sb;
    unsigned int io_size;
    int stop;
    unsigned long long generation;
    long failures;
    spinlock_t lock; /* the log and the counts below */
    int running;
    unsigned long long logged;
    struct log_chunk *head, *tail;
    wait_queue_head_t progress;
    struct writer *writers;
};

static struct host_mutex workloads_lock;
static struct workload workloads[MAX_WORKLOADS];

static void log_write(struct workload *w, const struct standin_write_record *r) {
    spin_lock(&w->lock);
    unsigned long long slot = w->logged % LOG_CHUNK_RECORDS;
    if (slot == 0) {
        struct log_chunk *fresh = (struct log_chunk *)host_calloc(1, sizeof(*fresh));
        if (w->tail)
            w->tail->next = fresh;
        else
            w->head = fresh;
        w->tail = fresh;
    }
    w->tail->rec[slot] = *r;
    w->logged++;
    wake_up_all(&w->progress);
    spin_unlock(&w->lock);
}

static unsigned long long next_random(unsigned long long *state) {
    unsigned long long x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return *state = x;
}

static int writer_main(void *arg) {
    struct writer *wr = (struct writer *)arg;
    struct workload *w = wr->w;
    const struct standin_workload_config *cfg = &w->cfg;
    daemonize("fswriter%u", wr->index);
    unsigned int nwriters = (unsigned int)cfg->writers;
    unsigned long long owned =
        cfg->nr_blocks > wr->index ? (cfg->nr_blocks - wr->index + nwriters - 1) / nwriters : 0;
    unsigned int sectors = w->io_size >> 9;
    unsigned int depth = cfg->depth > 1 ? cfg->depth : 1;
    unsigned char *bufs = (unsigned char *)host_malloc((unsigned long)w->io_size * depth);
    const void *data[MAX_DEPTH];
    unsigned long long blocks[MAX_DEPTH], gens[MAX_DEPTH], gaps[MAX_DEPTH];
    unsigned long long rng = (cfg->seed + 1ULL) * 0x9e3779b97f4a7c15ULL + wr->index + 1;
    unsigned long long count = 0;
    while (owned && !__atomic_load_n(&w->stop, __ATOMIC_ACQUIRE) &&
           (!cfg->max_writes || count < cfg->max_writes)) {
        /* A flight of writes; after the first, each writes the block before
         * it again half of the time, so one block is often in flight twice. */
        for (unsigned int i = 0; i < depth; i++) {
            unsigned long long draw = next_random(&rng);
            blocks[i] = i && (draw & 1)
                            ? blocks[i - 1]
                            : cfg->first_block + wr->index + (draw >> 1) % owned * nwriters;
            gens[i] = __atomic_add_fetch(&w->generation, 1, __ATOMIC_RELAXED);
            gaps[i] = i && cfg->gap_ns ? next_random(&rng) % cfg->gap_ns : 0;
            unsigned char *buf = bufs + (unsigned long)i * w->io_size;
            for (unsigned int s = 0; s < sectors; s++)
                standin_stamp_make(buf + s * 512, blocks[i] * sectors + s, gens[i], wr->index);
            data[i] = buf;
        }
        struct standin_write_record r;
        int ret = depth > 1
                      ? fs_write_blocks_queued(w->sb, blocks, data, gaps, (int)depth, &r.epoch)
                      : fs_write_block(w->sb, blocks[0], data[0], cfg->mode, &r.epoch);
        if (ret) {
            __atomic_add_fetch(&w->failures, 1, __ATOMIC_RELAXED);
            if (ret == -ENODEV)
                break;
        } else {
            for (unsigned int i = 0; i < depth; i++) {
                r.block = blocks[i];
                r.first_sector = blocks[i] * sectors;
                r.generation = gens[i];
                r.sectors = sectors;
                r.writer = wr->index;
                log_write(w, &r);
            }
        }
        count += depth;
        if (cfg->mode == STANDIN_FS_BUFFERED && cfg->sync_every && count % cfg->sync_every == 0)
            fs_writeback(w->sb);
        if (cfg->pause_ns)
            task_sleep_ns(cfg->pause_ns);
    }
    host_free(bufs);
    spin_lock(&w->lock);
    w->running--;
    wake_up_all(&w->progress);
    spin_unlock(&w->lock);
    complete_and_exit(&wr->done, 0);
}

static struct workload *workload_of(int id) {
    if (id < 0 || id >= MAX_WORKLOADS)
        return NULL;
    host_mutex_lock(&workloads_lock);
    struct workload *w = workloads[id].used ? &workloads[id] : NULL;
    host_mutex_unlock(&workloads_lock);
    return w;
}

static int check_range(struct standin_workload_config *cfg, unsigned long long blocks,
                       unsigned int io_size) {
    if (cfg->writers < 1 || cfg->writers > MAX_WRITERS)
        return -EINVAL;
    if (cfg->mode != STANDIN_FS_BUFFERED && cfg->mode != STANDIN_FS_DIRECT)
        return -EINVAL;
    if (cfg->depth > MAX_DEPTH || (cfg->depth > 1 && cfg->mode != STANDIN_FS_DIRECT))
        return -EINVAL;
    if (!cfg->nr_blocks) {
        unsigned long long first = DEFAULT_FIRST_BYTE / io_size;
        if (cfg->first_block < first)
            cfg->first_block = first;
        if (cfg->first_block >= blocks)
            return -ENOSPC;
        cfg->nr_blocks = blocks - cfg->first_block;
    }
    if (cfg->first_block >= blocks || cfg->nr_blocks > blocks - cfg->first_block)
        return -EINVAL;
    return 0;
}

static int start_writers(struct workload *w) {
    int n = w->cfg.writers;
    w->writers = (struct writer *)host_calloc((unsigned long)n, sizeof(struct writer));
    for (int i = 0; i < n; i++) {
        w->writers[i].w = w;
        w->writers[i].index = (unsigned int)i;
        init_completion(&w->writers[i].done);
    }
    for (int i = 0; i < n; i++) {
        spin_lock(&w->lock);
        w->running++;
        spin_unlock(&w->lock);
        int pid = kernel_thread(writer_main, &w->writers[i], CLONE_KERNEL);
        if (pid < 0) {
            spin_lock(&w->lock);
            w->running--;
            spin_unlock(&w->lock);
            for (int j = i; j < n; j++)
                complete(&w->writers[j].done); /* never started: nothing to join */
            return pid;
        }
    }
    return 0;
}

static long join_writers(struct workload *w) {
    __atomic_store_n(&w->stop, 1, __ATOMIC_RELEASE);
    for (int i = 0; i < w->cfg.writers; i++)
        wait_for_completion(&w->writers[i].done);
    return __atomic_load_n(&w->failures, __ATOMIC_RELAXED);
}

extern "C" int standin_workload_start(const struct standin_workload_config *config) {
    struct standin_workload_config cfg = *config;
    struct super_block *sb = get_super_by_dev(cfg.dev);
    if (!sb)
        return -ENODEV;
    int ret = check_range(&cfg, fs_io_blocks(sb), fs_io_size(sb));
    /* Until the stop, the unmount refuses and the reference stays. */
    if (!ret)
        sb_pin(sb);
    up_read(&sb->s_umount);
    if (ret) {
        put_super(sb);
        return ret;
    }
    host_mutex_lock(&workloads_lock);
    int id = -1;
    for (int i = 0; i < MAX_WORKLOADS && id < 0; i++)
        if (!workloads[i].used)
            id = i;
    if (id < 0) {
        host_mutex_unlock(&workloads_lock);
        sb_unpin(sb);
        put_super(sb);
        return -ENOSPC;
    }
    struct workload *w = &workloads[id];
    memset(w, 0, sizeof(*w));
    w->used = 1;
    w->cfg = cfg;
    w->sb = sb;
    w->io_size = fs_io_size(sb);
    spin_lock_init(&w->lock);
    init_waitqueue_head(&w->progress);
    host_mutex_unlock(&workloads_lock);
    ret = start_writers(w);
    if (ret) {
        standin_workload_free(id); /* stops the writers that did start */
        return ret;
    }
    return id;
}

extern "C" long standin_workload_stop(int id) {
    struct workload *w = workload_of(id);
    if (!w || !w->sb)
        return -EINVAL;
    long failures = join_writers(w);
    sb_unpin(w->sb);
    put_super(w->sb);
    w->sb = NULL;
    return failures;
}

static int running_of(struct workload *w) {
    spin_lock(&w->lock);
    int n = w->running;
    spin_unlock(&w->lock);
    return n;
}

extern "C" unsigned long long standin_workload_log_count(int id) {
    struct workload *w = workload_of(id);
    if (!w)
        return 0;
    spin_lock(&w->lock);
    unsigned long long n = w->logged;
    spin_unlock(&w->lock);
    return n;
}

extern "C" unsigned long long standin_workload_wait(int id, unsigned long long writes) {
    struct workload *w = workload_of(id);
    if (!w)
        return 0;
    wait_event(w->progress, standin_workload_log_count(id) >= writes || running_of(w) == 0);
    return standin_workload_log_count(id);
}

extern "C" unsigned long long standin_workload_log_read(int id, unsigned long long first,
                                                        struct standin_write_record *out,
                                                        unsigned long long n) {
    struct workload *w = workload_of(id);
    if (!w)
        return 0;
    unsigned long long copied = 0;
    spin_lock(&w->lock);
    struct log_chunk *c = w->head;
    for (unsigned long long skip = first / LOG_CHUNK_RECORDS; c && skip; skip--)
        c = c->next;
    for (unsigned long long i = first; c && copied < n && i < w->logged; i++) {
        out[copied++] = c->rec[i % LOG_CHUNK_RECORDS];
        if ((i + 1) % LOG_CHUNK_RECORDS == 0)
            c = c->next;
    }
    spin_unlock(&w->lock);
    return copied;
}

extern "C" void standin_workload_free(int id) {
    struct workload *w = workload_of(id);
    if (!w)
        return;
    if (w->sb)
        standin_workload_stop(id);
    struct log_chunk *c = w->head;
    while (c) {
        struct log_chunk *next = c->next;
        host_free(c);
        c = next;
    }
    host_free(w->writers);
    host_mutex_lock(&workloads_lock);
    memset(w, 0, sizeof(*w));
    host_mutex_unlock(&workloads_lock);
}
