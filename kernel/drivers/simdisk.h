/*
 * The simulated disk controller shared by the RAM disk and the image disk: a
 * make_request_fn that queues each bio for the controller's completion
 * thread, which moves the data from or to the backing store and ends the bio
 * in simulated interrupt context, after the disk's latency, failing the
 * sectors it was told to fail.
 */
#ifndef STANDIN_DRIVERS_SIMDISK_H
#define STANDIN_DRIVERS_SIMDISK_H

#include <linux/types.h>

struct host_iovec;

struct simdisk_backend {
    const char *kind; /* "ramdisk", "imagedisk" */
    /* Moves len bytes at byte offset off of the disk; 0 or -errno. */
    int (*io)(struct simdisk_backend *b, int rw, unsigned long long off, void *buf,
              unsigned long len);
    /* Optional: moves the pieces, len bytes in all, at byte offset off, in
     * one go; 0 or -errno. */
    int (*iov)(struct simdisk_backend *b, int rw, unsigned long long off,
               const struct host_iovec *iov, int count, unsigned long len);
    /* Optional: makes the writes so far durable; 0 or -errno. */
    int (*sync)(struct simdisk_backend *b);
    void (*release)(struct simdisk_backend *b);
};

/* Creates and adds the disk; the backend belongs to it from then on (also
 * when this fails). own_queue_lock: the queue has a queue_lock. */
int simdisk_create(struct simdisk_backend *backend, const char *name, unsigned int major,
                   unsigned int first_minor, int minors, unsigned long long sectors,
                   int own_queue_lock);

#endif
