/*
 * Super blocks of mounted file systems. Mounting reads the device's super
 * block through the block layer (ext2/ext3/ext4), or takes the test file
 * system's block size as told. get_super() hands out a mounted super block
 * with a reference (s_count) and s_umount held for reading, as the kernel's
 * does; drop_super() gives both back. An unmount takes s_umount for writing,
 * so it waits for every holder, a frozen file system's freezer included.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "internal.h"

struct sb_entry {
    struct super_block sb;
    int alive; /* mounted; cleared by the unmount under sb_lock */
};

static struct file_system_type ext2_type = {"ext2", {NULL, NULL}};
static struct file_system_type ext3_type = {"ext3", {NULL, NULL}};
static struct file_system_type ext4_type = {"ext4", {NULL, NULL}};
static struct file_system_type test_type = {"testfs", {NULL, NULL}};

static DEFINE_SPINLOCK(sb_lock);
static LIST_HEAD(super_blocks);
static struct host_mutex mount_lock; /* one mount or unmount at a time */

static struct sb_entry *entry_of(struct super_block *sb) {
    return container_of(sb, struct sb_entry, sb);
}

static void free_super(struct super_block *sb) {
    sim_fs_destroy((struct sim_fs *)sb->s_fs_info);
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

static int ext_recognise(struct block_device *bdev, const char *want,
                         struct file_system_type **type, unsigned int *blocksize) {
    unsigned char *super = (unsigned char *)host_malloc(1024);
    int ret = blk_rw_sync(bdev, READ, 2, super, 1024);
    const char *name = ret ? NULL : ext_detect(super, blocksize);
    host_free(super);
    if (ret)
        return ret;
    char id[BDEVNAME_SIZE];
    if (!name || (want && strcmp(want, "ext") != 0 && strcmp(want, name) != 0)) {
        printk("<3>VFS: Can't find %s filesystem on dev %s.\n", want ? want : "ext2",
               bdevname(bdev, id));
        return -EINVAL;
    }
    *type = strcmp(name, "ext4") == 0   ? &ext4_type
            : strcmp(name, "ext3") == 0 ? &ext3_type
                                        : &ext2_type;
    return 0;
}

static int is_power_of_two(unsigned int n) {
    return n && !(n & (n - 1));
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

static int do_mount(struct block_device *bdev, const char *type, unsigned int blocksize) {
    if (find_alive(bdev))
        return -EBUSY;
    struct file_system_type *fstype;
    int ret = bdev_open(bdev); /* -ENXIO: no disk behind the number */
    if (ret)
        return ret;
    if (type && strcmp(type, "testfs") == 0) {
        if (!is_power_of_two(blocksize) || blocksize < 64 || blocksize > PAGE_SIZE)
            ret = -EINVAL;
        fstype = &test_type;
    } else {
        ret = ext_recognise(bdev, type, &fstype, &blocksize);
    }
    if (ret) {
        bdev_close(bdev);
        return ret;
    }
    struct sb_entry *e = (struct sb_entry *)host_calloc(1, sizeof(*e));
    struct super_block *sb = &e->sb;
    sb->s_dev = bdev->bd_dev;
    sb->s_blocksize = blocksize;
    sb->s_blocksize_bits = (unsigned char)__builtin_ctz(blocksize);
    sb->s_type = fstype;
    sb->s_bdev = bdev;
    init_rwsem(&sb->s_umount);
    init_waitqueue_head(&sb->s_wait_unfrozen);
    bdevname(bdev, sb->s_id);
    sb->s_fs_info = sim_fs_create(sb, blocksize < 512 ? 512 : blocksize);
    if (blocksize >= 512)
        bdev->bd_block_size = blocksize;
    e->alive = 1;
    spin_lock(&sb_lock);
    list_add_tail(&sb->s_list, &super_blocks);
    spin_unlock(&sb_lock);
    printk("<6>%s: mounted %s file system, block size %u\n", sb->s_id, fstype->name, blocksize);
    return 0;
}

extern "C" int standin_mount(unsigned int dev, const char *type, unsigned int blocksize) {
    struct block_device *bdev = bdget(dev);
    host_mutex_lock(&mount_lock);
    int ret = do_mount(bdev, type, blocksize);
    host_mutex_unlock(&mount_lock);
    if (ret)
        bdput(bdev); /* on success the super block keeps the reference */
    return ret;
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
    int ret = sim_fs_shutdown(sb);
    if (ret) {
        up_write(&sb->s_umount);
        host_mutex_unlock(&mount_lock);
        return ret;
    }
    spin_lock(&sb_lock);
    __atomic_store_n(&entry_of(sb)->alive, 0, __ATOMIC_RELEASE);
    list_del_init(&sb->s_list);
    int unused = sb->s_count == 0;
    spin_unlock(&sb_lock);
    up_write(&sb->s_umount);
    bdev_close(sb->s_bdev); /* the last close unties it from its disk */
    printk("<6>%s: unmounted\n", sb->s_id);
    if (unused)
        free_super(sb);
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
