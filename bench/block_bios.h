/* Kernel side of the block benchmarks: runs of 4 KiB bios to chosen blocks
 * of a device. Built-in types only. */
#ifndef VELMORA_BENCH_BLOCK_BIOS_H
#define VELMORA_BENCH_BLOCK_BIOS_H

#ifdef __cplusplus
extern "C" {
#endif
/*
 * Writes, or reads, 4 KiB blocks first .. first + count - 1 of the device
 * through generic_make_request, `depth` bios in flight at a time, and waits
 * for them all. Returns 0, or a negative errno when a bio failed.
 */
int bench_write_blocks(unsigned int dev, unsigned long first, unsigned long count,
                       unsigned int depth);
int bench_read_blocks(unsigned int dev, unsigned long first, unsigned long count,
                      unsigned int depth);
/*
 * Writes `count` 4 KiB bios from the device's first block on, starting over
 * at block 0 when the device is full, `depth` in flight at a time.
 */
int bench_write_4k(unsigned int dev, unsigned long count, unsigned int depth);
/*
 * Puts `fn` (a make_request_fn, or NULL to only look) on the queue of the
 * device and returns the one it had: a benchmark takes a hook off for a bare
 * run and puts it back, on the same disk.
 */
void *bench_swap_queue_fn(unsigned int dev, void *fn);
#ifdef __cplusplus
}
#endif

#endif
