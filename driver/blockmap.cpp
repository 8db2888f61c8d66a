/*
 * The block map: one bit per block, kept in separate pages so that only the
 * page array needs contiguous memory. Every operation counts itself in on the
 * map's users, so a map can be exchanged or freed only after draining them.
 */
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/highmem.h>
#include <linux/vmalloc.h>
#include <linux/string.h>
#include <linux/sched.h>
#include <asm/uaccess.h>
#include <asm/bitops.h>

#include "block_map.h"
#include "user_count.h"

#define BM_BITS_PER_PAGE (BLOCKMAP_BYTES_PER_PAGE * 8)

/* (size + 7) / 8 in 32-bit arithmetic: 0 for size 0 and for the sizes whose
 * sum wraps. */
static u32 bytesForBlocks(u32 size) {
    return (u32)(size + 7) / 8;
}

int numPagesInBlockMap(BlockMap *bmap) {
    return (int)((bytesForBlocks(bmap->size) + BLOCKMAP_BYTES_PER_PAGE - 1) /
                 BLOCKMAP_BYTES_PER_PAGE);
}

/* An empty map: every block out of range, and its bit operations safe. */
void initBlockMap(BlockMap *bmap) {
    memset(bmap, 0, sizeof(*bmap));
    spin_lock_init(&bmap->usersLock);
    atomic_set(&bmap->users, 1);
}

int newBlockMap(BlockMap *bmap, u32 size, const void __user *data, int zeroFill,
                int *numPagesAlloc) {
    u32 bytesInMap = bytesForBlocks(size);
    if (bytesInMap == 0) {
        printk(KERN_ERR "%s: block size size=%u invalid\n", __func__, size);
        return VEL_ERR_INVALID;
    }
    /* Set up before anything can fail, so that a failed map is an empty one. */
    initBlockMap(bmap);
    int numPages = (int)((bytesInMap + BLOCKMAP_BYTES_PER_PAGE - 1) / BLOCKMAP_BYTES_PER_PAGE);
    bmap->map = (struct page **)vmalloc((unsigned long)numPages * sizeof(struct page *));
    if (!bmap->map) {
        printk(KERN_ERR "%s: failed allocating (%d) bytes of memory for block map page array\n",
               __func__, numPages * (int)sizeof(struct page *));
        return VEL_ERR_NO_MEMORY;
    }
    memset(bmap->map, 0, (unsigned long)numPages * sizeof(struct page *));
    bmap->size = size;
    bmap->numBytes = bytesInMap;

    int result = VEL_OK;
    for (int i = 0; i < numPages; i++) {
        u32 len = BLOCKMAP_BYTES_PER_PAGE;
        if (i == numPages - 1 && bytesInMap % BLOCKMAP_BYTES_PER_PAGE)
            len = bytesInMap % BLOCKMAP_BYTES_PER_PAGE;
        bmap->map[i] = alloc_pages(GFP_HIGHUSER, 0);
        if (!bmap->map[i]) {
            printk(KERN_ERR "%s: failed allocating page number (%d) for block map\n", __func__, i);
            result = VEL_ERR_NO_MEMORY;
            break;
        }
        char *addr = (char *)kmap(bmap->map[i]);
        if (!data) {
            memset(addr, zeroFill == BLOCKMAP_ZEROED ? 0x00 : 0xFF, len);
        } else {
            const char __user *src =
                (const char __user *)data + (unsigned long)i * BLOCKMAP_BYTES_PER_PAGE;
            if (copy_from_user(addr, src, len)) {
                printk(KERN_ERR
                       "%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
                       __func__, src, (int)len, (int)bytesInMap);
                result = VEL_ERR_COPY_FROM_USER;
            }
        }
        kunmap(bmap->map[i]);
        if (result)
            break;
    }
    if (result) {
        int freed;
        printk(KERN_ERR "%s: Out of Memory Error.%s", __func__, "\n");
        closeBlockMap(bmap, &freed);
        return result;
    }
    *numPagesAlloc = numPages;
    return VEL_OK;
}

void closeBlockMap(BlockMap *bmap, int *numPagesFreed) {
    if (!bmap->map)
        return;
    int numPages = numPagesInBlockMap(bmap);
    for (int i = 0; i < numPages; i++) {
        if (!bmap->map[i])
            continue;
        __free_pages(bmap->map[i], 0);
        bmap->map[i] = NULL;
    }
    vfree(bmap->map);
    bmap->map = NULL;
    bmap->size = 0;
    *numPagesFreed = numPages;
}

static void countIn(BlockMap *bm) {
    usersIn(&bm->usersLock, &bm->users);
}

static void countOut(BlockMap *bm) {
    atomic_dec(&bm->users);
}

/* The bitmap page holding a block that lies inside the map. */
static void *blockPage(BlockMap *bm, u32 blockNum) {
    return kmap(bm->map[blockNum / BM_BITS_PER_PAGE]);
}

static void blockPageDone(BlockMap *bm, u32 blockNum) {
    kunmap(bm->map[blockNum / BM_BITS_PER_PAGE]);
}

enum BitOp { BIT_SET, BIT_CLEAR, BIT_TEST };

/*
 * -1 when the block lies beyond the map; else the bit after the operation.
 * The bit operations are atomic and the user count keeps the pages in place,
 * so a tracked write takes no lock here.
 */
static int bitOp(BlockMap *bm, u32 blockNum, enum BitOp op) {
    int result = -1;
    countIn(bm);
    if (blockNum < bm->size) {
        void *page = blockPage(bm, blockNum);
        int bit = blockNum % BM_BITS_PER_PAGE;
        if (op == BIT_SET)
            set_bit(bit, page);
        else if (op == BIT_CLEAR)
            clear_bit(bit, page);
        result = test_bit(bit, page) ? 1 : 0;
        blockPageDone(bm, blockNum);
    }
    countOut(bm);
    return result;
}

u32 setBlock(BlockMap *bm, u32 blockNum) {
    return bitOp(bm, blockNum, BIT_SET) < 0 ? blockNum : 0;
}

int unSetBlock(BlockMap *bm, u32 blockNum) {
    return bitOp(bm, blockNum, BIT_CLEAR) < 0 ? 1 : 0;
}

int blockInMap(BlockMap *bm, u32 blockNum) {
    return bitOp(bm, blockNum, BIT_TEST) > 0 ? -1 : 0;
}

void waitForBlockMapUsers(BlockMap *bm, unsigned long *flags) {
    drainUsers(&bm->usersLock, &bm->users, flags);
}
