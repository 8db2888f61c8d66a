/* The kernel side of the RAM disk write benchmark; built-in types only. */
#ifndef VELMORA_BENCH_RAMDISK_WRITER_H
#define VELMORA_BENCH_RAMDISK_WRITER_H

#ifdef __cplusplus
extern "C" {
#endif
/*
 * Writes `count` 4 KiB bios to the device through generic_make_request,
 * `depth` of them in flight at a time, and waits for them all. Returns 0, or
 * a negative errno when a bio could not be made or failed.
 */
int bench_write_4k(unsigned int dev, unsigned long count, unsigned int depth);
#ifdef __cplusplus
}
#endif

#endif
