#ifndef _LINUX_FS_H
#define _LINUX_FS_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/list.h>
#include <linux/kdev_t.h>
#include <linux/wait.h>
#include <linux/semaphore.h>
#include <linux/mutex.h>
#include <asm/atomic.h>

struct module;
struct vm_area_struct;
struct poll_table_struct;
struct kiocb;
struct iovec;
struct super_block;
struct block_device;
struct gendisk;
struct vfsmount;

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
}

#endif
