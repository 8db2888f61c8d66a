/*
 * Requests for one block reach the disk in their order of arrival, also in
 * the states where no copy is needed any more and a later write would
 * otherwise pass a held one; and a release replays everything held before it
 * returns, each bio completing once.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/completion.h>
#include <linux/string.h>
#include <kunit/test.h>
#include <standin/fault.h>
#include <standin/preempt.h>

#include "backup_session_fixture.h"

#define BS 4096
#define X 50 /* the block written twice */

struct order_case {
    const char *name;
    /* Before the first write: a block map with X, for state 6. */
    int loadFirst;
    /* With the first write held: what takes the session out of copying X.
     * A bio of its own goes in *other, to be waited for later. */
    void (*change)(struct kunit *test, struct fx_session *s, struct fx_bio *other);
};

/* The read command has fetched X from the disk. */
static void x_was_read(struct kunit *test, struct fx_session *s, struct fx_bio *other) {
    unSetBlock(&s->b->blockMap, X);
}

/* What kbackupd does when it cannot read or keep an earlier block. */
static void read_failed(struct kunit *test, struct fx_session *s, struct fx_bio *other) {
    velSetState(s->b, VEL_STATE_READ_ERROR);
    errorAMS(s->b);
}

static void cache_full(struct kunit *test, struct fx_session *s, struct fx_bio *other) {
    velSetState(s->b, VEL_STATE_CACHE_FULL);
    errorAMS(s->b);
}

/* Another writer's request cannot be allocated: state 13 for real, and the
 * automap hook on the queue from then on. */
static void request_lost(struct kunit *test, struct fx_session *s, struct fx_bio *other) {
    struct standin_fault_rule rule = {FAULT_KMALLOC, GFP_NOIO, NULL, 1, 0, 1};
    standin_fault_add(&rule);
    fx_submit(other, WRITE, s->part, X + 10, 1, BS, 5);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, velGetState(s->b), VEL_STATE_REQUEST_LOST);
    KUNIT_EXPECT_EQ(test, fx_queue(s->b)->make_request_fn, &velAMRF);
    /* It went straight to the disk, beside the held copy's read. */
    int queued = atomic_read(&s->b->mrInQueue);
    KUNIT_EXPECT_EQ(test, queued, 1);
    if (queued == 1)
        KUNIT_EXPECT_EQ(test, standin_disk_wait_queued(FX_DISK, 2), 2);
}

static void a_later_write_never_passes_a_held_one(struct kunit *test) {
    const struct order_case cases[] = {
        {"state 6, block read", 1, x_was_read},
        {"state 8", 0, read_failed},
        {"state 10", 0, cache_full},
        {"state 13", 0, request_lost},
    };
    for (unsigned int i = 0; i < ARRAY_SIZE(cases); i++) {
        struct fx_session s;
        KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
        if (cases[i].loadFirst) {
            const u32 needed[] = {X};
            KUNIT_ASSERT_EQ(test, fx_load_block_map(s.fd, s.numBlocks, needed, 1), 0);
        }
        struct fx_bio first, later, other;
        other.bio = NULL;
        /* The held write covers X and the block after it. */
        fx_hold_cache_thread_n(&first, s.part, X, 2, BS, 1);
        cases[i].change(test, &s, &other);
        fx_submit(&later, WRITE, s.part, X, 1, BS, 2);
        int held = atomic_read(&s.b->mrInQueue);
        standin_disk_resume(FX_DISK);
        fx_wait(&first);
        fx_wait(&later);
        flushWorkQueue(s.b);
        if (held != 2 || first.seq > later.seq || !fx_disk_holds(X, 1, BS, 2) ||
            !fx_disk_holds(X + 1, 1, BS, 1))
            kunit_fail(test, __FILE__, __LINE__,
                       "%s: %d held, first write done %d, later %d, disk holds the later: %d",
                       cases[i].name, held, first.seq, later.seq, fx_disk_holds(X, 1, BS, 2));
        if (other.bio) {
            fx_wait(&other);
            KUNIT_EXPECT_TRUE(test, fx_disk_holds(X + 10, 1, BS, 5));
            fx_put(&other);
        }
        fx_put(&first);
        fx_put(&later);
        fx_session_close(&s);
    }
}

