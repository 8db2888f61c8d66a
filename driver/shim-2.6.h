/*
 * The adaptation layer: the kernel operations whose form depends on the
 * kernel release. The rest of the driver reaches module and character-device
 * internals only through these.
 */
#ifndef VELMORA_SHIM_26_H
#define VELMORA_SHIM_26_H

#include <linux/fs.h>
#include <linux/blkdev.h>

int velModRegister(unsigned int major, const char *name, struct file_operations *fops);
int velCheckModUse(void);
int velModGet(void);
void velModPut(void);

/* The request queue of a block device; NULL without a device or a disk. */
struct request_queue *velGetRequestQueue(struct block_device *bdev);
/* The queue's own lock around a change of its make_request_fn; a queue
 * without a lock is left alone. */
void velLockRequestQueue(struct request_queue *q, unsigned long *flags);
void velUnlockRequestQueue(struct request_queue *q, unsigned long flags);

#endif
