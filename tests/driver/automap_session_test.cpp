/*
 * Automap sessions on the write path: a write past the end of the map, a
 * close that must wait for the writers inside the session, a writer that
 * arrives after the slot was cleared, the error of a backup with one and with
 * two sessions on its queue, and device numbers that have no slot.
 */
#include <kunit/test.h>

#include "tracking_test.h"

#define AMS_MAJOR 235
#define AMS_DISK STANDIN_MKDEV(AMS_MAJOR, 0)
#define AMS_P1 (AMS_DISK + 1)
#define AMS_P2 (AMS_DISK + 2)

/* Two partitions of 1000 blocks of 4096 bytes. */
static const struct test_part ams_parts[] = {{64, 8000}, {8064, 8000}};

static int ams_disk(void) {
    return test_disk_create("ams", AMS_MAJOR, 0, 20000, ams_parts, 2, 4096);
}

static void write_beyond_the_map(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, ams_disk(), 0);
    struct tracked t;
    memset(&t, 0, sizeof(t));
    /* The map is smaller than the partition, as after a resize. */
    if (track_device(&t, AMS_P1, 100, velAMRF) == 0) {
        static const char resized100[] =
            "updateAM: device resize detected (block 100 in size 100) in automap update, "
            "automap not in sync";
        static const char resized101[] =
            "updateAM: device resize detected (block 101 in size 100) in automap update, "
            "automap not in sync";
        klog_clear();
        KUNIT_EXPECT_EQ(test, write_blocks(&t, 98, 4), 1);
        KUNIT_EXPECT_EQ(test, velGetState(t.ams), VEL_AMS_NOT_IN_SYNC);
        KUNIT_EXPECT_EQ(test, blockInMap(&t.ams->map, 98), -1);
        KUNIT_EXPECT_EQ(test, blockInMap(&t.ams->map, 99), -1);
        KUNIT_EXPECT_EQ(test, klog_count(resized100), 1);
        KUNIT_EXPECT_EQ(test, klog_count(resized101), 1);
        KUNIT_EXPECT_EQ(test, klog_level(resized100), 4);
        /* Out of sync: later writes, inside the map or not, set nothing. */
        KUNIT_EXPECT_EQ(test, write_blocks(&t, 5, 1), 1);
        KUNIT_EXPECT_EQ(test, write_blocks(&t, 100, 1), 1);
        u32 first;
        KUNIT_EXPECT_EQ(test, bits_set(&t.ams->map, &first), 2u);
        KUNIT_EXPECT_EQ(test, klog_count(resized100), 1);
        KUNIT_EXPECT_EQ(test, atomic_read(&t.ams->users), 1);
        KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
    untrack_device(&t);
    test_disk_remove(AMS_MAJOR, 0, 2);
}

struct closer {
    struct tracked *t;
    atomic_t finished;
    struct completion done;
};

static int closer_thread(void *arg) {
    struct closer *c = (struct closer *)arg;
    closeAMS(c->t->b);
    atomic_set(&c->finished, 1);
    complete(&c->done);
    return 0;
}

/*
 * A writer is held inside the session (counted in on its map) when the
 * session is closed. The close unhooks and clears the slot,
 * then waits; a writer that comes now finds no session; once the first one
 * is let go the close completes.
 */
static void close_waits_for_the_writers_inside(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, ams_disk(), 0);
    struct request_queue *q = queue_of(AMS_DISK);
    make_request_fn *own = current_mrf(q);
    struct tracked t;
    memset(&t, 0, sizeof(t));
    if (track_device(&t, AMS_P1, 0, velAMRF) == 0) {
        AutoMapSession *ams = t.ams;
        struct held_write w;
        struct closer c;
        c.t = &t;
        atomic_set(&c.finished, 0);
        init_completion(&c.done);
        struct map_hold h;
        map_hold_arm(&h, &ams->map);
        if (held_write_start(&w, &t, 3) > 0) {
            map_hold_wait(&h);
            KUNIT_EXPECT_EQ(test, atomic_read(&ams->users), 2);
            KUNIT_EXPECT_GT(test, kernel_thread(closer_thread, &c, 0), 0);
            while (slot_of(AMS_P1) || current_mrf(q) != own)
                schedule();

            /* A writer already past the hook's entry when the slot was
             * cleared, and one submitted now: neither records. */
            struct block_device *whole = bdget(AMS_DISK);
            struct bio *late = bare_bio(whole, 64 + 7 * 8, 4096, WRITE);
            updateAM(late, (int)MINOR(AMS_P1));
            bio_put(late);
            bdput(whole);
            KUNIT_EXPECT_EQ(test, write_blocks(&t, 8, 1), 1);
            KUNIT_EXPECT_EQ(test, peek_bit(&ams->map, 7), 0);
            KUNIT_EXPECT_EQ(test, peek_bit(&ams->map, 8), 0);
            KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);
            /* The first writer still holds its reference: no close yet. */
            KUNIT_EXPECT_EQ(test, atomic_read(&ams->users), 2);
            KUNIT_EXPECT_EQ(test, atomic_read(&c.finished), 0);

            map_hold_release(&h);
            wait_for_completion(&w.done);
            KUNIT_EXPECT_EQ(test, w.uptodate, 1);
            wait_for_completion(&c.done);
            KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);
            KUNIT_EXPECT_EQ(test, queue_nodes(), 0);
        } else {
            atomic_sub(USERS_CLOSING, &ams->map.users);
            map_hold_release(&h);
            KUNIT_EXPECT_TRUE(test, false);
        }
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
    untrack_device(&t);
    test_disk_remove(AMS_MAJOR, 0, 2);
}

