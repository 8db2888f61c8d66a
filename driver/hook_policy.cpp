/*
 * Which function a tracked device's request queue carries, and when that
 * changes: velMRF from a backup's snapshot to its end, velAMRF while any
 * device on the queue has a session recording its writes, the queue's own
 * function otherwise. The registry does what is decided here; the sessions
 * ask here whenever their tracking starts, fails or ends.
 */
#include <linux/kernel.h>

#include "hook_policy.h"
#include "backup.h"
#include "intercept.h"
#include "queue_registry.h"

int hookForSnapshot(Backup *b) {
    return setMRF(b, velMRF);
}

static void markOutOfSync(dev_t kdev, void *unused) {
    sessionOutOfSync(kdev);
}

static void unSetMRFAMS(AutoMapSession *ams) {
    unSetMRFDEV(&ams->diskInfo);
}

/* Every device of the queue misses its writes from now on. */
void unsetQueueMRFAMS(struct request_queue *q) {
    if (!q) {
        printk(KERN_ERR "%s: Could not unset MRFS for request queue because queue was null.%s",
               __func__, "\n");
        return;
    }
    unhookQueue(q, markOutOfSync, NULL);
}

void errorAMSDEV(dev_t kdev) {
    forEachDeviceBeside(kdev, markOutOfSync, NULL);
}

struct sessionCount {
    dev_t except;
    int count;
};

static void countSession(dev_t kdev, void *ctx) {
    struct sessionCount *c = (struct sessionCount *)ctx;
    if (kdev != c->except && sessionExists(kdev))
        c->count++;
}

/* Sessions of the devices on q other than `except`'s own. */
static int countSessionsBut(struct request_queue *q, dev_t except) {
    if (!q) {
        printk(KERN_ERR
               "%s: Could not count ams sessions for request queue because queue was null.%s",
               "countQueueAMS", "\n");
        return 0;
    }
    struct sessionCount c = {except, 0};
    forEachQueueDevice(q, countSession, &c);
    return c.count;
}

int countQueueAMS(struct request_queue *q) {
    return countSessionsBut(q, (dev_t)-1);
}

static int countOtherQueueAMS(struct request_queue *q, dev_t kdev) {
    return countSessionsBut(q, kdev);
}

void errorAMS(Backup *b) {
    sessionOutOfSync(b->diskInfo.kdev);
    /*
     * The queue keeps the automap-only hook, not its own function, while the
     * backup lives: bios of the device must still queue behind the requests
     * the backup holds. Other sessions on the queue go on recording; closing
     * the backup gives the queue its own function back when none is left.
     */
    if (setMRF(b, velAMRF) == 0)
        return;
    errorAMSDEV(b->diskInfo.kdev);
    unsetQueueMRFAMS(queueOfDevice(&b->diskInfo));
}

/* A session out of the table goes off its queue, then away. */
static void endSession(AutoMapSession *ams) {
    unSetMRFAMS(ams);
    closeAM(ams);
}

int closeAMS(Backup *b) {
    AutoMapSession *ams = takeSession(b->diskInfo.kdev);
    if (!ams)
        return VEL_ERR_INVALID;
    endSession(ams);
    return VEL_OK;
}

void closeAllAMS(void) {
    unsigned int slot = 0;
    AutoMapSession *ams;
    while ((ams = takeNextSession(&slot)))
        endSession(ams);
}

/* Gives the device's queue the hook it keeps after the backup: the automap
 * hook while sessions remain on it, else its own function again. */
void hookAfterBackup(Backup *b, u32 state) {
    /* An idle file never touched a queue. */
    if (state == VEL_STATE_IDLE)
        return;
    AutoMapSession *ams = getAMS(b->diskInfo.kdev);
    int ownSession = ams != NULL;
    if (ams) {
        u32 amsState = velGetState(ams);
        putAMS(ams);
        if (amsState == VEL_AMS_IN_SYNC) {
            if (setMRF(b, velAMRF) == 0)
                return;
            errorAMSDEV(b->diskInfo.kdev);
        }
    }
    /* The queue keeps the automap hook while any other device's session is
     * on it. A device without a session of its own leaves the registry, or
     * nothing would ever unhook it. */
    struct request_queue *q = queueOfDevice(&b->diskInfo);
    if (countOtherQueueAMS(q, b->diskInfo.kdev) >= 1) {
        if (!ownSession)
            unSetMRFDEV(&b->diskInfo);
        if (switchMRF(q, velAMRF) == 0)
            return;
        errorAMSDEV(b->diskInfo.kdev);
    }
    unsetQueueMRFAMS(q);
}
