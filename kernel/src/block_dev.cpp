/*
 * Block devices: one struct block_device per device number, shared by every
 * bdget() of that number. A disk that is added holds a reference on the block
 * device of itself and of each partition and ties them to it (bd_disk,
 * bd_contains, bd_part); a number that belongs to no disk still gets a block
 * device, without a disk, as on the real kernel.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/string.h>

#include "internal.h"

struct bdev_entry {
    struct block_device bdev;
    struct inode inode;
    int attached; /* the disk's reference is among bd_count */
};

static struct host_mutex bdev_lock;
static LIST_HEAD(all_bdevs);

static struct bdev_entry *entry_of(struct block_device *bdev) {
    return container_of(bdev, struct bdev_entry, bdev);
}

static struct block_device *find_locked(dev_t dev) {
    struct block_device *bdev;
    list_for_each_entry(bdev, &all_bdevs, bd_list) {
        if (bdev->bd_dev == dev)
            return bdev;
    }
    return NULL;
}

static struct block_device *create_locked(dev_t dev) {
    struct bdev_entry *e = (struct bdev_entry *)host_calloc(1, sizeof(*e));
    struct block_device *bdev = &e->bdev;
    bdev->bd_dev = dev;
    bdev->bd_inode = &e->inode;
    bdev->bd_block_size = 512;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    mutex_init(&bdev->bd_mutex);
#else
    init_MUTEX(&bdev->bd_sem);
#endif
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    mutex_init(&bdev->bd_fsfreeze_mutex);
#else
    init_MUTEX(&bdev->bd_mount_sem);
#endif
    e->inode.i_rdev = dev;
    e->inode.i_mode = S_IFBLK;
    e->inode.i_bdev = bdev;
    atomic_set(&e->inode.i_count, 1);
    list_add_tail(&bdev->bd_list, &all_bdevs);
    return bdev;
}

static void release_locked(struct block_device *bdev) {
    if (!atomic_dec_and_test(&bdev->bd_count))
        return;
    list_del(&bdev->bd_list);
    host_free(entry_of(bdev));
}

extern "C" struct block_device *bdget(dev_t dev) {
    might_sleep();
    host_mutex_lock(&bdev_lock);
    struct block_device *bdev = find_locked(dev);
    if (!bdev)
        bdev = create_locked(dev);
    atomic_inc(&bdev->bd_count);
    host_mutex_unlock(&bdev_lock);
    return bdev;
}

extern "C" void bdput(struct block_device *bdev) {
    if (!bdev)
        return;
    if (atomic_read(&bdev->bd_count) <= 0)
        kernel_die("BUG: bdput of block device %u:%u that has no reference\n", MAJOR(bdev->bd_dev),
                   MINOR(bdev->bd_dev));
    host_mutex_lock(&bdev_lock);
    release_locked(bdev);
    host_mutex_unlock(&bdev_lock);
}

struct block_device *bdev_attach(struct gendisk *disk, int partno, struct hd_struct *part) {
    dev_t dev = MKDEV((unsigned int)disk->major, (unsigned int)(disk->first_minor + partno));
    host_mutex_lock(&bdev_lock);
    struct block_device *bdev = find_locked(dev);
    if (!bdev)
        bdev = create_locked(dev);
    struct bdev_entry *e = entry_of(bdev);
    if (!e->attached) {
        e->attached = 1;
        atomic_inc(&bdev->bd_count);
    }
    bdev->bd_disk = disk;
    bdev->bd_part = part;
    bdev->bd_contains =
        partno ? find_locked(MKDEV((unsigned int)disk->major, (unsigned int)disk->first_minor))
               : bdev;
    e->inode.i_private = disk;
    host_mutex_unlock(&bdev_lock);
    return bdev;
}

void bdev_detach(struct gendisk *disk, int partno) {
    dev_t dev = MKDEV((unsigned int)disk->major, (unsigned int)(disk->first_minor + partno));
    host_mutex_lock(&bdev_lock);
    struct block_device *bdev = find_locked(dev);
    if (bdev && entry_of(bdev)->attached) {
        entry_of(bdev)->attached = 0;
        bdev->bd_disk = NULL;
        bdev->bd_part = NULL;
        bdev->bd_contains = NULL;
        release_locked(bdev);
    }
    host_mutex_unlock(&bdev_lock);
}

sector_t bdev_sectors(struct block_device *bdev) {
    if (!bdev->bd_disk)
        return 0;
    if (bdev->bd_contains != bdev)
        return bdev->bd_part ? bdev->bd_part->nr_sects : 0;
    return get_capacity(bdev->bd_disk);
}

int bdev_in_use(struct block_device *bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    mutex_lock(&bdev->bd_mutex);
    int busy = bdev->bd_openers > 0;
    mutex_unlock(&bdev->bd_mutex);
#else
    down(&bdev->bd_sem);
    int busy = bdev->bd_openers > 0;
    up(&bdev->bd_sem);
#endif
    return busy;
}

static int bdev_partno(struct block_device *bdev) {
    if (!bdev->bd_disk)
        return -1;
    return (int)MINOR(bdev->bd_dev) - bdev->bd_disk->first_minor;
}

extern "C" const char *bdevname(struct block_device *bdev, char *buf) {
    if (!bdev->bd_disk) {
        snprintf(buf, BDEVNAME_SIZE, "unknown-block(%u,%u)", MAJOR(bdev->bd_dev),
                 MINOR(bdev->bd_dev));
        return buf;
    }
    return disk_name(bdev->bd_disk, bdev_partno(bdev), buf);
}
