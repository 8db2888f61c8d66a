#ifndef _LINUX_FS_H
#define _LINUX_FS_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/list.h>
#include <linux/kdev_t.h>
#include <linux/wait.h>
#include <linux/semaphore.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <asm/atomic.h>

struct module;
struct vm_area_struct;
struct poll_table_struct;
struct kiocb;
struct iovec;
struct gendisk;
struct hd_struct;
struct vfsmount;
struct file_system_type;
struct super_operations;

#define READ 0
#define WRITE 1
#define READA 2

#define S_IFMT 00170000
#define S_IFBLK 0060000
#define S_IFCHR 0020000
#define S_ISCHR(m) (((m)&S_IFMT) == S_IFCHR)
#define S_ISBLK(m) (((m)&S_IFMT) == S_IFBLK)

#define FMODE_READ 0x1
#define FMODE_WRITE 0x2

#define O_ACCMODE 03
#define O_RDONLY 00
#define O_WRONLY 01
#define O_RDWR 02
#define O_NONBLOCK 04000

struct inode {
    dev_t i_rdev;
    umode_t i_mode;
    uid_t i_uid;
    gid_t i_gid;
    atomic_t i_count;
    struct block_device *i_bdev;
    void *i_private;
};

struct dentry {
    struct inode *d_inode;
};

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 20)
struct path {
    struct vfsmount *mnt;
    struct dentry *dentry;
};
#endif

struct file {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 20)
    struct path f_path;
#define f_dentry f_path.dentry
#else
    struct dentry *f_dentry;
    struct vfsmount *f_vfsmnt;
#endif
    const struct file_operations *f_op;
    atomic_t f_count;
    unsigned int f_flags;
    fmode_t f_mode;
    loff_t f_pos;
    void *private_data;
};

typedef void *fl_owner_t;
typedef int (*filldir_t)(void *, const char *, int, loff_t, u64, unsigned);

/* The slots a character driver fills; the order of write and aio_read
 * changed in 2.6.19. */
struct file_operations {
    struct module *owner;
    loff_t (*llseek)(struct file *, loff_t, int);
    ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 19)
    ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
    ssize_t (*aio_read)(struct kiocb *, const struct iovec *, unsigned long, loff_t);
    ssize_t (*aio_write)(struct kiocb *, const struct iovec *, unsigned long, loff_t);
#else
    ssize_t (*aio_read)(struct kiocb *, char __user *, size_t, loff_t);
    ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
    ssize_t (*aio_write)(struct kiocb *, const char __user *, size_t, loff_t);
#endif
    int (*readdir)(struct file *, void *, filldir_t);
    unsigned int (*poll)(struct file *, struct poll_table_struct *);
    int (*ioctl)(struct inode *, struct file *, unsigned int, unsigned long);
    long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
    long (*compat_ioctl)(struct file *, unsigned int, unsigned long);
    int (*mmap)(struct file *, struct vm_area_struct *);
    int (*open)(struct inode *, struct file *);
    int (*flush)(struct file *, fl_owner_t id);
    int (*release)(struct inode *, struct file *);
};

/* A block device: a whole disk, or one partition of it. */
struct block_device {
    dev_t bd_dev;
    struct inode *bd_inode;
    int bd_openers;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 17)
    struct mutex bd_mutex; /* open/close and partition changes */
#else
    struct semaphore bd_sem;
#endif
    struct block_device *bd_contains; /* the whole disk (itself for a whole disk) */
    unsigned bd_block_size;
    struct hd_struct *bd_part; /* its partition record (from 2.6.29 also for a whole disk) */
    unsigned bd_part_count;
    struct gendisk *bd_disk;
    atomic_t bd_count;
    struct list_head bd_list;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    struct mutex bd_fsfreeze_mutex; /* freeze_bdev/thaw_bdev; freezes nest */
    int bd_fsfreeze_count;
#else
    struct semaphore bd_mount_sem; /* held from freeze_bdev to thaw_bdev */
#endif
};

#define BDEVNAME_SIZE 32

/* A mounted file system. */
struct super_block {
    struct list_head s_list;
    dev_t s_dev;
    unsigned long s_blocksize;
    unsigned char s_blocksize_bits;
    struct file_system_type *s_type;
    struct block_device *s_bdev;
    int s_count; /* references held by get_super() callers */
    struct rw_semaphore s_umount;
    int s_frozen; /* frozen by freeze_bdev() */
    wait_queue_head_t s_wait_unfrozen;
    char s_id[32];
    const struct super_operations *s_op;
    void *s_fs_info;
};

