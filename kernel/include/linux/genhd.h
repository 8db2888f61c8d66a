#ifndef _LINUX_GENHD_H
#define _LINUX_GENHD_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/kdev_t.h>

struct request_queue;
struct block_device;
struct block_device_operations;

/* One partition (or, from 2.6.29, the whole disk as partition 0). */
struct hd_struct {
    sector_t start_sect;
    sector_t nr_sects;
    int partno;
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
struct disk_part_tbl {
    int len;                   /* entries in part[] */
    struct hd_struct *part[1]; /* part[0] is the whole disk; really `len` long */
};
#endif

#define DISK_NAME_LEN 32

struct gendisk {
    int major;
    int first_minor;
    int minors; /* 1 for a disk that cannot be partitioned */
    char disk_name[DISK_NAME_LEN];
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    struct disk_part_tbl *part_tbl;
    struct hd_struct part0;
#else
    struct hd_struct **part; /* partition n is part[n - 1]; minors - 1 entries */
#endif
    struct block_device_operations *fops;
    struct request_queue *queue;
    void *private_data;
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 29)
    sector_t capacity;
#endif
    int flags;
};

static inline sector_t get_capacity(struct gendisk *disk) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    return disk->part0.nr_sects;
#else
    return disk->capacity;
#endif
}

static inline void set_capacity(struct gendisk *disk, sector_t size) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    disk->part0.nr_sects = size;
#else
    disk->capacity = size;
#endif
}

#include <linux/fs.h>

/* First sector of a device on its disk. */
static inline sector_t get_start_sect(struct block_device *bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    return bdev->bd_part->start_sect;
#else
    return bdev->bd_contains == bdev ? 0 : bdev->bd_part->start_sect;
#endif
}

extern "C" {
struct gendisk *alloc_disk(int minors);
void add_disk(struct gendisk *disk);
void del_gendisk(struct gendisk *disk);
void put_disk(struct gendisk *disk);
/* Adds or replaces partition partno (1 ..) of a disk that is not in use. */
int add_partition(struct gendisk *disk, int partno, sector_t start, sector_t len);
void delete_partition(struct gendisk *disk, int partno);
/* Name of partition partno of the disk (0: the disk itself) in buf. */
char *disk_name(struct gendisk *disk, int partno, char *buf);
}

#endif
