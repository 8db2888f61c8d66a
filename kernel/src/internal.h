/*
 * Interfaces between the facilities of the stand-in kernel, which its
 * built-in code (the simulated disks, the rig) uses too. Not for modules.
 */
#ifndef STANDIN_INTERNAL_H
#define STANDIN_INTERNAL_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/module.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <standin/fault.h>

#include "../host/seam.h"

/* bug.cpp: report and stop; the report goes to the log and to stderr. */
__attribute__((noreturn)) void kernel_die(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));

/* sched.cpp */
void task_sleep_prepare(struct task_struct *t);
void bkl_drop_for_sleep(struct task_struct *t);
void bkl_retake_after_sleep(struct task_struct *t);
/* Simulated interrupt context around a device's completion work. */
void irq_enter(void);
void irq_exit(void);
int wake_up_state(struct task_struct *t, unsigned int mode);
__attribute__((noreturn)) void do_exit(long code);
/* Calls fn(task, arg) for each live kernel thread; under the task lock. */
void for_each_kernel_thread(void (*fn)(struct task_struct *, void *), void *arg);
/* Sleeps the current task for ns nanoseconds (it may sleep). */
void task_sleep_ns(unsigned long long ns);
/* Calls fn(task, arg) for each live task, kernel thread or not; under the
 * task lock. */
void for_each_task(void (*fn)(struct task_struct *, void *), void *arg);

/* rcupdate.cpp: a read-side section of the sched flavour, which in a kernel
 * without preemption lasts until the task sleeps or leaves it. */
void sched_read_enter(struct task_struct *t);
void sched_read_exit(struct task_struct *t);
/* Called as the task goes to sleep and as it wakes again. */
void note_context_switch(struct task_struct *t);

/* lockdep.cpp */
void lockdep_free_key_range(unsigned long lo, unsigned long hi);
/* up() of a semaphore: a release by its holder, else the mark of an event. */
void lockdep_sem_up(struct lockdep_map *map, void *instance);
/* A wait on, and a wake-up of, a completion or a wait queue; a wait returns
 * how many sleeping locks the waiter holds. */
int lockdep_wait(struct lockdep_map *map, unsigned long ip);
void lockdep_wake(struct lockdep_map *map, unsigned long ip);
/* A wait-queue wake-up leaves the waker's locks in the entry it wakes; the
 * waiter hands them over when its wait ends. */
void lockdep_wake_note(struct lockdep_wake_note *note, unsigned long ip);
void lockdep_wait_done(struct lockdep_map *map, struct lockdep_wake_note *note);
/* The return of a system call to user space: nothing may be held. */
void lockdep_sys_exit(void);
/* A module's lockorder tag: its classes by name, outer first, comma-separated. */
void lockdep_declare_order(const char *owner, unsigned long lo, unsigned long hi, const char *text);

/* fault_inject.cpp */
int should_fail(unsigned int site, gfp_t gfp, const char *cache_name, unsigned long caller);

/* memtrack.cpp: every tracked allocation starts with this header. */
enum alloc_kind { ALLOC_KMALLOC = 1, ALLOC_VMALLOC, ALLOC_SLAB, ALLOC_INTERNAL };
void *track_alloc(unsigned long size, enum alloc_kind kind, struct kmem_cache *cache,
                  unsigned long caller, int zero);
/* Validates and frees; returns the header's cache (for slab objects). */
void track_free(const void *p, enum alloc_kind kind, struct kmem_cache *cache, const char *who);
unsigned long track_size(const void *p);
/* A zeroed object of the kernel's own, as its allocator gives one: it may
 * sleep under __GFP_WAIT and fails where fault injection says at `site`. */
void *internal_alloc(unsigned long size, gfp_t gfp, unsigned int site, unsigned long caller);
/* Prints every live allocation made by code in [lo, hi); returns how many. */
unsigned long track_report_range(unsigned long lo, unsigned long hi, const char *owner);

/* page_alloc.cpp */
void page_alloc_init(unsigned long pages);
unsigned long pages_report_range(unsigned long lo, unsigned long hi, const char *owner);
/* Allocated pages whose allocation was made by a loaded module. */
unsigned long pages_in_modules(const struct module_ranges *modules);

/* slab.cpp */
unsigned long slab_report_range(unsigned long lo, unsigned long hi, const char *owner);

/* module.cpp */
struct module *module_of_address(unsigned long addr);
int address_in_module(unsigned long addr);
/* The address ranges of the loaded modules, taken once, so that a walk over
 * many addresses does not lock the module list for each. */
struct module_ranges {
    int n;
    unsigned long lo[8], hi[8];
    int overflow; /* more modules than fit: ask address_in_module */
};
void module_ranges_get(struct module_ranges *r);
int module_ranges_has(const struct module_ranges *r, unsigned long addr);

/* chrdev.cpp */
const struct file_operations *chrdev_fops(unsigned int major);
unsigned long chrdev_report_range(unsigned long lo, unsigned long hi, const char *owner);

/* vfs.cpp: the open file of a descriptor, with a reference (fput drops it). */
struct file *fget(int fd);

