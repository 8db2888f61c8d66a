/*
 * Block devices: one struct block_device per device number, shared by every
 * bdget() of that number. A disk that is added holds a reference on the block
 * device of itself and of each partition and registers which disk and
 * partition record each number belongs to; a number that belongs to no disk
 * still gets a block device, without a disk, as on the real kernel.
 *
 * bd_disk, bd_part and bd_contains are tied at the first open and cleared at
 * the last close, as do_open and __blkdev_put do; a partition's first open
 * opens its whole disk, its last close closes it again.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "internal.h"

struct bdev_entry {
    struct block_device bdev;
    struct inode inode;
    int attached; /* the disk's reference is among bd_count */
    /* What the number belongs to while attached, open or not. */
    struct gendisk *disk;
    struct hd_struct *part;
    int partno;
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

static struct block_device *whole_locked(struct gendisk *disk) {
    return find_locked(MKDEV((unsigned int)disk->major, (unsigned int)disk->first_minor));
}

/* Readers of an open device's tie take no lock; nor do readers of bd_openers
 * outside bd_mutex. A tie holds a reference on the disk, which outlives its
 * removal while the device is open. */
static void tie(struct block_device *bdev, struct gendisk *disk, struct hd_struct *part,
                struct block_device *whole) {
    struct gendisk *old = NULL;
    if (disk)
        disk_get(disk);
    else
        old = __atomic_exchange_n(&bdev->bd_disk, disk, __ATOMIC_ACQ_REL);
    __atomic_store_n(&bdev->bd_part, part, __ATOMIC_RELEASE);
    __atomic_store_n(&bdev->bd_contains, whole, __ATOMIC_RELEASE);
    if (disk)
        old = __atomic_exchange_n(&bdev->bd_disk, disk, __ATOMIC_ACQ_REL);
    if (old)
        disk_put(old);
}

static int openers(struct block_device *bdev) {
    return __atomic_load_n(&bdev->bd_openers, __ATOMIC_ACQUIRE);
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
    e->disk = disk;
    e->part = part;
    e->partno = partno;
    /* Real kernels leave bd_disk NULL until the first open; a device never
     * opened keeps this tie, a deliberate leniency for code that bdget()s a
     * disk and submits bios straight away. A partition gets it only while its
     * whole disk has one, as its bios are remapped onto that. */
    struct block_device *whole = partno ? whole_locked(disk) : bdev;
    if (!openers(bdev) &&
        (!partno || (whole && __atomic_load_n(&whole->bd_disk, __ATOMIC_ACQUIRE))))
        tie(bdev, disk, part, whole);
    e->inode.i_private = disk;
    host_mutex_unlock(&bdev_lock);
    return bdev;
}

int bdev_detach(struct gendisk *disk, int partno) {
    dev_t dev = MKDEV((unsigned int)disk->major, (unsigned int)(disk->first_minor + partno));
    int open = 0;
    host_mutex_lock(&bdev_lock);
    struct block_device *bdev = find_locked(dev);
    if (bdev && entry_of(bdev)->attached) {
        struct bdev_entry *e = entry_of(bdev);
        e->attached = 0;
        e->disk = NULL;
        e->part = NULL;
        e->partno = 0;
        open = openers(bdev) > 0;
        if (!open)
            tie(bdev, NULL, NULL, NULL);
        release_locked(bdev);
    }
    host_mutex_unlock(&bdev_lock);
    return open;
}

/* The registration of dev: its disk, partition record and number. */
static struct gendisk *lookup_locked(dev_t dev, struct hd_struct **part, int *partno) {
    struct block_device *bdev = find_locked(dev);
    struct bdev_entry *e = bdev ? entry_of(bdev) : NULL;
    if (!e || !e->disk)
        return NULL;
    if (part)
        *part = e->part;
    if (partno)
        *partno = e->partno;
    return e->disk;
}

struct gendisk *bdev_lookup(dev_t dev, sector_t *start, sector_t *sectors) {
    struct hd_struct *part;
    int partno;
    host_mutex_lock(&bdev_lock);
    struct gendisk *disk = lookup_locked(dev, &part, &partno);
    /* Read under bdev_lock: a partition's record is detached before it is freed. */
    if (disk && start)
        *start = partno ? part->start_sect : 0;
    if (disk && sectors)
        *sectors = partno ? part->nr_sects : get_capacity(disk);
    host_mutex_unlock(&bdev_lock);
    return disk;
}

static struct gendisk *lookup(dev_t dev, struct hd_struct **part, int *partno) {
    host_mutex_lock(&bdev_lock);
    struct gendisk *disk = lookup_locked(dev, part, partno);
    host_mutex_unlock(&bdev_lock);
    return disk;
}

static int do_close(struct block_device *bdev, int for_part);

