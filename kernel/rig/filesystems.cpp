/*
 * The rig's file system types, registered at boot: ext2, ext3 and ext4, each
 * recognised by its super block read through the block layer, and "testfs",
 * which needs nothing on disk and takes its block size as its mount data.
 * All of them keep their blocks with the write path of fs_io.cpp, as does
 * "hostfs" (hostfs.cpp), the stand-in's face of a file system the host
 * mounted. And the machine room's mount, which names the type for the
 * kernel's mount when the caller does not.
 */
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/disk.h>

#include "rig.h"

void fs_set_block_size(struct super_block *sb, unsigned int blocksize) {
    sb->s_blocksize = blocksize;
    sb->s_blocksize_bits = (unsigned char)__builtin_ctz(blocksize);
    if (blocksize >= 512)
        sb->s_bdev->bd_block_size = blocksize;
    sim_fs_attach(sb, blocksize < 512 ? 512 : blocksize);
}

int fs_read_ext_super(struct block_device *bdev, const char **name, unsigned int *blocksize) {
    unsigned char *super = (unsigned char *)host_malloc(1024);
    int ret = blk_rw_sync(bdev, READ, 2, super, 1024);
    *name = ret ? NULL : ext_detect(super, blocksize);
    host_free(super);
    return ret;
}

/* data: the type the caller asked for, which the disk must hold unless it
 * is NULL or "ext" (any of the family); it names the type in the complaint. */
static int ext_fill_super(struct super_block *sb, void *data, int silent) {
    const char *want = (const char *)data;
    const char *name;
    unsigned int blocksize;
    int ret = fs_read_ext_super(sb->s_bdev, &name, &blocksize);
    if (ret)
        return ret;
    if (!name || strcmp(name, sb->s_type->name) != 0 ||
        (want && strcmp(want, "ext") != 0 && strcmp(want, name) != 0)) {
        if (!silent)
            printk("<3>VFS: Can't find %s filesystem on dev %s.\n", want ? want : sb->s_type->name,
                   sb->s_id);
        return -EINVAL;
    }
    fs_set_block_size(sb, blocksize);
    return 0;
}

/* data: the block size, a power of two from 64 bytes to a page. */
static int testfs_fill_super(struct super_block *sb, void *data, int silent) {
    unsigned int blocksize = data ? *(unsigned int *)data : 0;
    if (!fs_is_power_of_two(blocksize) || blocksize < 64 || blocksize > PAGE_SIZE)
        return -EINVAL;
    fs_set_block_size(sb, blocksize);
    return 0;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 18)
static int ext_get_sb(struct file_system_type *fs_type, int flags, const char *dev_name, void *data,
                      struct vfsmount *mnt) {
    return get_sb_bdev(fs_type, flags, dev_name, data, ext_fill_super, mnt);
}

static int testfs_get_sb(struct file_system_type *fs_type, int flags, const char *dev_name,
                         void *data, struct vfsmount *mnt) {
    return get_sb_bdev(fs_type, flags, dev_name, data, testfs_fill_super, mnt);
}
#else
static struct super_block *ext_get_sb(struct file_system_type *fs_type, int flags,
                                      const char *dev_name, void *data) {
    return get_sb_bdev(fs_type, flags, dev_name, data, ext_fill_super);
}

static struct super_block *testfs_get_sb(struct file_system_type *fs_type, int flags,
                                         const char *dev_name, void *data) {
    return get_sb_bdev(fs_type, flags, dev_name, data, testfs_fill_super);
}
#endif

static struct file_system_type ext2_fs_type = {"ext2", ext_get_sb, kill_block_super, NULL};
static struct file_system_type ext3_fs_type = {"ext3", ext_get_sb, kill_block_super, NULL};
static struct file_system_type ext4_fs_type = {"ext4", ext_get_sb, kill_block_super, NULL};
static struct file_system_type testfs_fs_type = {"testfs", testfs_get_sb, kill_block_super, NULL};

static struct file_system_type *const ext_types[] = {&ext2_fs_type, &ext3_fs_type, &ext4_fs_type};

static int __init init_rig_filesystems(void) {
    int ret = 0;
    for (unsigned int i = 0; i < sizeof(ext_types) / sizeof(ext_types[0]) && !ret; i++)
        ret = register_filesystem(ext_types[i]);
    if (!ret)
        ret = register_filesystem(&testfs_fs_type);
    return ret ? ret : register_filesystem(&hostfs_fs_type);
}
device_initcall(init_rig_filesystems);

static int is_ext_type(const char *name) {
    for (unsigned int i = 0; i < sizeof(ext_types) / sizeof(ext_types[0]); i++)
        if (strcmp(name, ext_types[i]->name) == 0)
            return 1;
    return 0;
}

/*
 * Without a type, with "ext" or with one the rig does not have, the super
 * block names it, as blkid tells mount(8); none found, ext2 is mounted, and
 * its complaint is the caller's answer. The device stays open from the look
 * to the mount, so the look adds no last close (and write-back) of its own.
 */
extern "C" int standin_mount(unsigned int dev, const char *type, unsigned int blocksize) {
    if (type && strcmp(type, "testfs") == 0)
        return do_mount_dev(dev, "testfs", &blocksize);
    if (type && is_ext_type(type))
        return do_mount_dev(dev, type, (void *)type);
    struct block_device *bdev = bdget(dev);
    int opened = bdev_open(bdev) == 0;
    const char *found = NULL;
    unsigned int found_blocksize;
    if (opened && fs_read_ext_super(bdev, &found, &found_blocksize))
        found = NULL;
    int ret = do_mount_dev(dev, found ? found : "ext2", (void *)type);
    if (opened)
        bdev_close(bdev);
    bdput(bdev);
    return ret;
}
