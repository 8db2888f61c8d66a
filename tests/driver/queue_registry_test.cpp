/*
 * The registry of hooked request queues: partitions of one disk under one
 * node that keeps the disk's own function, duplicate registrations, the
 * queue handed back when its last device goes or when it is removed whole,
 * lookups on queues it does not hold, and a bio that is inside a hook while
 * its queue is unhooked.
 */
#include <kunit/test.h>

#include "tracking_test.h"

#define REG_MAJOR 233
#define REG_DISK STANDIN_MKDEV(REG_MAJOR, 0)
#define OTHER_MAJOR 234
#define OTHER_DISK STANDIN_MKDEV(OTHER_MAJOR, 0)

static const struct test_part reg_parts[] = {{64, 8000}, {8064, 8000}, {16064, 8000}};

static int reg_disk(void) {
    return test_disk_create("reg", REG_MAJOR, 0, 30000, reg_parts, 3, 4096);
}

static void partitions_share_one_node(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, reg_disk(), 0);
    struct request_queue *q = queue_of(REG_DISK);
    make_request_fn *own = current_mrf(q);
    struct tracked p1, p2;
    memset(&p1, 0, sizeof(p1));
    memset(&p2, 0, sizeof(p2));
    if (track_device(&p1, REG_DISK + 1, 0, velAMRF) || track_device(&p2, REG_DISK + 2, 0, velAMRF))
        goto out;
    {
        QueueList *node = queue_node(q);
        KUNIT_EXPECT_EQ(test, queue_nodes(), 1);
        if (!node) {
            KUNIT_EXPECT_NOT_NULL(test, node);
            goto out;
        }
        KUNIT_EXPECT_EQ(test, dev_entries(node), 2);
        /* Saved once, before the first hook: never one of the hooks. */
        KUNIT_EXPECT_TRUE(test, node->realMRF == own);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == velAMRF);

        /* Switching hooks keeps the saved function. */
        KUNIT_EXPECT_EQ(test, setMRF(p1.b, velMRF), 0);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == velMRF);
        KUNIT_EXPECT_EQ(test, setMRF(p1.b, velAMRF), 0);
        KUNIT_EXPECT_TRUE(test, node->realMRF == own);

        /* The same device again: still one entry, and the spare node and
         * entry that were allocated for it are freed at once. */
        unsigned long held = standin_module_allocations();
        addQueueToList(q, &p1.b->diskInfo);
        KUNIT_EXPECT_EQ(test, standin_module_allocations(), held);
        KUNIT_EXPECT_EQ(test, setMRF(p1.b, velAMRF), 0);
        KUNIT_EXPECT_EQ(test, dev_entries(node), 2);
        KUNIT_EXPECT_EQ(test, isInQueueList(q, REG_DISK + 1), 1);
        KUNIT_EXPECT_EQ(test, isInQueueList(q, REG_DISK + 3), 0);
        KUNIT_EXPECT_EQ(test, countQueueAMS(q), 2);

        /* Closing one session leaves the hook for the other. */
        closeAMS(p1.b);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == velAMRF);
        KUNIT_EXPECT_EQ(test, queue_nodes(), 1);
        if (queue_nodes() == 1)
            KUNIT_EXPECT_EQ(test, dev_entries(node), 1);
        KUNIT_EXPECT_EQ(test, isInQueueList(q, REG_DISK + 2), 1);
        KUNIT_EXPECT_EQ(test, write_blocks(&p1, 3, 1), 1);
        KUNIT_EXPECT_EQ(test, write_blocks(&p2, 4, 1), 1);
        KUNIT_EXPECT_EQ(test, blockInMap(&p2.ams->map, 4), -1);

        /* The last one gives the disk its own function back. */
        closeAMS(p2.b);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == own);
        KUNIT_EXPECT_EQ(test, queue_nodes(), 0);
        KUNIT_EXPECT_EQ(test, atomic_read(&queueListUsers), 1);
        KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);
    }
out:
    KUNIT_EXPECT_TRUE(test, p1.ams && p2.ams);
    untrack_device(&p2);
    untrack_device(&p1);
    test_disk_remove(REG_MAJOR, 0, 3);
}

