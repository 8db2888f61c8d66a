/*
 * "hostfs": a file system the host mounted on a device of the stand-in
 * (through the disk export and a loop device), as the stand-in sees it. The
 * host does the file system's writes, which arrive at the device as bios;
 * the stand-in keeps a super block for it so that freeze_bdev on the device
 * freezes the host's mount point (FIFREEZE), and thaw_bdev thaws it. Its
 * block size is the host file system's, so a driver that tracks blocks of
 * the mounted file system tracks the host's.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/host_fs.h>

#include "rig.h"

#define HOST_PATH_MAX 4096

struct hostfs_options {
    const char *host_path;
    unsigned int blocksize; /* 0: the ext super block's */
};

static int hostfs_fill_super(struct super_block *sb, void *data, int silent) {
    struct hostfs_options *opts = (struct hostfs_options *)data;
    char host_id[HOST_MOUNT_ID_SIZE];
    if (host_mount_id(opts->host_path, host_id, sizeof(host_id))) {
        printk("<3>hostfs: %s is no mount point of the host\n", opts->host_path);
        return -EINVAL;
    }
    unsigned int blocksize = opts->blocksize;
    if (!blocksize) {
        const char *name;
        int ret = fs_read_ext_super(sb->s_bdev, &name, &blocksize);
        if (ret)
            return ret;
        if (!name) {
            printk("<3>hostfs: no ext file system on %s, and no block size given\n", sb->s_id);
            return -EINVAL;
        }
    }
    if (!fs_is_power_of_two(blocksize) || blocksize < 512 || blocksize > PAGE_SIZE)
        return -EINVAL;
    fs_set_block_size(sb, blocksize);
    sim_fs_set_host(sb, opts->host_path, host_id);
    return 0;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 18)
static int hostfs_get_sb(struct file_system_type *fs_type, int flags, const char *dev_name,
                         void *data, struct vfsmount *mnt) {
    return get_sb_bdev(fs_type, flags, dev_name, data, hostfs_fill_super, mnt);
}
#else
static struct super_block *hostfs_get_sb(struct file_system_type *fs_type, int flags,
                                         const char *dev_name, void *data) {
    return get_sb_bdev(fs_type, flags, dev_name, data, hostfs_fill_super);
}
#endif

struct file_system_type hostfs_fs_type = {"hostfs", hostfs_get_sb, kill_block_super, NULL};

extern "C" int standin_mount_host(unsigned int dev, const char *host_path, unsigned int blocksize) {
    /* The host's root is never frozen: the service itself writes there. */
    if (!host_path || host_path[0] != '/' || !host_path[1] || strlen(host_path) >= HOST_PATH_MAX)
        return -EINVAL;
    struct hostfs_options opts = {host_path, blocksize};
    int ret = do_mount_dev(dev, "hostfs", &opts);
    if (!ret)
        printk("<6>hostfs: freezes of dev %u:%u freeze the host's %s\n", MAJOR(dev), MINOR(dev),
               host_path);
    return ret;
}
