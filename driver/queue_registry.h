/*
 * The registry of hooked request queues: for each queue whose
 * make_request_fn we replaced, the queue's own function and the devices
 * tracked on it, with their sectors on the disk. Mechanics only: which hook
 * a queue carries is the hook policy's decision.
 */
#ifndef VELMORA_QUEUE_REGISTRY_H
#define VELMORA_QUEUE_REGISTRY_H

#include <linux/list.h>
#include <linux/blkdev.h>
#include <linux/bio.h>
#include <linux/spinlock.h>
#include <asm/atomic.h>

#include "geometry.h"

struct Backup;

/* A hooked request queue and the devices registered under it. */
typedef struct QueueList {
    struct request_queue *rQueue; /* referenced while the node lives */
    make_request_fn *realMRF;     /* the queue's own function, saved before hooking */
    struct list_head devList;
    struct list_head list;
} QueueList;

/* A device registered under a hooked queue, with its sectors on the disk:
 * the hooks tell a bio's device from these, not from the partition table,
 * which they could read only under the disk's mutex. */
typedef struct DevList {
    dev_t kdev;
    sector_t start;
    sector_t len;
    struct list_head list;
} DevList;

extern struct list_head queueListHead;
extern atomic_t queueListUsers;
extern spinlock_t queueListUsersLock;

/* Registers the backup's device under its queue and writes newMRF there;
 * 1 when the device has no queue (or the queue is going away). */
int setMRF(struct Backup *b, make_request_fn *newMRF);
/* Another hook on a registered queue; 1 when the queue is not registered. */
int switchMRF(struct request_queue *q, make_request_fn *newMRF);
/* The queue's own function; NULL for no queue, or for a queue that carries
 * one of our hooks without being registered. */
make_request_fn *getRealMRF(struct request_queue *q);
/* A device's queue, also when its disk was closed since it was registered. */
struct request_queue *queueOfDevice(DiskInfo *di);
/* The tracked device a bio of queue q belongs to, else the whole disk's
 * minor; never sleeps. */
int BIOToMinor(struct request_queue *q, struct bio *bio);
void addQueueToList(struct request_queue *q, DiskInfo *di);
int isInQueueList(struct request_queue *q, dev_t kdev);
/* Whether the device is registered under q with the sectors it has now. */
int isTrackedAs(struct request_queue *q, DiskInfo *di);
/* Takes the device off its queue; the queue's own function goes back when
 * it was the last. */
void unSetMRFDEV(DiskInfo *diskInfo);
/* A writer: every device off q, q's own function back; each() is told. */
void unhookQueue(struct request_queue *q, void (*each)(dev_t, void *), void *ctx);
/* As a reader: each() for every device of q, or of the queue kdev is on. */
void forEachQueueDevice(struct request_queue *q, void (*each)(dev_t, void *), void *ctx);
void forEachDeviceBeside(dev_t kdev, void (*each)(dev_t, void *), void *ctx);

#endif