static void queue_removed_whole(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, reg_disk(), 0);
    struct request_queue *q = queue_of(REG_DISK);
    make_request_fn *own = current_mrf(q);
    struct tracked p[3];
    memset(p, 0, sizeof(p));
    int ready = 1;
    for (int i = 0; i < 3; i++) {
        if (ready)
            ready = track_device(&p[i], REG_DISK + 1 + i, 0, velAMRF) == 0;
    }
    KUNIT_EXPECT_TRUE(test, ready);
    if (ready) {
        unsigned long held = standin_module_allocations();
        unsetQueueMRFAMS(q);
        for (int i = 0; i < 3; i++)
            KUNIT_EXPECT_EQ(test, velGetState(p[i].ams), VEL_AMS_NOT_IN_SYNC);
        /* One node and three device entries freed. */
        KUNIT_EXPECT_EQ(test, standin_module_allocations(), held - 4);
        KUNIT_EXPECT_EQ(test, queue_nodes(), 0);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == own);
        KUNIT_EXPECT_EQ(test, atomic_read(&queueListUsers), 1);
        KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);
        /* The sessions stay in the table, recording nothing. */
        KUNIT_EXPECT_EQ(test, write_blocks(&p[0], 2, 1), 1);
        KUNIT_EXPECT_EQ(test, blockInMap(&p[0].ams->map, 2), 0);
        /* Closing them later finds nothing left to restore. */
        closeAMS(p[0].b);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == own);
    }
    for (int i = 2; i >= 0; i--)
        untrack_device(&p[i]);
    test_disk_remove(REG_MAJOR, 0, 3);
}

static int never_called(struct request_queue *q, struct bio *bio) {
    return 0;
}

static void queues_it_does_not_hold(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, reg_disk(), 0);
    static const struct test_part other_parts[] = {{64, 8000}};
    struct tracked hooked, registered;
    memset(&hooked, 0, sizeof(hooked));
    memset(&registered, 0, sizeof(registered));
    if (test_disk_create("other", OTHER_MAJOR, 0, 10000, other_parts, 1, 4096) == 0 &&
        track_device(&hooked, REG_DISK + 1, 0, velAMRF) == 0) {
        struct request_queue *other = queue_of(OTHER_DISK);
        make_request_fn *own = current_mrf(other);
        /* Not registered: its current function is its own, it has no sessions,
         * however many other queues are registered. */
        KUNIT_EXPECT_TRUE(test, getRealMRF(other) == own);
        KUNIT_EXPECT_EQ(test, countQueueAMS(other), 0);
        KUNIT_EXPECT_EQ(test, countQueueAMS(queue_of(REG_DISK)), 1);
        ACCESS_ONCE(other->make_request_fn) = never_called;
        KUNIT_EXPECT_TRUE(test, getRealMRF(other) == never_called);
        /* A hook of ours there has lost its real function: never handed
         * back as one, or the hook would call itself for ever. */
        ACCESS_ONCE(other->make_request_fn) = velMRF;
        KUNIT_EXPECT_NULL(test, getRealMRF(other));
        ACCESS_ONCE(other->make_request_fn) = velAMRF;
        KUNIT_EXPECT_NULL(test, getRealMRF(other));
        ACCESS_ONCE(other->make_request_fn) = own;
        KUNIT_EXPECT_EQ(test, isInQueueList(other, OTHER_DISK + 1), 0);

        /* Registered without a session: counted as no session. */
        KUNIT_EXPECT_EQ(test, track_device(&registered, OTHER_DISK + 1, 0, NULL), 0);
        closeAMS(registered.b);
        KUNIT_EXPECT_EQ(test, setMRF(registered.b, velAMRF), 0);
        KUNIT_EXPECT_EQ(test, countQueueAMS(other), 0);
        KUNIT_EXPECT_TRUE(test, getRealMRF(other) == own);
        unsetQueueMRFAMS(other);
        KUNIT_EXPECT_TRUE(test, current_mrf(other) == own);

        /* No queue at all: the messages, and nothing changes. */
        int nodes = queue_nodes();
        klog_clear();
        KUNIT_EXPECT_NULL(test, getRealMRF(NULL));
        KUNIT_EXPECT_EQ(test, klog_level("getRealMRF: Can't get MRF on NULL queue."), 4);
        KUNIT_EXPECT_EQ(test, countQueueAMS(NULL), 0);
        KUNIT_EXPECT_EQ(test,
                        klog_level("countQueueAMS: Could not count ams sessions for "
                                   "request queue because queue was null."),
                        3);
        unsetQueueMRFAMS(NULL);
        KUNIT_EXPECT_LOG(test,
                         "unsetQueueMRFAMS: Could not unset MRFS for request queue because "
                         "queue was null.");
        addQueueToList(NULL, &registered.b->diskInfo);
        KUNIT_EXPECT_LOG(test, "addQueueToList: Could not add queue to list (null).");
        KUNIT_EXPECT_EQ(test, isInQueueList(NULL, REG_DISK + 1), 0);
        KUNIT_EXPECT_EQ(test, queue_nodes(), nodes);
        KUNIT_EXPECT_EQ(test, atomic_read(&queueListUsers), 1);
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
    untrack_device(&registered);
    untrack_device(&hooked);
    test_disk_remove(OTHER_MAJOR, 0, 1);
    test_disk_remove(REG_MAJOR, 0, 3);
}

