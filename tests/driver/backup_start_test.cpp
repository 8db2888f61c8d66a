/*
 * The start and the end of a backup: what a start prepares and publishes,
 * the refusals and what they leave behind, every allocation of the start
 * failing in turn with the release freeing what was built, and the summary a
 * release writes to the log.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <kunit/test.h>
#include <standin/fault.h>

#include "backup_session_fixture.h"

#define NUM_BLOCKS_4K ((u32)(FX_PART_SECTORS * 512 / 4096))

static int busy_flag(void) {
    unsigned long flags;
    spin_lock_irqsave(&busyLock, flags);
    int v = atomic_read(&busy);
    spin_unlock_irqrestore(&busyLock, flags);
    return v;
}

static unsigned int wake_ups(void) {
    unsigned long flags;
    spin_lock_irqsave(&signalThread.lock, flags);
    unsigned int n = signalThread.count;
    spin_unlock_irqrestore(&signalThread.lock, flags);
    return n;
}

static int mmap_size(int fd) {
    State st;
    memset(&st, 0, sizeof(st));
    GetState rec = {&st, sizeof(st), 0};
    return sys::ioctl(fd, VEL_GET_STATE, &rec) == 0 ? st.mmapSize : -1;
}

/* The 26 statistics lines and the closing line, consecutive in the log. */
static void expect_summary(struct kunit *test, const char *const *expected, unsigned int n) {
    long first = fx_log_index(expected[0]);
    KUNIT_ASSERT_GE(test, first, 0L);
    for (unsigned int i = 1; i < n; i++) {
        char line[256];
        KUNIT_EXPECT_EQ(test, standin_klog_line((unsigned long)first + i, line, sizeof(line)), 6);
        KUNIT_EXPECT_STREQ(test, line, expected[i]);
    }
}

static void a_start_prepares_and_a_release_reports(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, fx_disk_up(4096), 0);
    struct block_device *disk = bdget(FX_DISK);
    make_request_fn *own = bdev_get_queue(disk)->make_request_fn;
    int fd = fx_open();
    Backup *b = fx_backup(fd);
    klog_clear();
    KUNIT_ASSERT_EQ(test, fx_start(fd, NUM_BLOCKS_4K, 500), 0);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_STARTED);
    KUNIT_EXPECT_EQ(test, activeSession, b);
    KUNIT_EXPECT_EQ(test, busy_flag(), 1);
    KUNIT_EXPECT_GT(test, backup_cachePID, 0);
    KUNIT_EXPECT_EQ(test, b->startedCacheThread, 1);
    KUNIT_EXPECT_LOG(test, "backup_cache: kbackupd thread started");
    KUNIT_EXPECT_LOG(test, "ioctlStartBackup: backup started for device major=241 minor=1");
    KUNIT_EXPECT_EQ(test, atomic_read(&b->mrInQueue), 0);
    KUNIT_EXPECT_NULL(test, b->mrHead);
    /* Nothing is hooked before the snapshot. */
    KUNIT_EXPECT_EQ(test, bdev_get_queue(disk)->make_request_fn, own);
    KUNIT_EXPECT_EQ(test, b->diskInfo.realMRF, own);
    KUNIT_EXPECT_STREQ(test, b->htCacheName, "velHTf101");
    KUNIT_EXPECT_STREQ(test, b->cpCacheName, "velCPf101");
    KUNIT_EXPECT_STREQ(test, b->dataCacheName, "velDCf101");
    KUNIT_EXPECT_EQ(test, b->maxCacheBlocks, 500u);
    KUNIT_EXPECT_EQ(test, b->cacheMap.size, NUM_BLOCKS_4K);
    KUNIT_EXPECT_EQ(test, mmap_size(fd), 256 * 4096);

    /* The times print with nine fraction digits. */
    b->eTimeToFreeze.tv_sec = 0;
    b->eTimeToFreeze.tv_nsec = 1500;
    b->eTimeFrozen.tv_sec = 2;
    b->eTimeFrozen.tv_nsec = 5;
    klog_clear();
    KUNIT_EXPECT_EQ(test, sys::close(fd), 0);
    const char *const expected[] = {
        "printStats: device: major(241) minor(1)",
        "printStats: state: 7",
        "printStats: block size: 4096",
        "printStats: partition size (KB): 4096",
        "printStats: file system size (blocks): 1024",
        "printStats: pages allocated for write journal: 0",
        "printStats: max cache size in blocks: 500",
        "printStats: total pages allocated: 1",
        "printStats: current pages allocated: 0",
        "printStats: total Block Requests allocated: 0",
        "printStats: current Block Requests allocated: 0",
        "printStats: total cached blocks: 0",
        "printStats: current cached blocks: 0",
        "printStats: peak cached blocks: 0",
        "printStats: total block cache data structures: 0",
        "printStats: current block cache data structures: 0",
        "printStats: total reads from disk: 0",
        "printStats: total reads from cache: 0",
        "printStats: blocks cleaned from cache: 0",
        "printStats: partition start (sector): 2048",
        "printStats: blocks per page: 1",
        "printStats: max buffer size in pages: 256",
        "printStats: buffer pages allocated: 0",
        "printStats: commands processed: 2",
        "printStats: time to freeze in seconds: 0.000001500",
        "printStats: time frozen in seconds: 2.000000005",
        "closeBackup: backup finished device major=241 minor=1",
    };
    expect_summary(test, expected, ARRAY_SIZE(expected));
    KUNIT_EXPECT_EQ(test, klog_count_prefix("printStats:"), 26);
    /* The thread is gone before the summary is written. */
    KUNIT_EXPECT_LT(test, fx_log_index("backup_cache: backupd thread exiting"),
                    fx_log_index(expected[0]));
    KUNIT_EXPECT_NULL(test, activeSession);
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);
    KUNIT_EXPECT_EQ(test, backup_cachePID, 0);
    KUNIT_EXPECT_EQ(test, bdev_get_queue(disk)->make_request_fn, own);
    bdput(disk);
    fx_disk_down();
}

