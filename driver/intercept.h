/*
 * The hooks through which every bio of a tracked request queue passes.
 */
#ifndef VELMORA_INTERCEPT_H
#define VELMORA_INTERCEPT_H

#include <linux/blkdev.h>
#include <linux/bio.h>

/* The backup hook: copy-on-write, then the automap update. */
int velMRF(struct request_queue *q, struct bio *bio);
/* The automap-only hook. */
int velAMRF(struct request_queue *q, struct bio *bio);
/* Once no queue holds a hook any more: returns when no task can still be
 * running a hook's code. May sleep. */
void waitForHookUsers(void);

#endif
