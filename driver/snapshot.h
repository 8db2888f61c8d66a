/*
 * The snapshot command, and the flush of the backup's device.
 */
#ifndef VELMORA_SNAPSHOT_H
#define VELMORA_SNAPSHOT_H

#include <linux/time.h>

#include <velmora.h>

struct Backup;

int ioctlSnapShot(struct Backup *b, AMSessionKey __user *userKey, unsigned int keyLen);
int ioctlSync(struct Backup *b);

#endif