static void mapping_size_follows_the_block_size(struct kunit *test) {
    const struct {
        unsigned int blockSize;
        int pages;
    } cases[] = {{4096, 256}, {2048, 128}, {1024, 64}};
    for (unsigned int i = 0; i < ARRAY_SIZE(cases); i++) {
        KUNIT_ASSERT_EQ(test, fx_disk_up(cases[i].blockSize), 0);
        int fd = fx_open();
        u32 blocks = (u32)(FX_PART_SECTORS * 512 / cases[i].blockSize);
        KUNIT_ASSERT_EQ(test, fx_start(fd, blocks, 10), 0);
        Backup *b = fx_backup(fd);
        KUNIT_EXPECT_EQ(test, b->maxVMPages, cases[i].pages);
        KUNIT_EXPECT_EQ(test, mmap_size(fd), cases[i].pages * 4096);
        KUNIT_EXPECT_EQ(test, (int)b->diskInfo.blocksPerPage, 4096 / (int)cases[i].blockSize);
        sys::close(fd);
        fx_disk_down();
    }
}

static void a_second_start_is_refused_while_one_runs(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, fx_disk_up(4096), 0);
    int first = fx_open(), second = fx_open();
    Backup *b1 = fx_backup(first), *b2 = fx_backup(second);
    KUNIT_ASSERT_EQ(test, fx_start(first, NUM_BLOCKS_4K, 10), 0);
    pid_t thread = backup_cachePID;
    klog_clear();
    KUNIT_EXPECT_EQ(test, fx_start(second, NUM_BLOCKS_4K, 10), VEL_ERR_OTHER_BACKUP);
    KUNIT_EXPECT_EQ(test, velGetState(b2), VEL_STATE_REFUSED);
    KUNIT_EXPECT_EQ(test,
                    fx_log_level("ioctlStartBackup: another backup operation is open can't "
                                 "start backup on device major=241 minor=1",
                                 ""),
                    3);
    /* Neither file is idle any more. */
    klog_clear();
    KUNIT_EXPECT_EQ(test, fx_start(second, NUM_BLOCKS_4K, 10), VEL_ERR_NOT_IDLE);
    KUNIT_EXPECT_EQ(test, fx_start(first, NUM_BLOCKS_4K, 10), VEL_ERR_NOT_IDLE);
    KUNIT_EXPECT_EQ(test,
                    klog_count("ioctlStartBackup: tried to start backup on device major=241 "
                               "minor=1 that is already busy"),
                    2);
    KUNIT_EXPECT_EQ(test, velGetState(b2), VEL_STATE_REFUSED);

    klog_clear();
    sys::close(second);
    KUNIT_EXPECT_LOG(test,
                     "countQueueAMS: Could not count ams sessions for request queue because "
                     "queue was null.");
    KUNIT_EXPECT_LOG(test,
                     "unsetQueueMRFAMS: Could not unset MRFS for request queue because "
                     "queue was null.");
    KUNIT_EXPECT_LOG(test, "printStats: state: 12");
    KUNIT_EXPECT_LOG(test, "closeBackup: backup finished device major=0 minor=0");
    KUNIT_EXPECT_EQ(test, klog_count_prefix("printStats:"), 26);
    /* The first backup runs on untouched. */
    KUNIT_EXPECT_EQ(test, activeSession, b1);
    KUNIT_EXPECT_EQ(test, velGetState(b1), VEL_STATE_STARTED);
    KUNIT_EXPECT_EQ(test, busy_flag(), 1);
    KUNIT_EXPECT_EQ(test, backup_cachePID, thread);
    KUNIT_EXPECT_EQ(test, klog_count("backup_cache: backupd thread exiting"), 0);
    KUNIT_EXPECT_EQ(test, mmap_size(first), 256 * 4096);
    /* Nor does a file that never started anything. */
    sys::close(fx_open());
    KUNIT_EXPECT_EQ(test, busy_flag(), 1);
    KUNIT_EXPECT_EQ(test, activeSession, b1);
    KUNIT_EXPECT_EQ(test, backup_cachePID, thread);
    sys::close(first);
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);
    KUNIT_EXPECT_NULL(test, activeSession);
    fx_disk_down();
}