#define SB_UNFROZEN 0
#define SB_FREEZE_WRITE 1
#define SB_FREEZE_TRANS 2

/*
 * The slots of a file system's super block operations that the stand-in
 * calls; any may be NULL. The freeze pair became freeze_fs/unfreeze_fs in
 * 2.6.29, when a freeze learnt to fail.
 */
struct super_operations {
    void (*put_super)(struct super_block *sb);
    int (*sync_fs)(struct super_block *sb, int wait);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
    int (*freeze_fs)(struct super_block *sb);
    int (*unfreeze_fs)(struct super_block *sb);
#else
    void (*write_super_lockfs)(struct super_block *sb);
    void (*unlockfs)(struct super_block *sb);
#endif
};

/* A file system type its driver registers. get_sb fills in a vfsmount from
 * 2.6.18; before, it returns the super block or an error pointer. */
struct file_system_type {
    const char *name;
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 18)
    int (*get_sb)(struct file_system_type *fs_type, int flags, const char *dev_name, void *data,
                  struct vfsmount *mnt);
#else
    struct super_block *(*get_sb)(struct file_system_type *fs_type, int flags, const char *dev_name,
                                  void *data);
#endif
    void (*kill_sb)(struct super_block *sb);
    struct file_system_type *next;
};

/*
 * What a block driver offers for its disks. Of a real driver's slots (open,
 * release, ioctl) the stand-in calls none; backing_io is the stand-in's own,
 * which no real kernel has: it moves len bytes at byte off of the disk
 * straight from or to the disk's backing store, bypassing its queue, for
 * the machine room's look behind the kernel's back. 0 or -errno.
 */
struct block_device_operations {
    int (*backing_io)(struct gendisk *disk, int rw, unsigned long long off, void *buf,
                      unsigned long long len);
    /* Optional, the stand-in's too: makes what the disk wrote so far durable
     * in its backing store (an image file's fdatasync). 0 or -errno. */
    int (*backing_sync)(struct gendisk *disk);
};

static inline unsigned iminor(const struct inode *inode) {
    return MINOR(inode->i_rdev);
}
static inline unsigned imajor(const struct inode *inode) {
    return MAJOR(inode->i_rdev);
}

extern "C" {
int register_chrdev(unsigned int major, const char *name, const struct file_operations *fops);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 23)
void unregister_chrdev(unsigned int major, const char *name);
#else
int unregister_chrdev(unsigned int major, const char *name);
#endif
void get_file(struct file *f);
void fput(struct file *f);

/* The block device of a device number, with a reference (bdput drops it). */
struct block_device *bdget(dev_t dev);
void bdput(struct block_device *bdev);
/* The file system mounted on a device, with a reference; NULL when none. */
struct super_block *get_super(struct block_device *bdev);
void drop_super(struct super_block *sb);
/*
 * Flushes the file system on the device, waits for its writes in flight and
 * holds every new write until thaw_bdev(). NULL when nothing is mounted; from
 * 2.6.29 an error pointer when the freeze failed.
 */
struct super_block *freeze_bdev(struct block_device *bdev);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 29)
int thaw_bdev(struct block_device *bdev, struct super_block *sb);
#else
void thaw_bdev(struct block_device *bdev, struct super_block *sb);
#endif
int fsync_bdev(struct block_device *bdev);

int register_filesystem(struct file_system_type *fs);
/* The usual get_sb of a file system on a block device: opens the device
 * named dev_name, makes its super block and has fill_super fill it. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 18)
int get_sb_bdev(struct file_system_type *fs_type, int flags, const char *dev_name, void *data,
                int (*fill_super)(struct super_block *sb, void *data, int silent),
                struct vfsmount *mnt);
#else
struct super_block *get_sb_bdev(struct file_system_type *fs_type, int flags, const char *dev_name,
                                void *data,
                                int (*fill_super)(struct super_block *sb, void *data, int silent));
#endif
/* The usual kill_sb of such a file system: put_super, then the device closed. */
void kill_block_super(struct super_block *sb);
/* The device's name ("sda", "sda1", "ram0p1") in buf, which it returns. */
const char *bdevname(struct block_device *bdev, char *buf);
}

#endif
