#ifndef STANDIN_BYTE_IO_H
#define STANDIN_BYTE_IO_H

/*
 * A block device read and written as a program does with O_DIRECT: every
 * range becomes bios submitted through the block layer (partitions
 * remapped, a hook on the queue sees them), waited for; nothing is cached.
 * What a bridge that serves the machine's disks to the host builds on.
 * Built-in types only, so kernel and host code can both include it.
 *
 * Devices are named as in <standin/disk.h>. Functions return 0 (or a count)
 * or a negative errno. They may sleep; a handle may be used by several
 * threads at once.
 */

#ifdef __cplusplus
extern "C" {
#endif

struct standin_bdev_io;

/* Opens the device (as a program's open does: the disk stays busy until the
 * close). -ENXIO when no disk owns the number or the partition is empty. */
int standin_bdev_io_open(unsigned int dev, struct standin_bdev_io **out);
int standin_bdev_io_close(struct standin_bdev_io *h);
/* Size of the open device in bytes; it keeps its size after its disk went. */
unsigned long long standin_bdev_io_size(struct standin_bdev_io *h);
/*
 * Offset and length in whole 512-byte sectors, inside the device, else
 * -EINVAL. -EIO when a bio failed (the disk failed it, or is gone); the data
 * of a failed read is undefined. -ENOMEM when the kernel ran out of pages
 * or bios.
 */
int standin_bdev_io_read(struct standin_bdev_io *h, unsigned long long offset, void *buf,
                         unsigned long long len);
int standin_bdev_io_write(struct standin_bdev_io *h, unsigned long long offset, const void *buf,
                          unsigned long long len);
/* What the disk holds so far made durable in its backing store (an image
 * file is synced); -EIO when the disk is gone or the sync failed. */
int standin_bdev_io_sync(struct standin_bdev_io *h);

/*
 * The kernel's name of partition `partno` (0: the whole disk) of the disk
 * whose whole-disk device is `disk_dev`, as bdevname gives it ("sda",
 * "sda1", "mmcblk0p1"), whether or not that partition exists now. -ENXIO
 * when there is no such disk, -EINVAL when the disk has no minor for partno.
 */
int standin_disk_part_name(unsigned int disk_dev, int partno, char *buf, unsigned long size);

#ifdef __cplusplus
}
#endif

#endif
