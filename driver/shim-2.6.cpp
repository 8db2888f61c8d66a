/*
 * The adaptation layer: module references and character-device registration.
 * The reference drop is the kernel's inline decrement up to 2.6.19 and an
 * exported call later; <linux/module.h> provides the right one.
 */
#include <linux/module.h>
#include <linux/fs.h>
#include <linux/blkdev.h>

#include "shim-2.6.h"

int velModRegister(unsigned int major, const char *name, struct file_operations *fops) {
    fops->owner = THIS_MODULE;
    return register_chrdev(major, name, fops);
}

/* Every open file holds a module reference, so the kernel itself keeps the
 * module loaded while it is in use; there is nothing else to check. */
int velCheckModUse(void) {
    return 0;
}

int velModGet(void) {
    return try_module_get(THIS_MODULE) ? 0 : 1;
}

void velModPut(void) {
    module_put(THIS_MODULE);
}

struct request_queue *velGetRequestQueue(struct block_device *bdev) {
    if (!bdev || !bdev->bd_disk)
        return NULL;
    return bdev_get_queue(bdev);
}

void velLockRequestQueue(struct request_queue *q, unsigned long *flags) {
    if (q->queue_lock)
        spin_lock_irqsave(q->queue_lock, *flags);
}

void velUnlockRequestQueue(struct request_queue *q, unsigned long flags) {
    if (q->queue_lock)
        spin_unlock_irqrestore(q->queue_lock, flags);
}
