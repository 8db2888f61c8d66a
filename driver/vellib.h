/*
 * The driver's library: module globals and the functions its subsystems
 * offer each other.
 */
#ifndef VELMORA_VELLIB_H
#define VELMORA_VELLIB_H

#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/rwsem.h>
#include <linux/semaphore.h>
#include <linux/spinlock.h>
#include <asm/atomic.h>

#include "vel-2.6.h"

#define VEL_DRIVER_VERSION_MINOR2 0
#define VEL_DRIVER_BUILD 9504

/* Module globals (module data, zeroed at load). */
extern atomic_t initDone;
extern struct semaphore signalThread;
extern atomic_t busy;
extern spinlock_t busyLock;
extern Backup *activeSession;
extern struct rw_semaphore activeSessionUsers;

/* Module entry points and the shutdown command. */
int velInit(void);
void velExit(void);
void doModuleUnload(void);
int velUnload(void);
int velShutdown(void);

/* File operations of the control device. */
extern struct file_operations velFileOps;
int velOpen(struct inode *inode, struct file *file);
int velRelease(struct inode *inode, struct file *file);
ssize_t velRead(struct file *file, char __user *buf, size_t count, loff_t *ppos);
ssize_t velWrite(struct file *file, const char __user *buf, size_t count, loff_t *ppos);
unsigned int velPoll(struct file *file, struct poll_table_struct *wait);

/* The command dispatcher and the commands it answers itself. */
int velIOCTL(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg);
int ioctlGetState(Backup *b, State __user *s, unsigned int len);

/* Backup end. */
void closeBackup(Backup *b);

#endif
