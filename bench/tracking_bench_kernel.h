/* The kernel side of the change-tracking benchmarks; built-in types only. */
#ifndef VELMORA_BENCH_TRACKING_BENCH_KERNEL_H
#define VELMORA_BENCH_TRACKING_BENCH_KERNEL_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Tracks a device with a mounted file system as the end of a backup leaves
 * it: an automap session in sync and the automap-only hook on its queue, made
 * through the driver's own functions. One device at a time. 0, or the status
 * of the failing step.
 */
int bench_tracking_begin(unsigned int dev);
/*
 * Between two batches: puts the automap-only hook on the tracked device's
 * queue (on != 0), or the queue's own function as the registry saved it,
 * leaving the session and the registry as they are.
 */
void bench_tracking_hook(int on);
/* Closes the session, which gives the queue its own function back. */
void bench_tracking_end(void);

/* A driver block map of `blocks` blocks, all clear; NULL when it cannot be
 * made. */
void *bench_map_new(unsigned int blocks);
void bench_map_free(void *map);
unsigned int bench_set_block(void *map, unsigned int block);
int bench_block_in_map(void *map, unsigned int block);

#ifdef __cplusplus
}
#endif

#endif
