/*
 * Disks and their partition records. Before 2.6.29 a disk keeps partition n
 * in part[n - 1]; from 2.6.29 in part_tbl->part[n], with part[0] the disk's
 * own record part0 and the table only as long as the highest partition needs.
 * Partition changes happen with the whole disk's bd_mutex (bd_sem) held by
 * their callers, the lock under which readers walk the records. A disk is
 * freed with its last reference: its driver's, or that of a block device
 * still tied to it, so a device open when its disk goes keeps valid records.
 */
#include <linux/kernel.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "internal.h"

struct disk_entry {
    struct gendisk disk;
    struct list_head list; /* added disks */
    int added;
    /* The driver's, and one per block device tied to the disk: an open
     * device keeps the disk's memory after the disk is gone. */
    int refs;
    int holds_queue; /* add_disk took a reference on the queue */
    /* Records of partitions deleted while open, freed with the disk. */
    struct hd_struct **retired;
    int nr_retired;
};

static struct host_mutex disks_lock;
static LIST_HEAD(added_disks);

static struct disk_entry *entry_of(struct gendisk *disk) {
    return container_of(disk, struct disk_entry, disk);
}

extern "C" struct gendisk *alloc_disk(int minors) {
    if (minors < 1)
        return NULL;
    struct disk_entry *e =
        (struct disk_entry *)internal_alloc(sizeof(*e), GFP_KERNEL, FAULT_KMALLOC, _RET_IP_);
    if (!e)
        return NULL;
    struct gendisk *disk = &e->disk;
    e->refs = 1;
    disk->minors = minors;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    disk->part_tbl = (struct disk_part_tbl *)host_calloc(1, sizeof(struct disk_part_tbl));
    disk->part_tbl->len = 1;
    disk->part_tbl->part[0] = &disk->part0;
#else
    if (minors > 1)
        disk->part =
            (struct hd_struct **)host_calloc((unsigned long)minors - 1, sizeof(struct hd_struct *));
#endif
    INIT_LIST_HEAD(&e->list);
    return disk;
}

static struct hd_struct *find_part(struct gendisk *disk, int partno) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    return partno < disk->part_tbl->len ? disk->part_tbl->part[partno] : NULL;
#else
    return disk->part[partno - 1];
#endif
}

static void store_part(struct gendisk *disk, int partno, struct hd_struct *p) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    struct disk_part_tbl *old = disk->part_tbl;
    if (partno >= old->len) {
        int len = partno + 1;
        unsigned long size = sizeof(*old) + (unsigned long)(len - 1) * sizeof(old->part[0]);
        struct disk_part_tbl *tbl = (struct disk_part_tbl *)host_calloc(1, size);
        tbl->len = len;
        for (int i = 0; i < old->len; i++)
            tbl->part[i] = old->part[i];
        disk->part_tbl = tbl;
        host_free(old);
    }
    disk->part_tbl->part[partno] = p;
#else
    disk->part[partno - 1] = p;
#endif
}

/* Partition records of an added disk change only under its whole disk's
 * bd_mutex, which the callers hold (rescan, the partition ioctls, del_gendisk). */
static void assert_whole_locked(struct gendisk *disk, const char *who) {
    if (!entry_of(disk)->added)
        return;
    struct block_device *whole =
        bdget(MKDEV((unsigned int)disk->major, (unsigned int)disk->first_minor));
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    int held = mutex_is_locked(&whole->bd_mutex) &&
               __atomic_load_n(&whole->bd_mutex.owner, __ATOMIC_RELAXED) == current;
#else
    int held = __atomic_load_n(&whole->bd_sem.count, __ATOMIC_RELAXED) == 0; /* no owner known */
#endif
    bdput(whole);
    if (!held)
        kernel_die("BUG: %s of %s without the whole disk's bd_mutex\n", who, disk->disk_name);
}

extern "C" int add_partition(struct gendisk *disk, int partno, sector_t start, sector_t len) {
    if (partno < 1 || partno >= disk->minors || len == 0)
        return -EINVAL;
    assert_whole_locked(disk, "add_partition");
    if (start + len > get_capacity(disk)) {
        char name[BDEVNAME_SIZE];
        printk("<4>%s: p%d exceeds device capacity\n", disk_name(disk, 0, name), partno);
    }
    struct hd_struct *p = find_part(disk, partno);
    if (!p) {
        p = (struct hd_struct *)host_calloc(1, sizeof(*p));
        p->partno = partno;
        store_part(disk, partno, p);
    }
    p->start_sect = start;
    p->nr_sects = len;
    if (entry_of(disk)->added)
        bdev_attach(disk, partno, p);
    return 0;
}

/* An open partition keeps its record (bd_part) until the disk goes. */
static void retire_part(struct disk_entry *e, struct hd_struct *p) {
    struct hd_struct **more = (struct hd_struct **)host_calloc((unsigned long)e->nr_retired + 1,
                                                               sizeof(struct hd_struct *));
    for (int i = 0; i < e->nr_retired; i++)
        more[i] = e->retired[i];
    more[e->nr_retired++] = p;
    host_free(e->retired);
    e->retired = more;
}

extern "C" void delete_partition(struct gendisk *disk, int partno) {
    if (partno < 1 || partno >= disk->minors)
        return;
    assert_whole_locked(disk, "delete_partition");
    int open = entry_of(disk)->added ? bdev_detach(disk, partno) : 0;
    struct hd_struct *p = find_part(disk, partno);
    if (p)
        store_part(disk, partno, NULL);
    if (p && open)
        retire_part(entry_of(disk), p);
    else
        host_free(p);
}

