/*
 * Kernel code of the change-tracking benchmarks: a device tracked through the
 * driver's own functions, and the driver's block map operations.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "vellib.h"
#include "tracking_bench_kernel.h"

static Backup *tracked;

extern "C" int bench_tracking_begin(unsigned int dev) {
    if (tracked)
        return -1;
    Backup *b = (Backup *)kmalloc(sizeof(*b), GFP_KERNEL);
    if (!b)
        return 5;
    memset(b, 0, sizeof(*b));
    int r = getDiskInfo(&b->diskInfo, dev);
    if (!r) {
        b->diskInfo.numBlocks = b->diskInfo.partitionLen >> b->diskInfo.sectorsPerBlockShift;
        AutoMapSession *ams;
        r = newAMS(b, &ams);
        if (!r) {
            velSetState(ams, 1);
            r = setMRF(b, velAMRF);
        }
    }
    tracked = b;
    if (r)
        bench_tracking_end();
    return r;
}

extern "C" void bench_tracking_hook(int on) {
    if (!tracked)
        return;
    struct request_queue *q = getRequestQueue(&tracked->diskInfo);
    ACCESS_ONCE(q->make_request_fn) = on ? velAMRF : getRealMRF(q);
}

extern "C" void bench_tracking_end(void) {
    if (!tracked)
        return;
    closeAMS(tracked);
    closeDiskInfo(&tracked->diskInfo);
    kfree(tracked);
    tracked = NULL;
}

extern "C" void *bench_map_new(unsigned int blocks) {
    BlockMap *bm = (BlockMap *)kmalloc(sizeof(*bm), GFP_KERNEL);
    int pages;
    if (bm && newBlockMap(bm, blocks, NULL, 1, &pages)) {
        kfree(bm);
        bm = NULL;
    }
    return bm;
}

extern "C" void bench_map_free(void *map) {
    int pages;
    closeBlockMap((BlockMap *)map, &pages);
    kfree(map);
}

extern "C" unsigned int bench_set_block(void *map, unsigned int block) {
    return setBlock((BlockMap *)map, block);
}

extern "C" int bench_block_in_map(void *map, unsigned int block) {
    return blockInMap((BlockMap *)map, block);
}
