/*
 * File system types and the super blocks of mounted file systems. A file
 * system's driver registers its type; a mount finds the type by name and
 * calls its get_sb, which for a file system on a block device is
 * get_sb_bdev: the device opened, a super block made, the driver's
 * fill_super. An unmount calls the type's kill_sb. get_super() hands out a
 * mounted super block with a reference (s_count) and s_umount held for
 * reading, as the kernel's does; drop_super() gives both back. An unmount
 * takes s_umount for writing, so it waits for every holder, a frozen file
 * system's freezer included.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/mount.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "internal.h"

struct sb_entry {
    struct super_block sb;
    int alive; /* mounted; cleared by the unmount under sb_lock */
    int pins;  /* users that keep the mount busy */
};

static DEFINE_SPINLOCK(file_systems_lock);
static struct file_system_type *file_systems;

static DEFINE_SPINLOCK(sb_lock);
static LIST_HEAD(super_blocks);
static struct host_mutex mount_lock; /* one mount or unmount at a time */

static const struct super_operations default_op = {};

static struct sb_entry *entry_of(struct super_block *sb) {
    return container_of(sb, struct sb_entry, sb);
}

static struct file_system_type **find_filesystem(const char *name) {
    struct file_system_type **p = &file_systems;
    while (*p && strcmp((*p)->name, name) != 0)
        p = &(*p)->next;
    return p;
}

extern "C" int register_filesystem(struct file_system_type *fs) {
    if (fs->next)
        return -EBUSY;
    spin_lock(&file_systems_lock);
    struct file_system_type **p = find_filesystem(fs->name);
    int ret = *p ? -EBUSY : 0;
    if (!ret)
        *p = fs;
    spin_unlock(&file_systems_lock);
    return ret;
}

static struct file_system_type *get_fs_type(const char *name) {
    spin_lock(&file_systems_lock);
    struct file_system_type *fs = *find_filesystem(name);
    spin_unlock(&file_systems_lock);
    return fs;
}

static void free_super(struct super_block *sb) {
    bdput(sb->s_bdev);
    host_free(entry_of(sb));
}

void put_super(struct super_block *sb) {
    spin_lock(&sb_lock);
    if (sb->s_count <= 0)
        kernel_die("BUG: drop_super of %s without a reference\n", sb->s_id);
    int last = --sb->s_count == 0 && !entry_of(sb)->alive;
    spin_unlock(&sb_lock);
    if (last)
        free_super(sb);
}

extern "C" struct super_block *get_super(struct block_device *bdev) {
    if (!bdev)
        return NULL;
    might_sleep();
    struct sb_entry *e;
rescan:
    spin_lock(&sb_lock);
    list_for_each_entry(e, &super_blocks, sb.s_list) {
        if (e->sb.s_bdev != bdev)
            continue;
        e->sb.s_count++;
        spin_unlock(&sb_lock);
        down_read(&e->sb.s_umount);
        if (__atomic_load_n(&e->alive, __ATOMIC_ACQUIRE))
            return &e->sb;
        drop_super(&e->sb); /* unmounted while we waited */
        goto rescan;
    }
    spin_unlock(&sb_lock);
    return NULL;
}

extern "C" void drop_super(struct super_block *sb) {
    up_read(&sb->s_umount);
    put_super(sb);
}

struct super_block *get_super_by_dev(dev_t dev) {
    struct block_device *bdev = bdget(dev);
    struct super_block *sb = get_super(bdev);
    bdput(bdev);
    return sb;
}

void sb_pin(struct super_block *sb) {
    __atomic_add_fetch(&entry_of(sb)->pins, 1, __ATOMIC_ACQ_REL);
}

void sb_unpin(struct super_block *sb) {
    __atomic_sub_fetch(&entry_of(sb)->pins, 1, __ATOMIC_ACQ_REL);
}

static struct super_block *find_alive(struct block_device *bdev) {
    struct sb_entry *e;
    struct super_block *found = NULL;
    spin_lock(&sb_lock);
    list_for_each_entry(e, &super_blocks, sb.s_list) {
        if (e->sb.s_bdev == bdev)
            found = &e->sb;
    }
    spin_unlock(&sb_lock);
    return found;
}

static int parse_number(const char **p, char end, unsigned int *out) {
    const char *s = *p;
    unsigned int n = 0;
    for (; *s >= '0' && *s <= '9'; s++)
        n = n * 10 + (unsigned int)(*s - '0');
    if (s == *p || *s != end)
        return -ENOENT;
    *out = n;
    *p = s + 1;
    return 0;
}

/* The stand-in has no /dev tree: a block device goes by the name udev links
 * it under, /dev/block/MAJOR:MINOR, which is what its mounts hand get_sb. */
static struct block_device *lookup_bdev(const char *path) {
    static const char prefix[] = "/dev/block/";
    unsigned int major, minor;
    const char *p = path + sizeof(prefix) - 1;
    if (strncmp(path, prefix, sizeof(prefix) - 1) != 0 || parse_number(&p, ':', &major) ||
        parse_number(&p, '\0', &minor))
        return (struct block_device *)ERR_PTR(-ENOENT);
    return bdget(MKDEV(major, minor));
}

/* One mount per device: a second is refused rather than sharing the super
 * block. Called under mount_lock. */
