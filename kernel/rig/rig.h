/*
 * Interfaces between the parts of the rig: the stand-in's test machinery
 * (file systems, workloads, captures), built in, which the kernel's own
 * facilities never call. Kernel code, on the stand-in's internal interfaces.
 */
#ifndef STANDIN_RIG_H
#define STANDIN_RIG_H

#include "../src/internal.h"

/* fs_io.cpp: the write path of the rig's file systems. attach makes sb one
 * of them: its s_fs_info and s_op. Blocks are I/O blocks of io_size bytes. */
void sim_fs_attach(struct super_block *sb, unsigned int io_size);
int fs_write_block(struct super_block *sb, unsigned long long block, const void *data, int mode,
                   unsigned long *epoch);
int fs_writeback(struct super_block *sb);
int fs_write_blocks_queued(struct super_block *sb, const unsigned long long *blocks,
                           const void *const *data, const unsigned long long *gaps, int n,
                           unsigned long *epoch);
unsigned int fs_io_size(struct super_block *sb);
unsigned long long fs_io_blocks(struct super_block *sb);

/* ext_detect.cpp */
const char *ext_detect(const unsigned char *super, unsigned int *blocksize);

/* capture.cpp: with the file system frozen, under freeze number `epoch`. */
void capture_on_freeze(struct super_block *sb, unsigned long epoch);

#endif