static int fx_snapshot(int fd) {
    AMSessionKey key;
    memset(&key, 0, sizeof(key));
    SnapShot snap = {&key, sizeof(key), 0};
    return sys::ioctl(fd, VEL_SNAPSHOT, &snap);
}

struct shutdown_call {
    int fd, result;
    struct completion done;
};

static int shutdown_thread(void *arg) {
    struct shutdown_call *c = (struct shutdown_call *)arg;
    unsigned int none = 0;
    c->result = sys::ioctl(c->fd, VEL_SHUTDOWN, &none);
    complete(&c->done);
    return 0;
}

/*
 * The shutdown command is held inside, after its check that no backup runs
 * (a reader of the registry keeps its unhook waiting): a start meanwhile is
 * refused as beside another backup, since a snapshot taken then would lose
 * its hook to the shutdown.
 */
static void a_start_waits_out_a_shutdown(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, fx_disk_up(4096), 0);
    struct block_device *disk = bdget(FX_DISK);
    struct request_queue *q = bdev_get_queue(disk);
    bdput(disk);
    int first = fx_open();
    KUNIT_ASSERT_EQ(test, fx_start(first, NUM_BLOCKS_4K, 10), 0);
    KUNIT_ASSERT_EQ(test, fx_snapshot(first), 0);
    sys::close(first);
    KUNIT_ASSERT_TRUE(test, ACCESS_ONCE(q->make_request_fn) == velAMRF);

    struct shutdown_call c;
    c.fd = fx_open();
    c.result = -1;
    init_completion(&c.done);
    usersIn(&queueListUsersLock, &queueListUsers);
    KUNIT_ASSERT_GT(test, kernel_thread(shutdown_thread, &c, CLONE_KERNEL), 0);
    while (ACCESS_ONCE(amList[FX_MAJOR][1]))
        schedule();
    int late = fx_open();
    KUNIT_EXPECT_EQ(test, fx_start(late, NUM_BLOCKS_4K, 10), VEL_ERR_OTHER_BACKUP);
    atomic_dec(&queueListUsers);
    wait_for_completion(&c.done);
    KUNIT_EXPECT_EQ(test, c.result, 0);
    sys::close(late);
    sys::close(c.fd);

    /* Once it is over, a backup starts and keeps its hook. */
    int next = fx_open();
    KUNIT_EXPECT_EQ(test, fx_start(next, NUM_BLOCKS_4K, 10), 0);
    KUNIT_EXPECT_EQ(test, fx_snapshot(next), 0);
    KUNIT_EXPECT_TRUE(test, ACCESS_ONCE(q->make_request_fn) == velMRF);
    sys::close(next);
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);
    c.fd = fx_open();
    shutdown_thread(&c);
    KUNIT_EXPECT_EQ(test, c.result, 0);
    sys::close(c.fd);
    fx_disk_down();
}

