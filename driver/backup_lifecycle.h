/*
 * The start and the end of a backup on one open file of the control device.
 */
#ifndef VELMORA_BACKUP_LIFECYCLE_H
#define VELMORA_BACKUP_LIFECYCLE_H

#include "backup.h"

int ioctlStartBackup(Backup *b, dev_t kdev, u32 totalBlocks, u32 maxCacheBlocks);
/* Ends what the file's backup started and frees the record. */
void closeBackup(Backup *b);

#endif