/* A started backup of AMS_P1 with its session in sync and velMRF on its queue,
 * as the snapshot leaves them. */
static int started_backup(struct tracked *t) {
    memset(t, 0, sizeof(*t));
    t->opened = test_open(&t->tf) == 0;
    if (!t->opened)
        return -1;
    t->b = test_backup(&t->tf);
    int r = ioctlStartBackup(t->b, AMS_P1, 1000, 64);
    if (!r)
        r = newAMS(t->b, &t->ams);
    if (!r) {
        velSetState(t->ams, VEL_AMS_IN_SYNC);
        r = setMRF(t->b, velMRF);
    }
    return r;
}

/* Only the backup's session on the queue: recording stops, the automap-only
 * hook stays while the backup lives, the release hands the queue back. */
static void error_with_one_session(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, ams_disk(), 0);
    struct request_queue *q = queue_of(AMS_DISK);
    make_request_fn *own = current_mrf(q);
    struct tracked bk;
    if (started_backup(&bk) == 0) {
        AutoMapSession *ams = bk.ams;
        KUNIT_EXPECT_EQ(test, write_blocks(&bk, 1, 1), 1);
        KUNIT_EXPECT_EQ(test, blockInMap(&ams->map, 1), -1);
        velSetState(bk.b, VEL_STATE_REQUEST_LOST);
        errorAMS(bk.b);
        KUNIT_EXPECT_EQ(test, velGetState(ams), VEL_AMS_NOT_IN_SYNC);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == velAMRF);
        KUNIT_EXPECT_EQ(test, write_blocks(&bk, 2, 1), 1);
        KUNIT_EXPECT_EQ(test, blockInMap(&ams->map, 2), 0);
        test_release(&bk.tf);
        bk.opened = 0;
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == own);
        KUNIT_EXPECT_EQ(test, queue_nodes(), 0);
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
    untrack_device(&bk);
    KUNIT_EXPECT_EQ(test, close_session_of(AMS_P1), 0);
    test_disk_remove(AMS_MAJOR, 0, 2);
}

/* A second session on the queue goes on recording, through the error and
 * after the backup's release. */
static void error_with_two_sessions(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, ams_disk(), 0);
    struct request_queue *q = queue_of(AMS_DISK);
    make_request_fn *own = current_mrf(q);
    struct tracked bk, other;
    memset(&other, 0, sizeof(other));
    if (started_backup(&bk) == 0 && track_device(&other, AMS_P2, 0, velAMRF) == 0) {
        KUNIT_EXPECT_EQ(test, setMRF(bk.b, velMRF), 0);
        velSetState(bk.b, VEL_STATE_REQUEST_LOST);
        errorAMS(bk.b);
        KUNIT_EXPECT_EQ(test, velGetState(bk.ams), VEL_AMS_NOT_IN_SYNC);
        KUNIT_EXPECT_EQ(test, velGetState(other.ams), VEL_AMS_IN_SYNC);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == velAMRF);
        KUNIT_EXPECT_EQ(test, write_blocks(&other, 10, 1), 1);
        KUNIT_EXPECT_EQ(test, write_blocks(&bk, 10, 1), 1);
        KUNIT_EXPECT_EQ(test, blockInMap(&other.ams->map, 10), -1);
        KUNIT_EXPECT_EQ(test, blockInMap(&bk.ams->map, 10), 0);

        test_release(&bk.tf);
        bk.opened = 0;
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == velAMRF);
        KUNIT_EXPECT_EQ(test, write_blocks(&other, 11, 1), 1);
        KUNIT_EXPECT_EQ(test, blockInMap(&other.ams->map, 11), -1);
        KUNIT_EXPECT_EQ(test, close_session_of(AMS_P1), 0);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == velAMRF);
        untrack_device(&other);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == own);
        KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
    untrack_device(&other);
    untrack_device(&bk);
    close_session_of(AMS_P1);
    test_disk_remove(AMS_MAJOR, 0, 2);
}