/* A start that cannot read the geometry builds nothing: the file stays idle
 * and can start later, and busy is free for any file. */
static void geometry_failures_leave_the_file_idle(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, fx_disk_up(0), 0);
    int fd = fx_open();
    Backup *b = fx_backup(fd);
    klog_clear();
    KUNIT_EXPECT_EQ(test, fx_start(fd, NUM_BLOCKS_4K, 10), VEL_ERR_NO_FILE_SYSTEM);
    KUNIT_EXPECT_EQ(test,
                    fx_log_level("getDiskInfo: device major=241 minor=1 not found, getting "
                                 "super block failed",
                                 ""),
                    3);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_IDLE);
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);
    KUNIT_EXPECT_EQ(test, klog_count_prefix("backup_cache:"), 0);

    KUNIT_ASSERT_EQ(test, standin_mount(FX_PART, "testfs", 256), 0);
    klog_clear();
    KUNIT_EXPECT_EQ(test, fx_start(fd, NUM_BLOCKS_4K, 10), VEL_ERR_BAD_BLOCK_SIZE);
    KUNIT_EXPECT_EQ(test, fx_log_level("getDiskInfo: device f100001 has bad block size 256", ""),
                    4);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_IDLE);
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);

    /* Devices the automap table has no slot for are refused first. */
    klog_clear();
    KUNIT_EXPECT_EQ(test, fx_start_dev(fd, 256, 1, NUM_BLOCKS_4K, 10), VEL_ERR_INVALID);
    KUNIT_EXPECT_LOG(test, "ioctlStartBackup: device major=256 minor=1 not valid");
    KUNIT_EXPECT_EQ(test, fx_start_dev(fd, FX_MAJOR, 256, NUM_BLOCKS_4K, 10), VEL_ERR_INVALID);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_IDLE);
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);

    /* An idle file goes without a summary. */
    int other = fx_open();
    KUNIT_EXPECT_EQ(test, fx_start(other, NUM_BLOCKS_4K, 10), VEL_ERR_BAD_BLOCK_SIZE);
    klog_clear();
    sys::close(other);
    KUNIT_EXPECT_EQ(test, klog_count_prefix("printStats:"), 0);
    KUNIT_EXPECT_EQ(test, klog_count_prefix("closeBackup:"), 0);

    KUNIT_ASSERT_EQ(test, standin_umount(FX_PART), 0);
    KUNIT_ASSERT_EQ(test, standin_mount(FX_PART, "testfs", 4096), 0);
    /* More blocks than the device has would only size the maps. */
    klog_clear();
    KUNIT_EXPECT_EQ(test, fx_start(fd, 0xFFFFFFFFu, 10), VEL_ERR_INVALID);
    KUNIT_EXPECT_EQ(test,
                    fx_log_level("ioctlStartBackup: device major=241 minor=1 has (1024) "
                                 "blocks, not (4294967295)",
                                 ""),
                    3);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_IDLE);
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);
    KUNIT_EXPECT_EQ(test, fx_start(fd, NUM_BLOCKS_4K, 10), 0);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_STARTED);
    klog_clear();
    sys::close(fd);
    KUNIT_EXPECT_LOG(test, "closeBackup: backup finished device major=241 minor=1");
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);
    fx_disk_down();
}

