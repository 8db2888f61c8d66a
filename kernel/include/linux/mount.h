#ifndef _LINUX_MOUNT_H
#define _LINUX_MOUNT_H

struct dentry;
struct super_block;

/* A mount of a super block. The stand-in keeps no mount tree: a vfsmount
 * only carries the super block that get_sb made back to the mount. */
struct vfsmount {
    struct dentry *mnt_root;
    struct super_block *mnt_sb;
};

#endif
