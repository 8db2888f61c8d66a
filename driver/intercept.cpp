/*
 * The hooks through which every bio of a tracked request queue passes: the
 * copy-on-write decision, the automap update, then the queue's own function.
 */
#include <linux/kernel.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/sched.h>
#include <linux/netdevice.h>

#include "intercept.h"
#include "automap.h"
#include "backup.h"
#include "queue_registry.h"

/*
 * Tasks inside a hook. The block layer calls a hook without a reference on
 * this module, so unloading waits for them (waitForHookUsers).
 */
static atomic_t hookUsers = ATOMIC_INIT(0);

static int interceptBio(struct request_queue *q, struct bio *bio) {
    set_current_state(TASK_RUNNING);
    /* Once the bio is handed on it may complete and be freed: the automap
     * is updated from what it was on arrival. */
    struct bio arrived = *bio;
    int bioMinor = BIOToMinor(q, bio);
    int cachedBlock = cacheMRFBlock(q, bio, bioMinor);
    /* Every bio that writes is recorded, read-ahead bit or not: a missed
     * write would be missing from the next incremental backup. */
    if (arrived.bi_rw & RW_MASK)
        updateAM(&arrived, bioMinor);
    if (cachedBlock > 0)
        return 0;
    make_request_fn *fn = getRealMRF(q);
    if (fn)
        return fn(q, bio);
    printk(KERN_CRIT "%s: request intercepted for unknown device major=%d minor=%d\n", "velMRF",
           MAJOR(arrived.bi_bdev->bd_dev), bioMinor);
    BUG();
}

static int recordBio(struct request_queue *q, struct bio *bio) {
    int writes = (bio->bi_rw & RW_MASK) != 0;
    /* Between backups a read concerns nobody: it skips the lookup of its
     * device. */
    if (writes || ACCESS_ONCE(activeSession)) {
        int bioMinor = BIOToMinor(q, bio);
        if (writes)
            updateAM(bio, bioMinor);
        /* While a backup still holds requests, a bio for one of their blocks
         * queues behind them even after the backup's hook was given up. */
        if (followQueuedRequests(q, bio, bioMinor))
            return 0;
    }
    make_request_fn *fn = getRealMRF(q);
    if (fn)
        return fn(q, bio);
    printk(KERN_CRIT "%s: request intercepted for unknown device major=%d realMRF=%p\n", "velAMRF",
           MAJOR(bio->bi_bdev->bd_dev), (void *)fn);
    BUG();
}

int velMRF(struct request_queue *q, struct bio *bio) {
    atomic_inc(&hookUsers);
    int ret = interceptBio(q, bio);
    atomic_dec(&hookUsers);
    return ret;
}

int velAMRF(struct request_queue *q, struct bio *bio) {
    atomic_inc(&hookUsers);
    int ret = recordBio(q, bio);
    atomic_dec(&hookUsers);
    return ret;
}

/*
 * A task may have loaded a hook's address before the queue lost it and not
 * yet be counted in: the first grace period waits for it to count itself in
 * or pass; the second, for tasks that counted themselves out and have yet to
 * return from the hook.
 */
void waitForHookUsers(void) {
    synchronize_net();
    while (atomic_read(&hookUsers)) {
        set_current_state(TASK_UNINTERRUPTIBLE);
        schedule_timeout(1);
    }
    synchronize_net();
}
