#ifndef STANDIN_HOST_FS_H
#define STANDIN_HOST_FS_H

/*
 * A device of the stand-in that the host itself mounted (the machine's disk
 * exported to the host, a loop device over it, the host's file system on
 * that): mounted in the stand-in as "hostfs" with the host's mount point, so
 * that freeze_bdev on the device freezes the host's file system (FIFREEZE on
 * the mount point) and thaw_bdev thaws it (FITHAW). While the host freezes,
 * its file system's last writes arrive at the device as bios and are served
 * as any others; a capture armed on the device (<standin/disk.h>) is taken
 * once the host is frozen, before freeze_bdev returns.
 *
 * Only the host mount that was at the path when hostfs was mounted is ever
 * frozen: once the host unmounted it (or mounted another one over it), a
 * freeze is refused with -ENOENT rather than freezing whatever file system
 * then holds the directory. A freeze the host refuses, or one refused so,
 * fails freeze_bdev with its error (kernels from 2.6.29; before, the freeze
 * goes on without the host and takes no capture). A thaw the host refuses
 * is logged; the stand-in thaws anyway.
 * Built-in types only, so kernel and host code can both include it.
 */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Mounts hostfs on `dev` for the host's mount point `host_path`, absolute
 * and canonical as /proc/self/mountinfo shows it (-EINVAL when no host
 * mount is there, or for "/", which is never frozen). The caller makes
 * sure the file system mounted there is the one on this device. blocksize:
 * the host file system's block size, a power of two from 512 to a page; 0
 * takes it from the ext2/3/4 super block on the device (-EINVAL when there
 * is none). -EBUSY when something is mounted on the device. Unmounted with
 * standin_umount().
 */
int standin_mount_host(unsigned int dev, const char *host_path, unsigned int blocksize);

#ifdef __cplusplus
}
#endif

#endif
