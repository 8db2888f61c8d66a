/*
 * Device geometry: where a device lies on its disk, how the blocks of its
 * mounted file system map onto 512-byte sectors, and which blocks a bio
 * touches.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/string.h>
#include <linux/mm.h>
#include <asm/bitops.h>
#include <asm/uaccess.h>

#include "geometry.h"
#include "shim-2.6.h"

int getDiskInfo(DiskInfo *di, dev_t kdev) {
    di->superBlock = NULL;
    di->kdev = kdev;
    di->bdev = bdget(kdev);
    struct super_block *sb = di->bdev ? get_super(di->bdev) : NULL;
    if (!sb) {
        printk(KERN_ERR "%s: device major=%d minor=%d not found, getting super block failed\n",
               __func__, MAJOR(kdev), MINOR(kdev));
        return VEL_ERR_NO_FILE_SYSTEM;
    }
    di->blockSize = (int)sb->s_blocksize;
    di->sectorsPerBlock = di->blockSize >> 9;
    if (di->sectorsPerBlock == 0) {
        printk(KERN_WARNING "%s: device %x has bad block size %d\n", __func__, kdev, di->blockSize);
        drop_super(sb);
        return VEL_ERR_BAD_BLOCK_SIZE;
    }
    di->blocksPerPage = (unsigned int)PAGE_SIZE / (unsigned int)di->blockSize;
    di->sectorsPerBlockShift = (int)__ffs((unsigned long)di->sectorsPerBlock);
    /* 0 for a whole disk: before 2.6.29 a whole disk has no partition record,
     * from 2.6.29 it has one that starts at 0. */
    di->partitionStart = get_start_sect(di->bdev);
    if (di->bdev->bd_part)
        di->partitionLen = di->bdev->bd_part->nr_sects;
    else if (di->bdev->bd_disk)
        di->partitionLen = get_capacity(di->bdev->bd_disk);
    else
        printk(KERN_WARNING "%s: can't detect device %x size.\n", __func__, kdev);
    di->partitionSizeKB = di->partitionLen / 2;
    drop_super(sb);
    return VEL_OK;
}

void BIOToBlockNumbers(DiskInfo *diskInfo, struct bio *bio, u32 *startBN, u32 *endBN) {
    sector_t start =
        bio->bi_sector < diskInfo->partitionStart ? 0 : bio->bi_sector - diskInfo->partitionStart;
    sector_t end = start + (bio->bi_size >> 9);
    if (end)
        end--;
    if (bio->bi_size & 511)
        end++;
    if (end >= diskInfo->partitionLen)
        end = diskInfo->partitionLen ? diskInfo->partitionLen - 1 : 0;
    *startBN = (u32)(start >> diskInfo->sectorsPerBlockShift);
    *endBN = (u32)(end >> diskInfo->sectorsPerBlockShift);
}

struct request_queue *getRequestQueue(DiskInfo *di) {
    return velGetRequestQueue(di->bdev);
}

/* Releases what the record holds: a super block and the device reference. */
void closeDiskInfo(DiskInfo *di) {
    if (di->superBlock) {
        drop_super(di->superBlock);
        di->superBlock = NULL;
    }
    if (di->bdev) {
        bdput(di->bdev);
        di->bdev = NULL;
    }
}

int ioctlGetBlockSize(Backup *b, dev_t kdev, BlockSize __user *bs, unsigned int len) {
    BlockSize local;
    DiskInfo di;
    memset(&local, 0, sizeof(local));
    memset(&di, 0, sizeof(di));
    local.major = MAJOR(kdev);
    local.minor = MINOR(kdev);
    int r = getDiskInfo(&di, kdev);
    if (r == VEL_OK) {
        local.blockSize = di.blockSize;
        local.partitionSizeKB = (u32)di.partitionSizeKB;
        if (copy_to_user(bs, &local, min(len, (unsigned int)sizeof(local)))) {
            printk(KERN_ERR "%s: copy to user space %s\n", __func__, "failed");
            r = VEL_ERR_COPY_TO_USER;
        }
    }
    closeDiskInfo(&di);
    return r;
}