/* At a whole disk's last close: the partitions still tied by bdev_attach lose
 * that tie with it (none is open, or the whole disk would be). */
static void untie_idle_parts(struct gendisk *disk) {
    struct block_device *bdev;
    host_mutex_lock(&bdev_lock);
    list_for_each_entry(bdev, &all_bdevs, bd_list) {
        if (entry_of(bdev)->disk == disk && entry_of(bdev)->partno && !openers(bdev))
            tie(bdev, NULL, NULL, NULL);
    }
    host_mutex_unlock(&bdev_lock);
}

/* for_part: opened on behalf of one of its partitions (counted in
 * bd_part_count, which a rescan finds non-zero). */
static int do_open(struct block_device *bdev, int for_part) {
    bd_lock(bdev);
    if (!bdev->bd_openers) {
        struct hd_struct *part;
        int partno;
        struct gendisk *disk = lookup(bdev->bd_dev, &part, &partno);
        struct block_device *whole = bdev;
        if (disk && partno) {
            /* The whole disk first: once it counts this partition, a rescan
             * refuses, so the record looked up again below stays. */
            whole = bdget(MKDEV((unsigned int)disk->major, (unsigned int)disk->first_minor));
            if (do_open(whole, 1)) {
                bdput(whole);
                whole = NULL;
                disk = NULL;
            } else {
                disk = lookup(bdev->bd_dev, &part, &partno);
                if (!disk || !partno || !part->nr_sects) {
                    do_close(whole, 1);
                    bdput(whole);
                    disk = NULL;
                }
            }
        }
        if (!disk) {
            bd_unlock(bdev);
            return -ENXIO;
        }
        tie(bdev, disk, part, whole);
    }
    if (for_part)
        bdev->bd_part_count++;
    __atomic_store_n(&bdev->bd_openers, bdev->bd_openers + 1, __ATOMIC_RELEASE);
    bd_unlock(bdev);
    return 0;
}

static int do_close(struct block_device *bdev, int for_part) {
    struct block_device *victim = NULL;
    int ret = 0;
    bd_lock(bdev);
    if (bdev->bd_openers <= 0)
        kernel_die("BUG: close of block device %u:%u, which is not open\n", MAJOR(bdev->bd_dev),
                   MINOR(bdev->bd_dev));
    if (for_part)
        bdev->bd_part_count--;
    __atomic_store_n(&bdev->bd_openers, bdev->bd_openers - 1, __ATOMIC_RELEASE);
    if (!bdev->bd_openers) {
        /* sync_blockdev: the dirty pages go out through the queue from this
         * task, with bd_mutex held. */
        ret = bdev_writeback(bdev);
        if (bdev->bd_contains != bdev)
            victim = bdev->bd_contains;
        else
            untie_idle_parts(bdev->bd_disk);
        tie(bdev, NULL, NULL, NULL);
    }
    bd_unlock(bdev);
    if (victim) {
        do_close(victim, 1);
        bdput(victim); /* the reference the partition's first open took */
    }
    return ret;
}

int bdev_open(struct block_device *bdev) {
    might_sleep();
    return do_open(bdev, 0);
}

int bdev_close(struct block_device *bdev) {
    might_sleep();
    return do_close(bdev, 0);
}

sector_t bdev_sectors(struct block_device *bdev) {
    struct gendisk *disk = __atomic_load_n(&bdev->bd_disk, __ATOMIC_ACQUIRE);
    struct block_device *whole = __atomic_load_n(&bdev->bd_contains, __ATOMIC_ACQUIRE);
    struct hd_struct *part = __atomic_load_n(&bdev->bd_part, __ATOMIC_ACQUIRE);
    if (disk && whole == bdev)
        return get_capacity(disk);
    if (disk && whole && part)
        return part->nr_sects;
    sector_t sectors = 0; /* closed (or closing): find it by number */
    bdev_lookup(bdev->bd_dev, NULL, &sectors);
    return sectors;
}

int bdev_in_use(struct block_device *bdev) {
    bd_lock(bdev);
    int busy = bdev->bd_openers > 0;
    bd_unlock(bdev);
    return busy;
}

int bdev_backing_io(struct block_device *bdev, int rw, unsigned long long off, void *buf,
                    unsigned long long len) {
    sector_t start = 0, sectors = 0;
    struct gendisk *disk = bdev_lookup(bdev->bd_dev, &start, &sectors);
    if (!disk || !disk->fops || !disk->fops->backing_io)
        return -ENODEV;
    unsigned long long size = (unsigned long long)sectors << 9;
    if (off > size || len > size - off)
        return -EINVAL;
    return disk->fops->backing_io(disk, rw, off + ((unsigned long long)start << 9), buf, len);
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
