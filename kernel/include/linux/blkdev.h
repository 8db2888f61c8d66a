#ifndef _LINUX_BLKDEV_H
#define _LINUX_BLKDEV_H

#include <linux/types.h>
#include <linux/fs.h>

struct bio;
struct request_queue;

typedef int(make_request_fn)(struct request_queue *q, struct bio *bio);

#endif
