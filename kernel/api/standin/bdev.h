#ifndef STANDIN_BDEV_H
#define STANDIN_BDEV_H

/*
 * A program that writes a block device directly, as dd onto the MBR or a
 * boot-loader installer does: open the device, read and write it through its
 * own page cache, close. Writes stay dirty in the cache (reads through any
 * handle of the device see them) until the device's last close, which writes
 * them back through the queue from the closing thread, holding the device's
 * bd_mutex, as a 2.6 kernel's last close does. Built-in types only, so kernel
 * and host code can both include it.
 *
 * Devices are named as in <standin/disk.h>; offsets count from the start of
 * the device. Functions return 0 (a handle for open) or a negative errno.
 * A handle is used by one thread at a time.
 */

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the device (its first open ties it to its disk; a partition's opens
 * the whole disk too). -ENXIO when no disk owns the number, -EMFILE when every
 * handle is taken. */
int standin_bdev_open(unsigned int dev);
/* -EINVAL past the end of the device, -EBADF for a handle that is not open. */
int standin_bdev_read(int handle, unsigned long long offset, void *buf, unsigned long long len);
int standin_bdev_write(int handle, unsigned long long offset, const void *buf,
                       unsigned long long len);
/* Closes the handle; the device's last close writes its dirty pages back and
 * returns -EIO when that failed (the handle is closed either way). */
int standin_bdev_close(int handle);

#ifdef __cplusplus
}
#endif

#endif
