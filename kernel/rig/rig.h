/*
 * Interfaces between the parts of the rig: the stand-in's test machinery
 * (file systems, workloads, captures), built in, which the kernel's own
 * facilities never call. Kernel code, on the stand-in's internal interfaces.
 */
#ifndef STANDIN_RIG_H
#define STANDIN_RIG_H

#include "../src/internal.h"

/* fs_io.cpp: the write path of the rig's file systems. attach makes sb one
 * of them: its s_fs_info and s_op. Blocks are I/O blocks of io_size bytes. */
void sim_fs_attach(struct super_block *sb, unsigned int io_size);
int fs_write_block(struct super_block *sb, unsigned long long block, const void *data, int mode,
                   unsigned long *epoch);
int fs_writeback(struct super_block *sb);
int fs_write_blocks_queued(struct super_block *sb, const unsigned long long *blocks,
                           const void *const *data, const unsigned long long *gaps, int n,
                           unsigned long *epoch);
unsigned int fs_io_size(struct super_block *sb);
unsigned long long fs_io_blocks(struct super_block *sb);

/* filesystems.cpp: the block size of a rig file system, its write path
 * attached; the ext type and block size in the super block of an open
 * device (*name NULL when it holds none). */
void fs_set_block_size(struct super_block *sb, unsigned int blocksize);
int fs_read_ext_super(struct block_device *bdev, const char **name, unsigned int *blocksize);
static inline int fs_is_power_of_two(unsigned int n) {
    return n && !(n & (n - 1));
}

/* hostfs.cpp: registered with the others. fs_io.cpp: a rig file system
 * whose freeze and thaw also freeze and thaw the host's file system mounted
 * at host_path, as long as the mount there is still host_id (both copied). */
extern struct file_system_type hostfs_fs_type;
void sim_fs_set_host(struct super_block *sb, const char *host_path, const char *host_id);

/* host_mountinfo.cpp: the host mount at path now ("<mount id> <major:minor>"
 * of the top one); -ENOENT when path is no mount point, -EIO when the host's
 * mount table cannot be read. */
#define HOST_MOUNT_ID_SIZE 48
int host_mount_id(const char *path, char *id, unsigned long size);

/* ext_detect.cpp */
const char *ext_detect(const unsigned char *super, unsigned int *blocksize);

/* capture.cpp: with the file system frozen, under freeze number `epoch`. */
void capture_on_freeze(struct super_block *sb, unsigned long epoch);

#endif