/* mmap.cpp: the process's one address space and its device mappings. */
struct rw_semaphore *mm_mmap_sem(void);
spinlock_t *mm_page_table_lock(void);
/* Lockless first test of the fault path: could addr lie in a mapping? */
int mm_may_hold(unsigned long addr);
/* The mapping that holds addr, or NULL; mmap_sem held. */
struct vm_area_struct *find_vma(unsigned long addr);
/* Where a mapping keeps the page mapped at its page index; mmap_sem held,
 * changed under page_table_lock. */
struct page **vma_page_slot(struct vm_area_struct *vma, unsigned long index);

/* pagefault.cpp */
void pagefault_install(void);
/* Maps the page of a mapping at addr for a user copy: 0 when it is mapped
 * now, or -EFAULT. */
int fault_in_user(const void *addr, int write);
/* What every user copy tells the lock validator: it may take mmap_sem. */
void might_fault(void);

/* The block layer (bio.cpp, blk_core.cpp, blk_sync.cpp, block_dev.cpp,
 * genhd.cpp, msdos_partitions.cpp). */
struct bio;
struct gendisk;
struct hd_struct;
struct block_device;
struct super_block;
void bio_mark_submitted(struct bio *bio); /* the layer owns the bio until it completes */
int blk_rw_sync(struct block_device *bdev, int rw, sector_t sector, void *buf, unsigned int len);
struct block_device *bdev_attach(struct gendisk *disk, int partno, struct hd_struct *part);
/* 1 when the device is open: it keeps its tie (and record) until its last close. */
int bdev_detach(struct gendisk *disk, int partno);
/* References on a disk's memory; put_disk drops the driver's. */
void disk_get(struct gendisk *disk);
void disk_put(struct gendisk *disk);
/* The disk a device number belongs to, found by number, so it works whether
 * or not the device is open (bd_disk is NULL while it is closed); with the
 * device's first sector on the disk and its size. NULL when there is none. */
struct gendisk *bdev_lookup(dev_t dev, sector_t *start, sector_t *sectors);
/* do_open and __blkdev_put: the first open ties bd_disk, bd_part and
 * bd_contains (a partition opens its whole disk), the last close writes the
 * device's dirty pages back under its bd_mutex and unties it. */
int bdev_open(struct block_device *bdev);         /* 0 or -ENXIO */
int bdev_close(struct block_device *bdev);        /* 0 or the write-back's error */
sector_t bdev_sectors(struct block_device *bdev); /* by number when closed */
int bdev_in_use(struct block_device *bdev);       /* open: mounted, or by a program */
int disk_parts_in_use(struct gendisk *disk);
int disk_numbers_taken(unsigned int major, unsigned int first_minor, int minors);
/* With the whole disk's bd_mutex held; the table is read through `whole`. */
int rescan_partitions(struct gendisk *disk, struct block_device *whole);
/* bdev_file.cpp: sync_blockdev and kill_bdev of the last close, called from the
 * closing task with bd_mutex held; 0 or -EIO. */
int bdev_writeback(struct block_device *bdev);

/* The lock of a device's opens and its partition records: bd_mutex, bd_sem
 * before 2.6.17. Inline, so the lock validator names the real caller. */
static inline void bd_lock(struct block_device *bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    mutex_lock(&bdev->bd_mutex);
#else
    down(&bdev->bd_sem);
#endif
}

static inline void bd_unlock(struct block_device *bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    mutex_unlock(&bdev->bd_mutex);
#else
    up(&bdev->bd_sem);
#endif
}
/* A device's bytes straight from its disk's backing store, through the
 * disk's backing_io; off counts from bdev's start. -ENODEV when the disk has
 * none. */
int bdev_backing_io(struct block_device *bdev, int rw, unsigned long long off, void *buf,
                    unsigned long long len);

/* File systems (super.cpp, freeze.cpp). */
struct super_block *get_super_by_dev(dev_t dev); /* get_super of bdget(dev) */
void put_super(struct super_block *sb);          /* drops get_super's reference only */
/* Mounts the registered type on the device; data goes to its get_sb. */
int do_mount_dev(dev_t dev, const char *type, void *data);
/* A user that keeps the mount busy, as an open file keeps a vfsmount: an
 * unmount fails with -EBUSY until it is unpinned. Pinned with s_umount held
 * (get_super), so never while an unmount runs. */
void sb_pin(struct super_block *sb);
void sb_unpin(struct super_block *sb);

/* fuzz.cpp: a point where schedule fuzzing may yield or sleep; any context,
 * spin locks held or not. */
extern int fuzz_on;
void fuzz_point_slow(void);
static inline void fuzz_point(void) {
    if (__builtin_expect(__atomic_load_n(&fuzz_on, __ATOMIC_RELAXED), 0))
        fuzz_point_slow();
}

/* In every system call: a fuzz point at its entry and its return, and the
 * check of the locks held at the return. */
struct syscall_exit_check {
    syscall_exit_check() { fuzz_point(); }
    ~syscall_exit_check() {
        lockdep_sys_exit();
        fuzz_point();
    }
};

/* cred.cpp: the credentials of a new task. */
void cred_init_root(struct task_struct *t);
void cred_copy(struct task_struct *to, const struct task_struct *from);

/* printk.cpp */
void klog_init(void);

#endif
