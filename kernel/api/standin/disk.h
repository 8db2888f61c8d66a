#ifndef STANDIN_DISK_H
#define STANDIN_DISK_H

/*
 * The machine room's disks, partitions and file systems: what the simulator
 * and the tests use to attach disks, mount file systems, run writers on them
 * and look at the disks' contents behind the kernel's back. Built-in types
 * only, so kernel and host code can both include it.
 *
 * Devices are named by their number: major in bits 20 and up, minor in bits
 * 0-19, as the kernel's dev_t. A disk with first minor m and n minors owns
 * m (the whole disk) to m + n - 1 (its partitions 1 .. n - 1).
 *
 * Functions return 0 (or a count) on success and a negative errno on failure.
 * They may sleep; call them from a host thread or process context.
 */

#define STANDIN_MKDEV(major, minor) (((unsigned int)(major) << 20) | (unsigned int)(minor))
#define STANDIN_MAJOR(dev) ((unsigned int)(dev) >> 20)
#define STANDIN_MINOR(dev) ((unsigned int)(dev)&0xfffff)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Disks -------------------------------------------------------------- */

/*
 * A RAM disk of `sectors` 512-byte sectors, all zero, with a queue that has no
 * queue_lock. A disk with more than one minor is partitionable: its partition
 * table (MBR) is read when it is added, as on boot.
 */
int standin_ramdisk_create(const char *name, unsigned int major, unsigned int first_minor,
                           int minors, unsigned long long sectors);
/*
 * With `direct` set, the disk of `dev` serves each bio inside its
 * make_request function, in the submitter's context, as the kernel's own RAM
 * disk driver does, whenever no latency, pause, hold or queued bio would
 * delay it; 0 (the default) leaves every bio to the controller's thread.
 */
int standin_disk_set_direct(unsigned int dev, int direct);
/* A disk backed by an image file (its size, rounded down to sectors); its
 * queue has a queue_lock. Writes go to the file. */
int standin_imagedisk_create(const char *name, const char *path, unsigned int major,
                             unsigned int first_minor, int minors);
/* Detaches the disk of `dev` after its bios in flight have completed.
 * -EBUSY while a file system on it is mounted. */
int standin_disk_remove(unsigned int dev);
/*
 * The disk of `dev` goes away as a yanked USB disk does, mounted or not, hooked
 * or not: the bio it is moving completes; every other bio it holds (queued,
 * held, paused) and every bio sent to it from now on ends with -EIO and
 * BIO_UPTODATE clear, each once. A device still open (a mounted file system)
 * keeps the gendisk and partition record it was tied to, and the disk's
 * numbers (a new disk on them is -EBUSY), until its last close: the file
 * system's writes fail and its unmount still works. The queue lives while
 * anyone holds a reference (blk_get_queue).
 */
int standin_disk_unplug(unsigned int dev);

/* Size of a disk or partition in sectors; 0 when there is no such device. */
unsigned long long standin_dev_sectors(unsigned int dev);

/* Every bio the disk of `dev` receives completes this much later. */
int standin_disk_set_latency(unsigned int dev, unsigned long long nanoseconds);

/*
 * Pausing the disk's controller: bios keep arriving and wait, none completes,
 * until it resumes. With a wait for a number of queued bios, a test holds
 * bios in flight on purpose, without timing.
 */
int standin_disk_pause(unsigned int dev);
int standin_disk_resume(unsigned int dev);
/* Waits until at least `count` bios wait at the disk; returns how many do. */
int standin_disk_wait_queued(unsigned int dev, int count);

#define STANDIN_FAIL_READ 1
#define STANDIN_FAIL_WRITE 2
/*
 * From now on, bios of the given directions (STANDIN_FAIL_* bits) that touch
 * sectors [sector, sector + count) of `dev` (counted from the start of the
 * device, a partition or the whole disk) end with -EIO and BIO_UPTODATE clear.
 * The sectors before the first failing one are transferred; with the older
 * three-argument bio_endio the calls' bytes_done cover only those (the last
 * call carries the error), so bi_size stays above 0.
 */
int standin_disk_fail_sectors(unsigned int dev, unsigned long long sector, unsigned long long count,
                              int directions);
int standin_disk_clear_failures(unsigned int dev);

/*
 * Holding chosen bios at the disk, so a test orders a race on purpose. From
 * now on, the next `nbios` bios of the given directions (STANDIN_IO_* bits)
 * that touch sectors [sector, sector + count) of `dev` (counted from the start
 * of the device, as for failures) are held as they arrive: they neither
 * complete nor delay the bios behind them, and every other bio is served as
 * usual, later ones to the same sectors included. Held bios count as queued.
 * One rule per disk: -EBUSY while one is in force, -EINVAL for an empty range,
 * no direction or nbios < 1.
 */
