/*
 * Which function a tracked device's request queue carries, and when that
 * changes: velMRF from a backup's snapshot to its end, velAMRF while any
 * device on the queue has a session recording its writes, the queue's own
 * function otherwise.
 */
#ifndef VELMORA_HOOK_POLICY_H
#define VELMORA_HOOK_POLICY_H

#include <linux/types.h>
#include <linux/blkdev.h>

#include "automap.h"

struct Backup;

/* The backup hook on the device's queue before its snapshot; 1 when the
 * device has no queue. */
int hookForSnapshot(struct Backup *b);
/* After a backup whose state was `state`: velAMRF while sessions remain on
 * the queue, else the queue's own function. */
void hookAfterBackup(struct Backup *b, u32 state);
/* A backup failed: its session is out of sync, its queue keeps velAMRF for
 * the others or, when that cannot be, loses every session and its hook. */
void errorAMS(struct Backup *b);
void errorAMSDEV(dev_t kdev);
void unsetQueueMRFAMS(struct request_queue *q);
int countQueueAMS(struct request_queue *q);
/* A session out of the table and off its queue: the device's, or all. */
int closeAMS(struct Backup *b);
void closeAllAMS(void);

#endif