/*
 * amList[8][257] would be amList[9][1] in a flat table: a device (8, 257)
 * must never reach the session of (9, 1), whatever path it takes.
 */
#define ALIAS_DISK STANDIN_MKDEV(9, 0)
#define ALIAS_P1 (ALIAS_DISK + 1)
#define WIDE_DISK STANDIN_MKDEV(8, 256)
#define WIDE_P1 (WIDE_DISK + 1)

static void numbers_without_a_slot(struct kunit *test) {
    static const struct test_part parts[] = {{64, 8000}};
    struct tracked alias, wide;
    memset(&alias, 0, sizeof(alias));
    memset(&wide, 0, sizeof(wide));
    if (test_disk_create("alias", 9, 0, 10000, parts, 1, 4096) == 0 &&
        test_disk_create("wide", 8, 256, 10000, parts, 1, 4096) == 0 &&
        track_device(&alias, ALIAS_P1, 0, velAMRF) == 0) {
        struct request_queue *q = queue_of(WIDE_DISK);
        make_request_fn *own = current_mrf(q);
        /* No session for it... */
        KUNIT_EXPECT_EQ(test, track_device(&wide, WIDE_P1, 0, NULL), VEL_ERR_INVALID);
        KUNIT_EXPECT_NULL(test, wide.ams);
        KUNIT_EXPECT_TRUE(test, slot_of(ALIAS_P1) == alias.ams);
        KUNIT_EXPECT_NULL(test, getAMS(WIDE_P1));
        KUNIT_EXPECT_NULL(test, getAMS(MKDEV(300, 1)));
        KUNIT_EXPECT_EQ(test, closeAMS(wide.b), VEL_ERR_INVALID);
        KUNIT_EXPECT_TRUE(test, slot_of(ALIAS_P1) == alias.ams);

        /* ... its writes through the hook reach the disk and no map... */
        KUNIT_EXPECT_EQ(test, setMRF(wide.b, velAMRF), 0);
        KUNIT_EXPECT_EQ(test, write_blocks(&wide, 1, 4), 1);
        struct block_device *whole = bdget(WIDE_DISK);
        struct bio *bio = bare_bio(whole, 64 + 8, 4096, WRITE);
        updateAM(bio, 257);
        bio_put(bio);
        bdput(whole);
        u32 first;
        KUNIT_EXPECT_EQ(test, bits_set(&alias.ams->map, &first), 0u);

        /* ... and the registry's look-ups do not find one either. */
        KUNIT_EXPECT_EQ(test, countQueueAMS(q), 0);
        errorAMSDEV(WIDE_P1);
        KUNIT_EXPECT_EQ(test, velGetState(alias.ams), VEL_AMS_IN_SYNC);
        unsetQueueMRFAMS(q);
        KUNIT_EXPECT_EQ(test, velGetState(alias.ams), VEL_AMS_IN_SYNC);
        KUNIT_EXPECT_TRUE(test, current_mrf(q) == own);
        KUNIT_EXPECT_EQ(test, atomic_read(&amListUsers), 1);

        /* A backup of it is refused before anything starts. */
        klog_clear();
        KUNIT_EXPECT_EQ(test, ioctlStartBackup(wide.b, WIDE_P1, 1000, 64), VEL_ERR_INVALID);
        KUNIT_EXPECT_LOG(test, "ioctlStartBackup: device major=8 minor=257 not valid");
        KUNIT_EXPECT_EQ(test, velGetState(wide.b), VEL_STATE_IDLE);
        KUNIT_EXPECT_EQ(test, ioctlStartBackup(wide.b, MKDEV(300, 1), 1000, 64), VEL_ERR_INVALID);
        KUNIT_EXPECT_LOG(test, "ioctlStartBackup: device major=300 minor=1 not valid");
    } else {
        KUNIT_EXPECT_TRUE(test, false);
    }
    untrack_device(&wide);
    untrack_device(&alias);
    test_disk_remove(8, 256, 1);
    test_disk_remove(9, 0, 1);
}

static struct kunit_case session_cases[] = {
    KUNIT_CASE(write_beyond_the_map),   KUNIT_CASE(close_waits_for_the_writers_inside),
    KUNIT_CASE(error_with_one_session), KUNIT_CASE(error_with_two_sessions),
    KUNIT_CASE(numbers_without_a_slot), {},
};

static struct kunit_suite session_suite = {"automap_session", session_cases, "velmora"};
kunit_test_suite(session_suite);