/*
 * kbackupd is held right after each release of the queue's lock while it
 * works (a preemption point on a preemptible kernel). Once it has taken the
 * request of X off the queue, a later write of X arrives; if at that moment
 * the request was neither queued nor published as the one being replayed,
 * the later write would go straight to the disk and the held one land on it.
 */
struct take_window {
    Backup *b;
    struct bio *held; /* the request of X */
    atomic_t taken, paused;
    struct completion seen, go;
};

static int request_visible(Backup *b, struct bio *bio) {
    int found = 0;
    for (MakeRequest *mr = b->mrReplaying; mr && !found; mr = mr->next)
        found = mr->bio == bio;
    for (MakeRequest *mr = b->mrHead; mr && !found; mr = mr->next)
        found = mr->bio == bio;
    return found;
}

static void hold_after_take(const char *lock, unsigned long caller, void *ctx) {
    struct take_window *w = (struct take_window *)ctx;
    if (strcmp(current->comm, "kbackupd") != 0 || strcmp(lock, "&b->mrLock") != 0 ||
        atomic_read(&w->taken))
        return;
    unsigned long flags;
    spin_lock_irqsave(&w->b->mrLock, flags);
    int queued = 0;
    for (MakeRequest *mr = w->b->mrHead; mr; mr = mr->next)
        queued |= mr->bio == w->held;
    int visible = request_visible(w->b, w->held);
    spin_unlock_irqrestore(&w->b->mrLock, flags);
    if (queued)
        return;
    atomic_set(&w->taken, 1);
    complete(&w->seen);
    if (!visible) {
        atomic_set(&w->paused, 1);
        wait_for_completion(&w->go);
    }
}

static void a_write_never_passes_a_request_being_taken(struct kunit *test) {
    struct fx_session s;
    /* The cache holds nothing: the first copy fails and the backup stops
     * copying (state 10), so the later write is not copied but follows. */
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 0, VEL_STATE_SNAPSHOT), 0);
    struct fx_bio first, held, later;
    fx_hold_cache_thread(&first, s.part, X + 20, BS, 1);
    fx_submit(&held, WRITE, s.part, X, 1, BS, 1);
    KUNIT_ASSERT_EQ(test, atomic_read(&s.b->mrInQueue), 2);
    struct take_window w;
    w.b = s.b;
    w.held = held.bio;
    atomic_set(&w.taken, 0);
    atomic_set(&w.paused, 0);
    init_completion(&w.seen);
    init_completion(&w.go);
    standin_set_preempt_hook(hold_after_take, &w);
    standin_disk_resume(FX_DISK);
    wait_for_completion(&w.seen);
    fx_submit(&later, WRITE, s.part, X, 1, BS, 2);
    complete(&w.go);
    fx_wait(&held);
    fx_wait(&later);
    flushWorkQueue(s.b);
    standin_set_preempt_hook(NULL, NULL);
    standin_preempt_hook_sync();
    KUNIT_EXPECT_EQ(test, velGetState(s.b), VEL_STATE_CACHE_FULL);
    KUNIT_EXPECT_FALSE(test, atomic_read(&w.paused));
    KUNIT_EXPECT_LT(test, held.seq, later.seq);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(X, 1, BS, 2));
    fx_wait(&first);
    fx_put(&first);
    fx_put(&held);
    fx_put(&later);
    fx_session_close(&s);
}

struct releaser {
    int fd;
    atomic_t returned;
    struct completion done;
};

static int release_file(void *arg) {
    struct releaser *r = (struct releaser *)arg;
    sys::close(r->fd);
    atomic_set(&r->returned, 1);
    complete(&r->done);
    return 0;
}

/* A write submitted from a thread of its own: it may have to wait in the
 * hook. */
