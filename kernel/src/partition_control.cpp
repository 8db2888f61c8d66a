/*
 * The machine room's hands on partitions: set them directly, read them back
 * from the kernel's own partition records, or have the table read again.
 */
#include <linux/kernel.h>
#include <linux/genhd.h>
#include <linux/fs.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "internal.h"

/* The disk whose whole-disk device is disk_dev, with bdev referenced. */
static struct gendisk *whole_disk(unsigned int disk_dev, struct block_device **bdevp) {
    struct block_device *bdev = bdget(disk_dev);
    if (!bdev->bd_disk || bdev->bd_contains != bdev) {
        bdput(bdev);
        return NULL;
    }
    *bdevp = bdev;
    return bdev->bd_disk;
}

static int partition_mounted(struct gendisk *disk, int partno) {
    struct block_device *part =
        bdget(MKDEV((unsigned int)disk->major, (unsigned int)(disk->first_minor + partno)));
    int busy = bdev_in_use(part);
    bdput(part);
    return busy;
}

extern "C" int standin_disk_rescan(unsigned int disk_dev) {
    struct block_device *bdev;
    struct gendisk *disk = whole_disk(disk_dev, &bdev);
    if (!disk)
        return -ENODEV;
    int ret = rescan_partitions(disk);
    bdput(bdev);
    return ret;
}

extern "C" int standin_disk_set_partition(unsigned int disk_dev, int partno,
                                          unsigned long long start, unsigned long long sectors) {
    struct block_device *bdev;
    struct gendisk *disk = whole_disk(disk_dev, &bdev);
    if (!disk)
        return -ENODEV;
    int ret = 0;
    if (partno < 1 || partno >= disk->minors)
        ret = -EINVAL;
    else if (sectors)
        ret = add_partition(disk, partno, start, sectors);
    else if (partition_mounted(disk, partno))
        ret = -EBUSY;
    else
        delete_partition(disk, partno);
    bdput(bdev);
    return ret;
}

extern "C" int standin_disk_partition(unsigned int disk_dev, int partno, unsigned long long *start,
                                      unsigned long long *sectors) {
    struct block_device *bdev;
    struct gendisk *disk = whole_disk(disk_dev, &bdev);
    if (!disk)
        return -ENODEV;
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
    }
    bdput(bdev);
    return p ? 0 : -ENOENT;
}
