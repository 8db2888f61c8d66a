/* The statistics of a backup, written to the kernel log when it ends. */
#ifndef VELMORA_STATS_H
#define VELMORA_STATS_H

#include <linux/time.h>

typedef struct Stats {
    unsigned int driverVerMajor;
    unsigned int driverVerMinor;
    unsigned int driverVerMinor2;
    unsigned int major;
    unsigned int minor;
    unsigned int state;
    unsigned int partitionStart;
    int blockSize;
    int blocksPerPage;
    unsigned int partitionSizeKB;
    unsigned int numBlocks;
    int maxVMPages;
    int vmPages;
    unsigned int maxCacheBlocks;
    int curAllocAMPages;
    int totalAllocPages;
    int curAllocPages;
    int totalAllocBRs;
    int curAllocBRs;
    int totalAllocCPs;
    int curAllocCPs;
    int peakAllocCPs;
    int totalCBs;
    int curCBs;
    int totalReadBlocks;
    int totalReadCBs;
    int totalCleanedCBs;
    int ioctlCount;
    struct timespec eTimeToFreeze;
    struct timespec eTimeFrozen;
} Stats;

struct Backup;

/* Gathers the counters of a backup; the caller holds its bSem. */
void setStats(struct Backup *b, Stats *stats);
/* Writes them to the kernel log, one line each. */
void printStats(Stats *s);

#endif
