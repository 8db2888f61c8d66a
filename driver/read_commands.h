/*
 * Handing the frozen image to the agent: blocks read into its mapped
 * transfer buffer, and the blocks whose saved copies still wait in the cache.
 */
#ifndef VELMORA_READ_COMMANDS_H
#define VELMORA_READ_COMMANDS_H

#include <linux/types.h>

struct Backup;

int ioctlReadBlocks(struct Backup *b, u32 startBlockNum, u32 numBlocks, char __user *data);
int ioctlGetDirtyBlock(struct Backup *b, u32 __user *userBlockNumPtr);

#endif
