/*
 * Device geometry: where a device lies on its disk, how the blocks of its
 * mounted file system map onto 512-byte sectors, and which blocks a bio
 * touches.
 */
#ifndef VELMORA_GEOMETRY_H
#define VELMORA_GEOMETRY_H

#include <linux/types.h>
#include <linux/fs.h>
#include <linux/blkdev.h>
#include <linux/bio.h>

#include <velmora.h>

struct Backup;

/* One block device: where it lies on its disk and how its blocks map onto
 * 512-byte sectors. */
typedef struct DiskInfo {
    dev_t kdev;
    sector_t partitionStart;
    int blockSize;
    unsigned int blocksPerPage;
    struct super_block *superBlock;
    sector_t partitionSizeKB;
    sector_t numBlocks;
    make_request_fn *realMRF;
    struct block_device *bdev;
    sector_t partitionLen;
    int sectorsPerBlock;
    int sectorsPerBlockShift;
} DiskInfo;

int getDiskInfo(DiskInfo *di, dev_t kdev);
/* The device's queue through its disk; NULL while the device is closed. */
struct request_queue *getRequestQueue(DiskInfo *di);
/* Releases what the record holds: a super block and the device reference. */
void closeDiskInfo(DiskInfo *di);
int ioctlGetBlockSize(struct Backup *b, dev_t kdev, BlockSize __user *bs, unsigned int len);
/* The blocks of the device that a bio of its whole disk touches. */
void BIOToBlockNumbers(DiskInfo *diskInfo, struct bio *bio, u32 *startBN, u32 *endBN);

#endif