#define STANDIN_IO_READ STANDIN_FAIL_READ
#define STANDIN_IO_WRITE STANDIN_FAIL_WRITE
int standin_disk_hold(unsigned int dev, unsigned long long sector, unsigned long long count,
                      int directions, int nbios);
/* Waits until at least `count` bios are held, or the rule can hold no more;
 * returns how many are held. */
int standin_disk_wait_held(unsigned int dev, int count);
/*
 * Ends the rule and hands the held bios to the controller ahead of the ones
 * waiting behind them, in their arrival order; they are served from what the
 * disk holds then (a paused controller serves them when it resumes). Returns
 * how many were held. Removing the disk releases them as well.
 */
int standin_disk_release_held(unsigned int dev);

/*
 * The bytes of a device straight from its backing store, bypassing every
 * queue, hook and file system cache. Offsets count from the start of `dev`.
 */
int standin_dev_read_raw(unsigned int dev, unsigned long long offset, void *buf,
                         unsigned long long len);
int standin_dev_write_raw(unsigned int dev, unsigned long long offset, const void *buf,
                          unsigned long long len);

struct standin_disk_stats {
    unsigned long long reads, writes;           /* bios that reached the disk */
    unsigned long long read_bytes, write_bytes; /* bytes transferred */
    unsigned long long errors;                  /* bios ended with an error */
};
int standin_get_disk_stats(unsigned int dev, struct standin_disk_stats *out);

/* ---- Partitions --------------------------------------------------------- */

/* Reads the disk's MBR through the block layer again, replacing its
 * partitions (primary 1-4, logical from 5). -EBUSY while one is mounted. */
int standin_disk_rescan(unsigned int disk_dev);
/* Sets partition partno (1 ..) of the disk directly; 0 sectors deletes it. */
int standin_disk_set_partition(unsigned int disk_dev, int partno, unsigned long long start,
                               unsigned long long sectors);
/* The partition as the kernel's partition records hold it; -ENOENT if none. */
int standin_disk_partition(unsigned int disk_dev, int partno, unsigned long long *start,
                           unsigned long long *sectors);

/* ---- Bio accounting ----------------------------------------------------- */

/*
 * Since boot. A bio is submitted when it first reaches generic_make_request or
 * a disk's make_request_fn; completed when it is finally ended (bio_endio with
 * the newer form; with the older form, the call that leaves no bytes or
 * reports an error). A second completion, or freeing a submitted bio before it
 * completed, is a kernel BUG. With the older form the simulated disks end a
 * bio of several segments in two calls or more (whole segments each, in a
 * seeded random split), so a completion that expects a single call is caught.
 */
struct standin_bio_counters {
    unsigned long long allocated, freed; /* by bio_alloc / their last bio_put */
    unsigned long long submitted, completed;
    unsigned long long failed; /* completed with an error */
};
void standin_get_bio_counters(struct standin_bio_counters *out);

/* ---- File systems ------------------------------------------------------- */

/*
 * Mounts the device. `type` NULL (or "ext") recognises ext2, ext3 or ext4 from
 * the super block read through the block layer; "ext2", "ext3", "ext4" insist
 * on that type; "testfs" needs nothing on disk and takes `blocksize` (a power
 * of two from 64 to 4096; ignored for the others).
 */
int standin_mount(unsigned int dev, const char *type, unsigned int blocksize);
/* Flushes and unmounts; -EBUSY while a workload runs on it. Blocks while the
 * file system is frozen (as umount would). */
int standin_umount(unsigned int dev);
/* Type name and block size of the mounted file system. */
int standin_fs_info(unsigned int dev, char *type, unsigned long type_len, unsigned int *blocksize);

/*
 * The file system's write path. It works in I/O blocks of the block size, or
 * 512 bytes when the block size is smaller: block n covers bytes
 * n * io_size .. of the device. A buffered write leaves the block dirty in the
 * file system's cache until a sync or a freeze writes it back; a direct write
 * submits the bio and waits for it. Every write waits while the file system is
 * frozen.
 */
#define STANDIN_FS_BUFFERED 0
#define STANDIN_FS_DIRECT 1
int standin_fs_write_block(unsigned int dev, unsigned long long block, const void *data, int mode);
int standin_fs_read_block(unsigned int dev, unsigned long long block, void *data);
unsigned int standin_fs_io_size(unsigned int dev);
int standin_fs_sync(unsigned int dev); /* fsync_bdev */
/* freeze_bdev / thaw_bdev from the host; -ENODEV when nothing is mounted.
 * The thaw may come from another thread than the freeze. */