struct late_writer {
    struct fx_bio w;
    struct block_device *part;
    u32 block, gen;
    struct completion submitted;
};

static int submit_late(void *arg) {
    struct late_writer *l = (struct late_writer *)arg;
    fx_submit(&l->w, WRITE, l->part, l->block, 1, BS, l->gen);
    complete(&l->submitted);
    return 0;
}

static int start_late_writer(struct late_writer *l, struct block_device *part, u32 block, u32 gen) {
    l->part = part;
    l->block = block;
    l->gen = gen;
    init_completion(&l->submitted);
    return kernel_thread(submit_late, l, CLONE_KERNEL);
}

struct map_loader {
    struct fx_session *s;
    u32 block;
    int result;
    atomic_t returned;
    struct completion done;
};

static int load_map(void *arg) {
    struct map_loader *l = (struct map_loader *)arg;
    l->result = fx_load_block_map(l->s->fd, l->s->numBlocks, &l->block, 1);
    atomic_set(&l->returned, 1);
    complete(&l->done);
    return 0;
}

/* A block map that drops X is switched to only after the held write of X
 * was replayed, so a later write of X, decided before or after the switch,
 * still reaches the disk last. */
static void a_loaded_map_waits_for_held_writes(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    struct fx_bio first;
    fx_hold_cache_thread_n(&first, s.part, X, 2, BS, 1);
    struct map_loader loader;
    loader.s = &s;
    loader.block = X + 2;
    loader.result = -1;
    atomic_set(&loader.returned, 0);
    init_completion(&loader.done);
    KUNIT_ASSERT_GT(test, kernel_thread(load_map, &loader, CLONE_KERNEL), 0);
    while (velGetState(s.b) == 4)
        schedule();
    struct late_writer later;
    KUNIT_ASSERT_GT(test, start_late_writer(&later, s.part, X, 2), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&loader.returned), 0);
    standin_disk_resume(FX_DISK);
    wait_for_completion(&loader.done);
    wait_for_completion(&later.submitted);
    fx_wait(&first);
    fx_wait(&later.w);
    flushWorkQueue(s.b);
    KUNIT_EXPECT_EQ(test, loader.result, 0);
    KUNIT_EXPECT_EQ(test, velGetState(s.b), VEL_STATE_MAP_LOADED);
    KUNIT_EXPECT_LT(test, first.seq, later.w.seq);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(X, 1, BS, 2));
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(X + 1, 1, BS, 1));
    fx_put(&first);
    fx_put(&later.w);
    fx_session_close(&s);
}

/* The copy of a held write fails (the cache holds nothing) while a map load
 * waits for the held write: the backup has failed, and the load must not
 * move it back to a copying state, or copy-on-write is off (the hook was
 * downgraded) while reads go on returning 0. */
static void a_failure_during_a_map_load_stays(struct kunit *test) {
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 0, VEL_STATE_SNAPSHOT), 0);
    struct fx_bio held;
    fx_hold_cache_thread(&held, s.part, X, BS, 1);
    struct map_loader loader;
    loader.s = &s;
    loader.block = X;
    loader.result = -1;
    atomic_set(&loader.returned, 0);
    init_completion(&loader.done);
    KUNIT_ASSERT_GT(test, kernel_thread(load_map, &loader, CLONE_KERNEL), 0);
    while (velGetState(s.b) == VEL_STATE_SNAPSHOT)
        schedule();
    standin_disk_resume(FX_DISK);
    wait_for_completion(&loader.done);
    fx_wait(&held);
    KUNIT_EXPECT_EQ(test, velGetState(s.b), VEL_STATE_CACHE_FULL);
    KUNIT_EXPECT_EQ(test, loader.result, VEL_ERR_INVALID);
    fx_put(&held);
    fx_session_close(&s);
}

static int waits_for_writers(Backup *b) {
    unsigned long flags;
    spin_lock_irqsave(&b->writers.wait_lock, flags);
    int waiting = !list_empty(&b->writers.wait_list);
    spin_unlock_irqrestore(&b->writers.wait_lock, flags);
    return waiting;
}

