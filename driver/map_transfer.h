/*
 * Moving block maps across the user boundary: the automap's state and key,
 * the changed-block map out, and the map of the blocks to copy in.
 */
#ifndef VELMORA_MAP_TRANSFER_H
#define VELMORA_MAP_TRANSFER_H

#include <velmora.h>

struct Backup;

int ioctlNoStartAutoMap(struct Backup *b);
int ioctlNoLoadFromAutoMap(struct Backup *b);
int ioctlGetAutoMapState(struct Backup *b, AutoMapState __user *userAMS, unsigned int amsLen);
int ioctlGetAutoMap(struct Backup *b, UserBlockMap *userBM);
int ioctlLoadBlockMap(struct Backup *b, UserBlockMap *userBM);
/* Frees the backup's block map, if it holds one. */
void closeBUBlockMap(struct Backup *b);

#endif
