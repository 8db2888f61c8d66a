/*
 * The statistics of a backup: gathered from the record when the backup ends
 * and written to the kernel log.
 */
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/string.h>

#include "stats.h"
#include "automap.h"
#include "backup.h"

/* The counters are read one by one while the cache thread and the hook may
 * still move them: a snapshot of independent values, not a consistent set. */
void setStats(Backup *b, Stats *stats) {
    memset(stats, 0, sizeof(*stats));
    stats->major = MAJOR(b->diskInfo.kdev);
    stats->minor = MINOR(b->diskInfo.kdev);
    stats->state = velGetState(b);
    stats->partitionStart = (unsigned int)b->diskInfo.partitionStart;
    stats->blockSize = b->diskInfo.blockSize;
    stats->blocksPerPage = (int)b->diskInfo.blocksPerPage;
    stats->partitionSizeKB = (unsigned int)b->diskInfo.partitionSizeKB;
    stats->numBlocks = (unsigned int)b->diskInfo.numBlocks;
    stats->maxVMPages = b->maxVMPages;
    stats->vmPages = getVMAPageCount(b);
    stats->maxCacheBlocks = b->maxCacheBlocks;
    stats->curAllocAMPages = atomic_read(&curAllocAMPages);
    stats->totalAllocPages = atomic_read(&b->totalAllocPages);
    stats->curAllocPages = atomic_read(&b->curAllocPages);
    stats->totalAllocBRs = atomic_read(&b->totalAllocBRs);
    stats->curAllocBRs = atomic_read(&b->curAllocBRs);
    stats->totalAllocCPs = atomic_read(&b->totalAllocCPs);
    stats->curAllocCPs = atomic_read(&b->curAllocCPs);
    stats->peakAllocCPs = atomic_read(&b->peakAllocCPs);
    stats->totalCBs = atomic_read(&b->totalCBs);
    stats->curCBs = atomic_read(&b->curCBs);
    stats->totalReadBlocks = atomic_read(&b->totalReadBlocks);
    stats->totalReadCBs = atomic_read(&b->totalReadCBs);
    stats->totalCleanedCBs = atomic_read(&b->totalCleanedCBs);
    stats->ioctlCount = atomic_read(&b->ioctlCount);
    stats->eTimeToFreeze = b->eTimeToFreeze;
    stats->eTimeFrozen = b->eTimeFrozen;
}

void printStats(Stats *s) {
    const char *fn = "printStats";
    printk(KERN_INFO "%s: device: major(%u) minor(%u)\n", fn, s->major, s->minor);
    printk(KERN_INFO "%s: state: %u\n", fn, s->state);
    printk(KERN_INFO "%s: block size: %i\n", fn, s->blockSize);
    printk(KERN_INFO "%s: partition size (KB): %u\n", fn, s->partitionSizeKB);
    printk(KERN_INFO "%s: file system size (blocks): %u\n", fn, s->numBlocks);
    printk(KERN_INFO "%s: pages allocated for write journal: %d\n", fn, s->curAllocAMPages);
    printk(KERN_INFO "%s: max cache size in blocks: %i\n", fn, (int)s->maxCacheBlocks);
    printk(KERN_INFO "%s: total pages allocated: %d\n", fn, s->totalAllocPages);
    printk(KERN_INFO "%s: current pages allocated: %d\n", fn, s->curAllocPages);
    printk(KERN_INFO "%s: total Block Requests allocated: %d\n", fn, s->totalAllocBRs);
    printk(KERN_INFO "%s: current Block Requests allocated: %d\n", fn, s->curAllocBRs);
    printk(KERN_INFO "%s: total cached blocks: %d\n", fn, s->totalAllocCPs);
    printk(KERN_INFO "%s: current cached blocks: %d\n", fn, s->curAllocCPs);
    printk(KERN_INFO "%s: peak cached blocks: %d\n", fn, s->peakAllocCPs);
    printk(KERN_INFO "%s: total block cache data structures: %d\n", fn, s->totalCBs);
    printk(KERN_INFO "%s: current block cache data structures: %d\n", fn, s->curCBs);
    printk(KERN_INFO "%s: total reads from disk: %d\n", fn, s->totalReadBlocks);
    printk(KERN_INFO "%s: total reads from cache: %d\n", fn, s->totalReadCBs);
    printk(KERN_INFO "%s: blocks cleaned from cache: %d\n", fn, s->totalCleanedCBs);
    printk(KERN_INFO "%s: partition start (sector): %u\n", fn, s->partitionStart);
    printk(KERN_INFO "%s: blocks per page: %i\n", fn, s->blocksPerPage);
    printk(KERN_INFO "%s: max buffer size in pages: %i\n", fn, s->maxVMPages);
    printk(KERN_INFO "%s: buffer pages allocated: %i\n", fn, s->vmPages);
    printk(KERN_INFO "%s: commands processed: %d\n", fn, s->ioctlCount);
    printk(KERN_INFO "%s: time to freeze in seconds: %d.%09d\n", fn, (int)s->eTimeToFreeze.tv_sec,
           (int)s->eTimeToFreeze.tv_nsec);
    printk(KERN_INFO "%s: time frozen in seconds: %d.%09d\n", fn, (int)s->eTimeFrozen.tv_sec,
           (int)s->eTimeFrozen.tv_nsec);
}