static void a_release_replays_every_held_request(struct kunit *test) {
    struct standin_bio_counters before, after;
    standin_get_bio_counters(&before);
    struct fx_session s;
    KUNIT_ASSERT_EQ(test, fx_session_open(&s, BS, 100, VEL_STATE_SNAPSHOT), 0);
    Backup *b = s.b;
    struct fx_bio w1, w2, r3, marker;
    fx_hold_cache_thread(&w1, s.part, 70, BS, 1);
    fx_submit(&w2, WRITE, s.part, 71, 1, BS, 2);
    fx_submit(&r3, READ, s.part, 72, 1, BS, 0);
    KUNIT_ASSERT_EQ(test, atomic_read(&b->mrInQueue), 3);

    struct releaser r;
    r.fd = s.fd;
    atomic_set(&r.returned, 0);
    init_completion(&r.done);
    KUNIT_ASSERT_GT(test, kernel_thread(release_file, &r, CLONE_KERNEL), 0);
    /* The release is draining: closing, and nothing held has moved. */
    while (velGetState(b) != 7)
        schedule();
    KUNIT_EXPECT_EQ(test, atomic_read(&r.returned), 0);
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 3);
    /* A new write of a held block waits in the hook until the drain is
     * over; had the hook gone first, it would be at the disk already. */
    struct late_writer late;
    KUNIT_ASSERT_GT(test, start_late_writer(&late, s.part, 70, 4), 0);
    while (!waits_for_writers(b) && standin_disk_wait_queued(FX_DISK, 0) < 2)
        schedule();
    /* It saw the record as active: the record must outlive it. */
    KUNIT_EXPECT_EQ(test, atomic_read(&b->requestUsers), 1);
    standin_disk_resume(FX_DISK);
    wait_for_completion(&r.done);
    wait_for_completion(&late.submitted);
    fx_wait(&late.w);
    KUNIT_EXPECT_LT(test, w1.seq, late.w.seq);
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(70, 1, BS, 4));
    fx_put(&late.w);

    /* The disk serves in arrival order: whatever the release handed on
     * before it returned is done when a later bio is. */
    fx_submit(&marker, READ, s.part, 73, 1, BS, 0);
    fx_wait(&marker);
    struct fx_bio *held[] = {&w1, &w2, &r3};
    for (unsigned int i = 0; i < ARRAY_SIZE(held); i++) {
        KUNIT_EXPECT_EQ(test, atomic_read(&held[i]->calls), 1);
        KUNIT_EXPECT_TRUE(test, held[i]->uptodate);
    }
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(71, 1, BS, 2));
    KUNIT_EXPECT_TRUE(test, fx_read_holds(&r3, 0));
    KUNIT_EXPECT_EQ(test, atomic_read(&marker.calls), 1);
    for (unsigned int i = 0; i < ARRAY_SIZE(held); i++)
        fx_put(held[i]);
    fx_put(&marker);
    bdput(s.part);
    fx_disk_down();

    /* No bio lost, none completed twice (that would have been a BUG). */
    standin_get_bio_counters(&after);
    KUNIT_EXPECT_EQ(test, after.allocated - before.allocated, after.freed - before.freed);
    KUNIT_EXPECT_EQ(test, after.submitted - before.submitted, after.completed - before.completed);
    KUNIT_EXPECT_EQ(test, after.failed, before.failed);
    KUNIT_EXPECT_GE(test, after.submitted - before.submitted, 7ULL);
}

static struct kunit_case write_order_cases[] = {
    KUNIT_CASE(a_later_write_never_passes_a_held_one),
    KUNIT_CASE(a_write_never_passes_a_request_being_taken),
    KUNIT_CASE(a_loaded_map_waits_for_held_writes),
    KUNIT_CASE(a_failure_during_a_map_load_stays),
    KUNIT_CASE(a_release_replays_every_held_request),
    {},
};

static struct kunit_suite write_order_suite = {"write_order", write_order_cases, "velmora"};
kunit_test_suite(write_order_suite);