int standin_fs_freeze(unsigned int dev);
int standin_fs_thaw(unsigned int dev);
/* Writers that now wait for a thaw; and a wait until at least `count` do. */
int standin_fs_held_writers(unsigned int dev);
int standin_fs_wait_held_writers(unsigned int dev, int count);
/* Waits until a freeze of the file system has begun (new writes are held). */
int standin_fs_wait_freezing(unsigned int dev);
/* Freezes completed on the mounted file system so far (its epoch). */
unsigned long standin_fs_freezes(unsigned int dev);
/* How long the file system stayed frozen the last time, from the end of its
 * freeze to the start of its thaw, in ns on a fine clock: the time the
 * freezer itself held it. 0 before any thaw. */
unsigned long long standin_fs_last_freeze_held_ns(unsigned int dev);
/*
 * Kernels from 2.6.29 on: the next `times` freezes of the file system fail
 * with `error` (negative errno): freeze_bdev returns ERR_PTR(error) and leaves
 * the file system unfrozen. -ENOSYS on older kernels, where a freeze cannot
 * fail.
 */
int standin_fs_fail_freeze(unsigned int dev, int error, int times);

/* ---- Capture: the reference image at a freeze --------------------------- */

/*
 * Arms a one-shot capture: the next time the file system on `dev` becomes
 * frozen (its pending writes written back, its bios in flight completed, new
 * writes held), the stand-in copies the device's whole content from the
 * backing store, before freeze_bdev returns. This is the reference a snapshot
 * taken under that freeze must equal. A freeze that fails leaves it armed.
 */
int standin_capture_arm(unsigned int dev);
/* 1 when the capture was taken (and under which freeze epoch), 0 when still
 * armed, -ENOENT when none is armed, -EIO when the copy failed. */
int standin_capture_taken(unsigned int dev, unsigned long *epoch);
int standin_capture_read(unsigned int dev, unsigned long long offset, void *buf,
                         unsigned long long len);
void standin_capture_release(unsigned int dev);

/* ---- Stamps ------------------------------------------------------------- */

/*
 * A stamped 512-byte sector: magic, writer, the sector number (counted from
 * the start of the device written), the write's generation, a check word, and
 * a fill derived from them, so a torn or misplaced sector is recognised.
 */
#define STANDIN_STAMP_MAGIC 0x534d4c56u
struct standin_stamp {
    unsigned long long sector;
    unsigned long long generation;
    unsigned int writer;
};
void standin_stamp_make(void *sector512, unsigned long long sector, unsigned long long generation,
                        unsigned int writer);
/* 1: a valid stamp (filled in *out); 0: not a stamp (no magic, e.g. never
 * written); -1: a damaged stamp. */
int standin_stamp_parse(const void *sector512, struct standin_stamp *out);

/* ---- Workload ----------------------------------------------------------- */

struct standin_workload_config {
    unsigned int dev;               /* a mounted device */
    int writers;                    /* kernel threads, 1 .. 64 */
    unsigned long long first_block; /* I/O blocks written: first_block .. */
    unsigned long long nr_blocks;   /* .. + nr_blocks; 0: from 64 KiB to the end */
    int mode;                       /* STANDIN_FS_BUFFERED or STANDIN_FS_DIRECT */
    unsigned int sync_every;        /* buffered: each writer syncs after this many (0: never) */
    unsigned long long max_writes;  /* per writer; 0: until stopped */
    unsigned long long pause_ns;    /* between two writes of a writer */
    unsigned int seed;
    /* Direct: writes each writer keeps in flight at once (0 or 1: one at a
     * time); a block is often written again in the same flight, and its
     * writes must land in the order submitted. The submissions of a flight
     * are apart by random pauses of up to gap_ns. */
    unsigned int depth;
    unsigned long long gap_ns;
};

/*
 * One accepted write. Writer w owns the blocks first_block + w, + w + writers,
 * ..., so each block has one writer and its writes are in log order. `epoch`
 * is the number of freezes completed before the write was accepted: every
 * write with epoch < k is in the capture of freeze k, none with epoch >= k.
 */
struct standin_write_record {
    unsigned long long block;
    unsigned long long first_sector; /* counted from the start of the device */
    unsigned long long generation;
    unsigned long epoch;
    unsigned int sectors;
    unsigned int writer;
};

/* Starts the writers; returns the workload's id (>= 0). */
int standin_workload_start(const struct standin_workload_config *config);
/* Stops and joins the writers; returns how many writes failed. A writer held
 * by a freeze ends after the thaw. */
long standin_workload_stop(int id);
/* Waits until the workload has logged at least `writes` writes or all its
 * writers have ended; returns the count logged. */
unsigned long long standin_workload_wait(int id, unsigned long long writes);
unsigned long long standin_workload_log_count(int id);
/* Copies up to n records from index `first`; returns how many. */
unsigned long long standin_workload_log_read(int id, unsigned long long first,
                                             struct standin_write_record *out,
                                             unsigned long long n);
/* Frees a stopped workload and its log. */
void standin_workload_free(int id);

#ifdef __cplusplus
}
#endif

#endif