/*
 * The write enters velAMRF and is held inside it (counted in on the
 * session's map) while the queue is taken out of the registry and its
 * own function restored. Let go, it still finds a function and reaches the
 * disk.
 */
static void bio_inside_the_hook_while_unhooked(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, reg_disk(), 0);
    struct request_queue *q = queue_of(REG_DISK);
    make_request_fn *own = current_mrf(q);
    struct tracked p1;
    memset(&p1, 0, sizeof(p1));
    if (track_device(&p1, REG_DISK + 1, 0, velAMRF) == 0) {
        struct standin_disk_stats before, after;
        standin_get_disk_stats(REG_DISK, &before);
        struct held_write w;
        struct map_hold h;
        map_hold_arm(&h, &p1.ams->map);
        if (held_write_start(&w, &p1, 6) <= 0) {
            atomic_sub(USERS_CLOSING, &p1.ams->map.users);
            map_hold_release(&h);
            KUNIT_EXPECT_TRUE(test, false);
            goto out;
        }
        /* In the hook: it holds a session reference. */
        map_hold_wait(&h);
        KUNIT_EXPECT_EQ(test, atomic_read(&p1.ams->users), 2);
        unsetQueueMRFAMS(q);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == own);
        KUNIT_EXPECT_EQ(test, queue_nodes(), 0);
        map_hold_release(&h);
        wait_for_completion(&w.done);
        KUNIT_EXPECT_EQ(test, w.uptodate, 1);
        standin_get_disk_stats(REG_DISK, &after);
        KUNIT_EXPECT_EQ(test, after.writes, before.writes + 1);
        /* What it wrote is on the disk. */
        unsigned char got[64], want[64];
        struct page *page = alloc_page(GFP_KERNEL);
        fill_page(page, 6);
        memcpy(want, page_address(page), sizeof(want));
        __free_page(page);
        KUNIT_EXPECT_EQ(test, standin_dev_read_raw(REG_DISK + 1, 6 * 4096, got, sizeof(got)), 0);
        KUNIT_EXPECT_EQ(test, memcmp(got, want, sizeof(got)), 0);
        KUNIT_EXPECT_EQ(test, atomic_read(&p1.ams->users), 1);
        KUNIT_EXPECT_EQ(test, atomic_read(&queueListUsers), 1);
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
out:
    untrack_device(&p1);
    test_disk_remove(REG_MAJOR, 0, 3);
}

/* A bio that meets such a hook stops the kernel with the registry's
 * message instead of recursing until the stack runs out. */
static void a_hook_without_its_queue_is_a_bug(struct kunit *test) {
    static const struct test_part other_parts[] = {{64, 8000}};
    KUNIT_ASSERT_EQ(test, test_disk_create("other", OTHER_MAJOR, 0, 10000, other_parts, 1, 4096),
                    0);
    struct request_queue *q = queue_of(OTHER_DISK);
    ACCESS_ONCE(q->make_request_fn) = velMRF;
    bio_sync(OTHER_DISK + 1, WRITE, 8, 4096, 1);
}

static struct kunit_case registry_cases[] = {
    KUNIT_CASE(partitions_share_one_node),
    KUNIT_CASE(queue_removed_whole),
    KUNIT_CASE(queues_it_does_not_hold),
    KUNIT_CASE(bio_inside_the_hook_while_unhooked),
    KUNIT_CASE_BUG(a_hook_without_its_queue_is_a_bug, "kernel BUG at .*intercept\\.cpp"),
    {},
};

static struct kunit_suite registry_suite = {"queue_registry", registry_cases, "velmora"};
kunit_test_suite(registry_suite);