/* A failure after the geometry keeps what was built, the thread included,
 * until the release. */
static void zero_blocks_fail_at_the_cache_map(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, fx_disk_up(4096), 0);
    int fd = fx_open();
    Backup *b = fx_backup(fd);
    klog_clear();
    KUNIT_EXPECT_EQ(test, fx_start(fd, 0, 10), VEL_ERR_INVALID);
    KUNIT_EXPECT_EQ(test, fx_log_level("newBlockMap: block size size=0 invalid", ""), 3);
    KUNIT_EXPECT_EQ(test, fx_log_level("newCacheMap: error creating cache map of size=0", ""), 3);
    KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_STARTING);
    KUNIT_EXPECT_EQ(test, busy_flag(), 1);
    KUNIT_EXPECT_GT(test, backup_cachePID, 0);
    KUNIT_EXPECT_NULL(test, activeSession);
    KUNIT_EXPECT_EQ(test, fx_start(fd, NUM_BLOCKS_4K, 10), VEL_ERR_NOT_IDLE);
    klog_clear();
    sys::close(fd);
    KUNIT_EXPECT_LOG(test, "printStats: state: 7");
    KUNIT_EXPECT_LOG(test, "backup_cache: backupd thread exiting");
    KUNIT_EXPECT_EQ(test, backup_cachePID, 0);
    KUNIT_EXPECT_EQ(test, busy_flag(), 0);
    fx_disk_down();
}

struct start_fault {
    const char *what;
    struct standin_fault_rule rule;
    int status;
    const char *message; /* NULL: none expected */
};

static void every_allocation_of_the_start_can_fail(struct kunit *test) {
    const char *slabs =
        "ioctlStartBackup: kmem_cache_create failed during backup start major=241 "
        "minor=1";
    const char *map = "newCacheMap: error creating cache map of size=1024";
    const struct start_fault faults[] = {
        {"block table cache",
         {FAULT_SLAB_CREATE, 0, "velHT", 1, 0, 1},
         5,
         "newBlockTable: kmem_cache_create failed for HashTable structs during backup start "
         "major=241 minor=1"},
        {"block table array", {FAULT_VMALLOC, 0, NULL, 1, 0, 1}, 5, NULL},
        {"last bucket", {FAULT_SLAB_ALLOC, 0, "velHT", 1, 4095, 1}, 5, NULL},
        {"cache thread",
         {FAULT_THREAD, 0, NULL, 1, 0, 1},
         -ENOMEM,
         "startWorkQueue: error starting cache thread"},
        {"entry cache", {FAULT_SLAB_CREATE, 0, "velCP", 1, 0, 1}, 5, slabs},
        {"data cache", {FAULT_SLAB_CREATE, 0, "velDC", 1, 0, 1}, 5, slabs},
        {"cache map array", {FAULT_VMALLOC, 0, NULL, 1, 1, 1}, 5, map},
        {"cache map page", {FAULT_PAGES, 0, NULL, 1, 0, 1}, 5, map},
        {"read-request array", {FAULT_VMALLOC, 0, NULL, 1, 2, 1}, 5, NULL},
    };
    KUNIT_ASSERT_EQ(test, fx_disk_up(4096), 0);
    for (unsigned int i = 0; i < ARRAY_SIZE(faults); i++) {
        const struct start_fault *f = &faults[i];
        unsigned long held = standin_module_allocations();
        unsigned int wakeUps = wake_ups();
        struct test_file tf;
        KUNIT_ASSERT_EQ(test, test_open(&tf), 0);
        Backup *b = test_backup(&tf);
        StartBackup rec = {FX_MAJOR, 1, NUM_BLOCKS_4K, 10};
        klog_clear();
        int id = standin_fault_add(&f->rule);
        int status = test_ioctl(&tf, VEL_START_BACKUP, &rec);
        unsigned long hits = standin_fault_hits(id);
        standin_fault_clear();
        if (status != f->status || hits != 1)
            kunit_fail(test, __FILE__, __LINE__, "%s: status %d, %lu faults", f->what, status,
                       hits);
        if (f->message && fx_log_level(f->message, "") != 3)
            kunit_fail(test, __FILE__, __LINE__, "%s: no \"%s\"", f->what, f->message);
        /* Only the geometry's failures leave the file idle. */
        KUNIT_EXPECT_EQ(test, velGetState(b), VEL_STATE_STARTING);
        KUNIT_EXPECT_NULL(test, activeSession);
        KUNIT_EXPECT_EQ(test, busy_flag(), 1);
        test_release(&tf);
        if (standin_module_allocations() != held)
            kunit_fail(test, __FILE__, __LINE__, "%s: release left %lu allocations", f->what,
                       standin_module_allocations() - held);
        KUNIT_EXPECT_EQ(test, busy_flag(), 0);
        /* No thread is left; a failed start leaves its error as the id. */
        KUNIT_EXPECT_EQ(test, backup_cachePID, f->status < 0 ? f->status : 0);
        KUNIT_EXPECT_EQ(test, wake_ups(), wakeUps);
    }
    fx_disk_down();
}

