/* A hooked request queue and the devices registered under it. */
#ifndef VELMORA_QUEUELIST_H
#define VELMORA_QUEUELIST_H

#include <linux/list.h>
#include <linux/blkdev.h>

typedef struct QueueList {
    struct request_queue *rQueue;
    make_request_fn *realMRF; /* the queue's own function, saved before hooking */
    struct list_head devList;
    struct list_head list;
} QueueList;

#endif
