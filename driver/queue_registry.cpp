/*
 * The registry of hooked request queues: for each queue whose
 * make_request_fn we replaced, the queue's own function and the devices
 * tracked on it. Readers count themselves in on queueListUsers; a writer
 * drains them and keeps queueListUsersLock while it changes the list.
 * Lock order: queueListUsersLock, then amListUsersLock or a queue's lock.
 */
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/string.h>

#include "queue_registry.h"
#include "backup.h"
#include "intercept.h"
#include "user_count.h"
#include "shim-2.6.h"

LIST_HEAD(queueListHead);
atomic_t queueListUsers = ATOMIC_INIT(1);
DEFINE_SPINLOCK(queueListUsersLock);

static void queueListReaderIn(void) {
    usersIn(&queueListUsersLock, &queueListUsers);
}

static void queueListReaderOut(void) {
    atomic_dec(&queueListUsers);
}

static void waitForQueueListUsers(unsigned long *flags) {
    drainUsers(&queueListUsersLock, &queueListUsers, flags);
}

/* Reader or writer: the node of a queue. */
static QueueList *findQueue(struct request_queue *q) {
    QueueList *node;
    list_for_each_entry(node, &queueListHead, list) {
        if (node->rQueue == q)
            return node;
    }
    return NULL;
}

/* The hook pointer is read by the block layer without the queue lock. */
static make_request_fn *queueMRF(struct request_queue *q) {
    return ACCESS_ONCE(q->make_request_fn);
}

static void setQueueMRF(struct request_queue *q, make_request_fn *fn) {
    ACCESS_ONCE(q->make_request_fn) = fn;
}

static DevList *findDev(QueueList *queueList, dev_t kdev) {
    DevList *dev;
    if (!queueList)
        return NULL;
    list_for_each_entry(dev, &queueList->devList, list) {
        if (dev->kdev == kdev)
            return dev;
    }
    return NULL;
}

static int isInDevList(QueueList *queueList, dev_t kdev) {
    return findDev(queueList, kdev) != NULL;
}

static int addDevToList(QueueList *queueList, dev_t kdev, DevList *newNode) {
    if (!queueList || isInDevList(queueList, kdev))
        return 0;
    newNode->kdev = kdev;
    list_add_tail(&newNode->list, &queueList->devList);
    return 1;
}

int isInQueueList(struct request_queue *q, dev_t kdev) {
    if (!q)
        return 0;
    queueListReaderIn();
    int found = isInDevList(findQueue(q), kdev);
    queueListReaderOut();
    return found;
}

int isTrackedAs(struct request_queue *q, DiskInfo *di) {
    queueListReaderIn();
    DevList *dev = findDev(findQueue(q), di->kdev);
    int same = dev && dev->start == di->partitionStart && dev->len == di->partitionLen;
    queueListReaderOut();
    return same;
}

/* Registry nodes are never given up on: the caller is about to hook. */
static void *allocNode(size_t size) {
    void *p;
    while (!(p = kmalloc(size, GFP_NOIO)))
        schedule();
    memset(p, 0, size);
    return p;
}

void addQueueToList(struct request_queue *q, DiskInfo *di) {
    if (!q) {
        printk(KERN_ERR "%s: Could not add queue to list (null).%s", __func__, "\n");
        return;
    }
    dev_t kdev = di->kdev;
    QueueList *newQueue = (QueueList *)allocNode(sizeof(QueueList));
    DevList *newDev = (DevList *)allocNode(sizeof(DevList));
    newDev->start = di->partitionStart;
    newDev->len = di->partitionLen;
    int queueLinked = 0, devLinked;
    unsigned long flags, qflags;
    waitForQueueListUsers(&flags);
    QueueList *node = findQueue(q);
    if (node) {
        devLinked = addDevToList(node, kdev, newDev);
    } else if (blk_get_queue(q)) {
        /* The queue's disk is going away: nothing to hook any more. */
        devLinked = 0;
    } else {
        /* The node keeps the queue alive, so that it can be unhooked even
         * after its disk is gone. */
        velLockRequestQueue(q, &qflags);
        newQueue->rQueue = q;
        newQueue->realMRF = queueMRF(q);
        velUnlockRequestQueue(q, qflags);
        INIT_LIST_HEAD(&newQueue->devList);
        devLinked = addDevToList(newQueue, kdev, newDev);
        list_add_tail(&newQueue->list, &queueListHead);
        queueLinked = 1;
    }
    usersRelease(&queueListUsersLock, &queueListUsers, flags);
    if (!queueLinked)
        kfree(newQueue);
    if (!devLinked)
        kfree(newDev);
}

/* Puts another hook on a queue that is registered, registering no device.
 * As a reader of the list, no writer can unregister the queue meanwhile. */
int switchMRF(struct request_queue *q, make_request_fn *newMRF) {
    if (!q)
        return 1;
    queueListReaderIn();
    int registered = findQueue(q) != NULL;
    if (registered) {
        unsigned long flags;
        velLockRequestQueue(q, &flags);
        setQueueMRF(q, newMRF);
        velUnlockRequestQueue(q, flags);
    }
    queueListReaderOut();
    return !registered;
}

/* Reader or writer: the node a device is registered under. */
static QueueList *findDevNode(dev_t kdev) {
    QueueList *node;
    list_for_each_entry(node, &queueListHead, list) {
        if (isInDevList(node, kdev))
            return node;
    }
    return NULL;
}

/*
 * The queue of a device: through its disk while it is open, else the one it
 * is registered under. The kernel forgets a device's disk at its last close
 * (an unmount), and a hooked queue must still be found to be unhooked.
 */
