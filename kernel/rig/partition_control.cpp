/*
 * The machine room's hands on partitions: set them directly, read them back
 * from the kernel's own partition records, or have the table read again. As
 * the partition ioctls do, they hold the whole disk's bd_mutex over the
 * records; a partition's own bd_mutex comes first, as in its open.
 */
#include <linux/kernel.h>
#include <linux/genhd.h>
#include <linux/fs.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "../src/internal.h"

/* The disk whose whole-disk device is disk_dev, found by number (the device
 * may be closed), with its block device referenced. */
static struct gendisk *whole_disk(unsigned int disk_dev, struct block_device **bdevp) {
    struct gendisk *disk = bdev_lookup(disk_dev, NULL, NULL);
    if (!disk || MKDEV((unsigned int)disk->major, (unsigned int)disk->first_minor) != disk_dev)
        return NULL;
    *bdevp = bdget(disk_dev);
    return disk;
}

/* BLKRRPART: on an open whole disk, so the table is read through its queue
 * while this task holds its bd_mutex. */
extern "C" int standin_disk_rescan(unsigned int disk_dev) {
    struct block_device *whole;
    struct gendisk *disk = whole_disk(disk_dev, &whole);
    if (!disk)
        return -ENODEV;
    int ret = bdev_open(whole);
    if (ret == 0) {
        bd_lock(whole);
        ret = rescan_partitions(disk, whole);
        bd_unlock(whole);
        bdev_close(whole);
    } else {
        ret = -ENODEV;
    }
    bdput(whole);
    return ret;
}

extern "C" int standin_disk_set_partition(unsigned int disk_dev, int partno,
                                          unsigned long long start, unsigned long long sectors) {
    struct block_device *whole;
    struct gendisk *disk = whole_disk(disk_dev, &whole);
    if (!disk)
        return -ENODEV;
    if (partno < 1 || partno >= disk->minors) {
        bdput(whole);
        return -EINVAL;
    }
    struct block_device *part =
        bdget(MKDEV((unsigned int)disk->major, (unsigned int)(disk->first_minor + partno)));
    int ret = 0;
    bd_lock(part);
    if (part->bd_openers) {
        ret = -EBUSY; /* mounted, or open by a program */
    } else {
        bd_lock(whole);
        if (sectors)
            ret = add_partition(disk, partno, start, sectors);
        else
            delete_partition(disk, partno);
        bd_unlock(whole);
    }
    bd_unlock(part);
    bdput(part);
    bdput(whole);
    return ret;
}

extern "C" int standin_disk_partition(unsigned int disk_dev, int partno, unsigned long long *start,
                                      unsigned long long *sectors) {
    struct block_device *whole;
    struct gendisk *disk = whole_disk(disk_dev, &whole);
    if (!disk)
        return -ENODEV;
    int ret = -ENOENT;
    bd_lock(whole);
    struct hd_struct *p = NULL;
    if (partno >= 1 && partno < disk->minors) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
        if (partno < disk->part_tbl->len)
            p = disk->part_tbl->part[partno];
#else
        p = disk->part[partno - 1];
#endif
    }
    if (p) {
        *start = p->start_sect;
        *sectors = p->nr_sects;
        ret = 0;
    }
    bd_unlock(whole);
    bdput(whole);
    return ret;
}
