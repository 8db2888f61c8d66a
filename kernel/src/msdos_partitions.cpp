/*
 * The PC partition table (MBR), read through the whole disk's queue with its
 * bd_mutex held, as the kernel reads it: primary entries become partitions
 * 1-4; an extended partition is kept as a two-sector stub, and the chain of
 * extended boot records inside it gives the logical partitions, numbered
 * from 5.
 */
#include <linux/kernel.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "internal.h"

#define MBR_TABLE_OFFSET 446
#define MBR_MAX_LOGICAL_LINKS 128

struct mbr_entry {
    unsigned char boot_ind;
    unsigned char type;
    unsigned int start;
    unsigned int size;
};

/* What the scan found, printed as one line: " sda: sda1 sda2 < sda5 >". */
struct scan_log {
    char line[256];
    int len;
};

static void log_add(struct scan_log *log, const char *text) {
    if (log->len < (int)sizeof(log->line) - 1)
        log->len += snprintf(log->line + log->len, sizeof(log->line) - (unsigned long)log->len,
                             " %s", text);
}

static unsigned int le32(const unsigned char *p) {
    return (unsigned int)p[0] | (unsigned int)p[1] << 8 | (unsigned int)p[2] << 16 |
           (unsigned int)p[3] << 24;
}

static int is_extended(unsigned char type) {
    return type == 0x05 || type == 0x0f || type == 0x85;
}

/* Reads a boot record; 1 when it carries the signature, with its entries. */
static int read_table(struct block_device *whole, sector_t sector, struct mbr_entry entries[4]) {
    unsigned char buf[512];
    if (blk_rw_sync(whole, READ, sector, buf, sizeof(buf)) != 0)
        return -EIO;
    if (buf[510] != 0x55 || buf[511] != 0xaa)
        return 0;
    for (int i = 0; i < 4; i++) {
        const unsigned char *p = buf + MBR_TABLE_OFFSET + 16 * i;
        entries[i].boot_ind = p[0];
        entries[i].type = p[4];
        entries[i].start = le32(p + 8);
        entries[i].size = le32(p + 12);
    }
    return 1;
}

static void put_partition(struct gendisk *disk, int partno, sector_t start, sector_t len,
                          struct scan_log *log) {
    char name[BDEVNAME_SIZE];
    if (add_partition(disk, partno, start, len) == 0)
        log_add(log, disk_name(disk, partno, name));
}

/* Logical partitions: each extended boot record holds one partition, placed
 * relative to the record itself, and a link to the next record, placed
 * relative to the start of the outermost extended partition. */
static void parse_extended(struct gendisk *disk, struct block_device *whole, sector_t first,
                           struct scan_log *log) {
    sector_t this_sector = first;
    int partno = 5;
    for (int links = 0; links < MBR_MAX_LOGICAL_LINKS; links++) {
        struct mbr_entry e[4];
        if (read_table(whole, this_sector, e) != 1)
            return;
        for (int i = 0; i < 4; i++) {
            if (!e[i].size || !e[i].type || is_extended(e[i].type))
                continue;
            if (partno >= disk->minors)
                return;
            put_partition(disk, partno++, this_sector + e[i].start, e[i].size, log);
        }
        int next = -1;
        for (int i = 0; i < 4 && next < 0; i++)
            if (e[i].size && is_extended(e[i].type))
                next = i;
        if (next < 0)
            return;
        this_sector = first + e[next].start;
    }
}

int rescan_partitions(struct gendisk *disk, struct block_device *whole) {
    if (disk->minors < 2)
        return 0;
    /* Under the whole disk's bd_mutex, which every partition's first open takes. */
    if (whole->bd_part_count)
        return -EBUSY;
    for (int partno = 1; partno < disk->minors; partno++)
        delete_partition(disk, partno);
    struct scan_log log;
    log.len = 0;
    log.line[0] = 0;
    struct mbr_entry e[4];
    int found = read_table(whole, 0, e);
    for (int i = 0; found == 1 && i < 4; i++)
        if (e[i].boot_ind != 0 && e[i].boot_ind != 0x80)
            found = 0; /* not a partition table: a boot sector of something else */
    char name[BDEVNAME_SIZE];
    disk_name(disk, 0, name);
    if (found < 0) {
        printk("<6> %s: unable to read partition table\n", name);
    } else if (!found) {
        printk("<6> %s: unknown partition table\n", name);
    } else {
        for (int i = 0; i < 4 && i + 1 < disk->minors; i++) {
            if (!e[i].size || !e[i].type)
                continue;
            if (is_extended(e[i].type)) {
                /* The extended partition itself: too small to put a file system on. */
                sector_t stub = e[i].size < 2 ? e[i].size : 2;
                put_partition(disk, i + 1, e[i].start, stub, &log);
                log_add(&log, "<");
                parse_extended(disk, whole, e[i].start, &log);
                log_add(&log, ">");
            } else {
                put_partition(disk, i + 1, e[i].start, e[i].size, &log);
            }
        }
        printk("<6> %s:%s\n", name, log.line);
    }
    return found < 0 ? -EIO : 0;
}