struct request_queue *queueOfDevice(DiskInfo *di) {
    struct request_queue *q = getRequestQueue(di);
    if (q)
        return q;
    queueListReaderIn();
    QueueList *node = findDevNode(di->kdev);
    q = node ? node->rQueue : NULL;
    queueListReaderOut();
    return q;
}

int BIOToMinor(struct request_queue *q, struct bio *bio) {
    dev_t whole = bio->bi_bdev->bd_dev;
    int minor = (int)MINOR(whole);
    queueListReaderIn();
    QueueList *node = findQueue(q);
    if (node) {
        DevList *dev;
        list_for_each_entry(dev, &node->devList, list) {
            if (MAJOR(dev->kdev) != MAJOR(whole) || dev->kdev == whole)
                continue;
            if (dev->start <= bio->bi_sector && bio->bi_sector - dev->start < dev->len) {
                minor = (int)MINOR(dev->kdev);
                break;
            }
        }
    }
    queueListReaderOut();
    return minor;
}

int setMRF(Backup *b, make_request_fn *newMRF) {
    struct request_queue *q = queueOfDevice(&b->diskInfo);
    if (!q)
        return 1;
    if (!isInQueueList(q, b->diskInfo.kdev)) {
        addQueueToList(q, &b->diskInfo);
        /* A queue whose disk is going away is not hooked. */
        if (!isInQueueList(q, b->diskInfo.kdev))
            return 1;
    }
    unsigned long flags;
    velLockRequestQueue(q, &flags);
    setQueueMRF(q, newMRF);
    velUnlockRequestQueue(q, flags);
    return 0;
}

make_request_fn *getRealMRF(struct request_queue *q) {
    if (!q) {
        printk(KERN_WARNING "%s: Can't get MRF on NULL queue.%s", __func__, "\n");
        return NULL;
    }
    queueListReaderIn();
    QueueList *node = findQueue(q);
    make_request_fn *fn = node ? node->realMRF : NULL;
    if (!fn) {
        /* Not registered, so not hooked: its current function is its own.
         * This also serves a bio that entered a hook just before the queue
         * was unhooked. */
        unsigned long flags;
        velLockRequestQueue(q, &flags);
        fn = queueMRF(q);
        velUnlockRequestQueue(q, flags);
    }
    queueListReaderOut();
    /* A hook on a queue the registry does not know has lost its real
     * function: handing the hook back would recurse for ever. */
    if (fn == velMRF || fn == velAMRF)
        return NULL;
    return fn;
}

/* Found by device number, so a device whose disk was closed is unhooked
 * all the same. */
void unSetMRFDEV(DiskInfo *diskInfo) {
    unsigned long flags, qflags;
    make_request_fn *restore = NULL;
    int freed = 0;
    waitForQueueListUsers(&flags);
    QueueList *node = findDevNode(diskInfo->kdev);
    if (!node) {
        usersRelease(&queueListUsersLock, &queueListUsers, flags);
        if (!getRequestQueue(diskInfo))
            printk(KERN_WARNING
                   "%s: Unable to get request queue for MAJOR=%d, MINOR=%d while unsetting MRF.",
                   __func__, MAJOR(diskInfo->kdev), MINOR(diskInfo->kdev));
        return;
    }
    struct request_queue *q = node->rQueue;
    DevList *dev, *next;
    list_for_each_entry_safe(dev, next, &node->devList, list) {
        if (dev->kdev != diskInfo->kdev)
            continue;
        list_del(&dev->list);
        kfree(dev);
    }
    if (list_empty(&node->devList)) {
        restore = node->realMRF;
        list_del(&node->list);
        kfree(node);
        freed = 1;
    }
    velLockRequestQueue(q, &qflags);
    if (restore && restore != queueMRF(q))
        setQueueMRF(q, restore);
    velUnlockRequestQueue(q, qflags);
    usersRelease(&queueListUsersLock, &queueListUsers, flags);
    if (freed)
        blk_put_queue(q);
}

/* A writer: takes every device off q and gives q its own function back;
 * each(kdev, ctx) is told of each device as it goes. */
void unhookQueue(struct request_queue *q, void (*each)(dev_t, void *), void *ctx) {
    unsigned long flags, qflags;
    waitForQueueListUsers(&flags);
    QueueList *node = findQueue(q);
    if (!node) {
        usersRelease(&queueListUsersLock, &queueListUsers, flags);
        return;
    }
    DevList *dev, *next;
    list_for_each_entry_safe(dev, next, &node->devList, list) {
        each(dev->kdev, ctx);
        list_del(&dev->list);
        kfree(dev);
    }
    if (!node->realMRF) {
        printk(KERN_CRIT "%s: Could not find real make request fn for queue.%s", "unsetQueueMRFAMS",
               "\n");
        BUG();
    }
    velLockRequestQueue(q, &qflags);
    setQueueMRF(q, node->realMRF);
    velUnlockRequestQueue(q, qflags);
    list_del(&node->list);
    kfree(node);
    usersRelease(&queueListUsersLock, &queueListUsers, flags);
    blk_put_queue(q);
}

void forEachQueueDevice(struct request_queue *q, void (*each)(dev_t, void *), void *ctx) {
    queueListReaderIn();
    QueueList *node = findQueue(q);
    DevList *dev;
    if (node)
        list_for_each_entry(dev, &node->devList, list) each(dev->kdev, ctx);
    queueListReaderOut();
}

void forEachDeviceBeside(dev_t kdev, void (*each)(dev_t, void *), void *ctx) {
    queueListReaderIn();
    QueueList *node = findDevNode(kdev);
    DevList *dev;
    if (node)
        list_for_each_entry(dev, &node->devList, list) each(dev->kdev, ctx);
    queueListReaderOut();
}