static struct super_block *bdev_super(struct file_system_type *fs_type, const char *dev_name,
                                      void *data,
                                      int (*fill_super)(struct super_block *, void *, int)) {
    struct block_device *bdev = lookup_bdev(dev_name);
    if (IS_ERR(bdev))
        return (struct super_block *)bdev;
    int ret = find_alive(bdev) ? -EBUSY : bdev_open(bdev); /* -ENXIO: no disk behind it */
    if (ret) {
        bdput(bdev);
        return (struct super_block *)ERR_PTR(ret);
    }
    struct sb_entry *e = (struct sb_entry *)host_calloc(1, sizeof(*e));
    struct super_block *sb = &e->sb;
    sb->s_dev = bdev->bd_dev;
    sb->s_type = fs_type;
    sb->s_bdev = bdev;
    sb->s_op = &default_op;
    init_rwsem(&sb->s_umount);
    init_waitqueue_head(&sb->s_wait_unfrozen);
    bdevname(bdev, sb->s_id);
    ret = fill_super(sb, data, 0);
    if (ret) {
        bdev_close(bdev);
        bdput(bdev);
        host_free(e);
        return (struct super_block *)ERR_PTR(ret);
    }
    e->alive = 1;
    spin_lock(&sb_lock);
    list_add_tail(&sb->s_list, &super_blocks);
    spin_unlock(&sb_lock);
    return sb; /* keeps the reference of bdev */
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 18)
static int simple_set_mnt(struct vfsmount *mnt, struct super_block *sb) {
    mnt->mnt_sb = sb;
    mnt->mnt_root = NULL;
    return 0;
}

extern "C" int get_sb_bdev(struct file_system_type *fs_type, int flags, const char *dev_name,
                           void *data, int (*fill_super)(struct super_block *, void *, int),
                           struct vfsmount *mnt) {
    struct super_block *sb = bdev_super(fs_type, dev_name, data, fill_super);
    if (IS_ERR(sb))
        return (int)PTR_ERR(sb);
    return simple_set_mnt(mnt, sb);
}
#else
extern "C" struct super_block *get_sb_bdev(struct file_system_type *fs_type, int flags,
                                           const char *dev_name, void *data,
                                           int (*fill_super)(struct super_block *, void *, int)) {
    return bdev_super(fs_type, dev_name, data, fill_super);
}
#endif

int do_mount_dev(dev_t dev, const char *type, void *data) {
    struct file_system_type *fs_type = get_fs_type(type);
    if (!fs_type)
        return -ENODEV;
    char name[32];
    snprintf(name, sizeof(name), "/dev/block/%u:%u", MAJOR(dev), MINOR(dev));
    host_mutex_lock(&mount_lock);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 18)
    struct vfsmount mnt = {NULL, NULL};
    int ret = fs_type->get_sb(fs_type, 0, name, data, &mnt);
    struct super_block *sb = mnt.mnt_sb;
#else
    struct super_block *sb = fs_type->get_sb(fs_type, 0, name, data);
    int ret = IS_ERR(sb) ? (int)PTR_ERR(sb) : 0;
#endif
    if (!ret)
        printk("<6>%s: mounted %s file system, block size %lu\n", sb->s_id, fs_type->name,
               sb->s_blocksize);
    host_mutex_unlock(&mount_lock);
    return ret;
}

/* With s_umount held for writing by the unmount, which it gives back. */
static void generic_shutdown_super(struct super_block *sb) {
    const struct super_operations *sop = sb->s_op;
    if (sop->sync_fs)
        sop->sync_fs(sb, 1);
    if (sop->put_super)
        sop->put_super(sb);
    spin_lock(&sb_lock);
    __atomic_store_n(&entry_of(sb)->alive, 0, __ATOMIC_RELEASE);
    list_del_init(&sb->s_list);
    spin_unlock(&sb_lock);
    up_write(&sb->s_umount);
}

extern "C" void kill_block_super(struct super_block *sb) {
    struct block_device *bdev = sb->s_bdev;
    generic_shutdown_super(sb);
    bdev_close(bdev); /* the last close unties it from its disk */
}

extern "C" int standin_umount(unsigned int dev) {
    struct block_device *bdev = bdget(dev);
    host_mutex_lock(&mount_lock);
    struct super_block *sb = find_alive(bdev);
    bdput(bdev);
    if (!sb) {
        host_mutex_unlock(&mount_lock);
        return -EINVAL;
    }
    down_write(&sb->s_umount);
    /* A frozen file system is unmounted after its thaw, as umount would wait. */
    while (__atomic_load_n(&sb->s_frozen, __ATOMIC_ACQUIRE) != SB_UNFROZEN) {
        up_write(&sb->s_umount);
        wait_event(sb->s_wait_unfrozen,
                   __atomic_load_n(&sb->s_frozen, __ATOMIC_ACQUIRE) == SB_UNFROZEN);
        down_write(&sb->s_umount);
    }
    /* Pins are taken with s_umount held, so none comes while we hold it. */
    if (__atomic_load_n(&entry_of(sb)->pins, __ATOMIC_ACQUIRE)) {
        up_write(&sb->s_umount);
        host_mutex_unlock(&mount_lock);
        return -EBUSY;
    }
    spin_lock(&sb_lock);
    sb->s_count++; /* ours until the message is out */
    spin_unlock(&sb_lock);
    sb->s_type->kill_sb(sb);
    printk("<6>%s: unmounted\n", sb->s_id);
    put_super(sb);
    host_mutex_unlock(&mount_lock);
    return 0;
}

extern "C" int standin_fs_info(unsigned int dev, char *type, unsigned long type_len,
                               unsigned int *blocksize) {
    struct super_block *sb = get_super_by_dev(dev);
    if (!sb)
        return -ENODEV;
    if (type)
        strlcpy(type, sb->s_type->name, type_len);
    if (blocksize)
        *blocksize = (unsigned int)sb->s_blocksize;
    drop_super(sb);
    return 0;
}
