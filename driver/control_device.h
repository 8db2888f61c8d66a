/*
 * The module and its control device: load and unload, the file operations,
 * and the command dispatcher with the commands it answers itself.
 */
#ifndef VELMORA_CONTROL_DEVICE_H
#define VELMORA_CONTROL_DEVICE_H

#include <linux/fs.h>
#include <linux/poll.h>
#include <asm/atomic.h>

#include <velmora.h>

struct Backup;

#define VEL_DRIVER_VERSION_MINOR2 0
#define VEL_DRIVER_BUILD 9504

/* 1 once the device is registered: open and every command need it. */
extern atomic_t initDone;

int velInit(void);
void velExit(void);
int velUnload(void);
/* Ends the change tracking of every device; the device stays usable. */
int velShutdown(void);

extern struct file_operations velFileOps;
int velOpen(struct inode *inode, struct file *file);
int velRelease(struct inode *inode, struct file *file);
ssize_t velRead(struct file *file, char __user *buf, size_t count, loff_t *ppos);
ssize_t velWrite(struct file *file, const char __user *buf, size_t count, loff_t *ppos);
unsigned int velPoll(struct file *file, struct poll_table_struct *wait);

int velIOCTL(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg);
int ioctlGetState(struct Backup *b, State __user *s, unsigned int len);

#endif
