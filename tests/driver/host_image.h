/*
 * Disk images for the in-kernel tests: an MBR partition table written by
 * sfdisk and ext file systems made by mke2fs run on the host, which kernel
 * code cannot do itself. Built-in types only, so kernel code can include it.
 */
#ifndef VELMORA_TESTS_HOST_IMAGE_H
#define VELMORA_TESTS_HOST_IMAGE_H

#ifdef __cplusplus
extern "C" {
#endif

struct host_image_part {
    unsigned int size_mib;
    const char *fs_type; /* "ext2", "ext3", "ext4", or NULL for none */
    unsigned int block_size;
    /* Filled in: where the table puts the partition, in sectors. */
    unsigned long long start;
    unsigned long long sectors;
};

/*
 * Writes an image of total_mib with the primary partitions in order into a
 * fresh temporary directory and stores its path in `path`. Returns 0, or -1
 * (the tool's output goes to standard error).
 */
int host_image_create(char *path, unsigned long path_len, unsigned int total_mib,
                      struct host_image_part *parts, int nparts);
/* Removes the image and its directory. */
void host_image_remove(const char *path);

#ifdef __cplusplus
}
#endif

#endif