/* The count the failed start took from signalThread came back: the next
 * start's thread is woken for the requests queued to it. */
static void a_failed_thread_start_loses_no_wake_up(struct kunit *test) {
    KUNIT_ASSERT_EQ(test, fx_disk_up(4096), 0);
    int fd = fx_open();
    struct standin_fault_rule rule = {FAULT_THREAD, 0, NULL, 1, 0, 1};
    standin_fault_add(&rule);
    int status = fx_start(fd, NUM_BLOCKS_4K, 10);
    standin_fault_clear();
    KUNIT_EXPECT_EQ(test, status, -1);
    sys::close(fd);
    KUNIT_ASSERT_EQ(test, wake_ups(), 1u);

    fd = fx_open();
    KUNIT_ASSERT_EQ(test, fx_start(fd, NUM_BLOCKS_4K, 10), 0);
    Backup *b = fx_backup(fd);
    fx_copy_on_write(b, VEL_STATE_SNAPSHOT);
    struct block_device *part = bdget(FX_PART);
    struct fx_bio w;
    fx_submit(&w, WRITE, part, 9, 1, 4096, 1);
    fx_wait(&w);
    flushWorkQueue(b);
    KUNIT_EXPECT_TRUE(test, fx_cache_holds(b, 9, 0));
    KUNIT_EXPECT_TRUE(test, fx_disk_holds(9, 1, 4096, 1));
    fx_put(&w);
    bdput(part);
    sys::close(fd);
    fx_disk_down();
}

static struct kunit_case backup_start_cases[] = {
    KUNIT_CASE(a_start_prepares_and_a_release_reports),
    KUNIT_CASE(mapping_size_follows_the_block_size),
    KUNIT_CASE(a_second_start_is_refused_while_one_runs),
    KUNIT_CASE(a_start_waits_out_a_shutdown),
    KUNIT_CASE(geometry_failures_leave_the_file_idle),
    KUNIT_CASE(zero_blocks_fail_at_the_cache_map),
    KUNIT_CASE(every_allocation_of_the_start_can_fail),
    KUNIT_CASE(a_failed_thread_start_loses_no_wake_up),
    {},
};

static struct kunit_suite backup_start_suite = {"backup_start", backup_start_cases, "velmora"};
kunit_test_suite(backup_start_suite);