/* Any device of the disk open; takes their locks one at a time. */
int disk_parts_in_use(struct gendisk *disk) {
    if (!entry_of(disk)->added)
        return 0;
    int busy = 0;
    for (int partno = 0; partno < disk->minors && !busy; partno++) {
        struct block_device *bdev =
            bdget(MKDEV((unsigned int)disk->major, (unsigned int)(disk->first_minor + partno)));
        busy = bdev_in_use(bdev);
        bdput(bdev);
    }
    return busy;
}

int disk_numbers_taken(unsigned int major, unsigned int first_minor, int minors) {
    struct disk_entry *e;
    int taken = 0;
    host_mutex_lock(&disks_lock);
    list_for_each_entry(e, &added_disks, list) {
        struct gendisk *d = &e->disk;
        if ((unsigned int)d->major == major &&
            first_minor < (unsigned int)(d->first_minor + d->minors) &&
            (unsigned int)d->first_minor < first_minor + (unsigned int)minors)
            taken = 1;
    }
    host_mutex_unlock(&disks_lock);
    return taken;
}

extern "C" void add_disk(struct gendisk *disk) {
    struct disk_entry *e = entry_of(disk);
    if (e->added)
        kernel_die("BUG: add_disk of %s, which is already added\n", disk->disk_name);
    if (disk_numbers_taken((unsigned int)disk->major, (unsigned int)disk->first_minor,
                           disk->minors))
        kernel_die("BUG: add_disk of %s: device numbers %d:%d.. already belong to a disk\n",
                   disk->disk_name, disk->major, disk->first_minor);
    /* A device open after the disk is gone still reaches the queue. */
    e->holds_queue = disk->queue && blk_get_queue(disk->queue) == 0;
    host_mutex_lock(&disks_lock);
    list_add_tail(&e->list, &added_disks);
    e->added = 1;
    host_mutex_unlock(&disks_lock);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    bdev_attach(disk, 0, &disk->part0);
#else
    bdev_attach(disk, 0, NULL);
#endif
    for (int partno = 1; partno < disk->minors; partno++) {
        struct hd_struct *p = find_part(disk, partno);
        if (p)
            bdev_attach(disk, partno, p);
    }
    if (disk->minors > 1) {
        /* The boot-time scan; the whole disk is not opened for it, so it keeps
         * its tie from bdev_attach. */
        struct block_device *whole =
            bdget(MKDEV((unsigned int)disk->major, (unsigned int)disk->first_minor));
        bd_lock(whole);
        rescan_partitions(disk, whole);
        bd_unlock(whole);
        bdput(whole);
    }
}

extern "C" void del_gendisk(struct gendisk *disk) {
    struct disk_entry *e = entry_of(disk);
    if (!e->added)
        return;
    struct block_device *whole =
        bdget(MKDEV((unsigned int)disk->major, (unsigned int)disk->first_minor));
    bd_lock(whole);
    for (int partno = 1; partno < disk->minors; partno++)
        delete_partition(disk, partno);
    bd_unlock(whole);
    bdput(whole);
    bdev_detach(disk, 0);
    host_mutex_lock(&disks_lock);
    list_del_init(&e->list);
    e->added = 0;
    host_mutex_unlock(&disks_lock);
}

void disk_get(struct gendisk *disk) {
    __atomic_add_fetch(&entry_of(disk)->refs, 1, __ATOMIC_ACQ_REL);
}

void disk_put(struct gendisk *disk) {
    struct disk_entry *e = entry_of(disk);
    int left = __atomic_sub_fetch(&e->refs, 1, __ATOMIC_ACQ_REL);
    if (left < 0)
        kernel_die("BUG: put_disk of %s, which has no reference left\n", disk->disk_name);
    if (left)
        return;
    for (int partno = 1; partno < disk->minors; partno++)
        host_free(find_part(disk, partno));
    for (int i = 0; i < e->nr_retired; i++)
        host_free(e->retired[i]);
    host_free(e->retired);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    host_free(disk->part_tbl);
#else
    host_free(disk->part);
#endif
    if (e->holds_queue)
        blk_put_queue(disk->queue);
    track_free(e, ALLOC_INTERNAL, NULL, "put_disk");
}

extern "C" void put_disk(struct gendisk *disk) {
    if (!disk)
        return;
    if (entry_of(disk)->added)
        kernel_die("BUG: put_disk of %s while it is added (del_gendisk first)\n", disk->disk_name);
    disk_put(disk);
}

extern "C" char *disk_name(struct gendisk *disk, int partno, char *buf) {
    /* A long name is cut so that "p" and a partition number still fit. */
    char name[BDEVNAME_SIZE - 8];
    strlcpy(name, disk->disk_name, sizeof(name));
    unsigned long n = strlen(name);
    if (partno == 0)
        strlcpy(buf, disk->disk_name, BDEVNAME_SIZE);
    else if (n && name[n - 1] >= '0' && name[n - 1] <= '9')
        snprintf(buf, BDEVNAME_SIZE, "%sp%d", name, partno & 0xffff);
    else
        snprintf(buf, BDEVNAME_SIZE, "%s%d", name, partno & 0xffff);
    return buf;
}
