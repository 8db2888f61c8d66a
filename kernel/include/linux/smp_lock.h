#ifndef _LINUX_SMP_LOCK_H
#define _LINUX_SMP_LOCK_H

/*
 * The big kernel lock: recursive, and dropped by schedule() while its holder
 * sleeps, then taken again before the holder runs on.
 */
extern "C" {
void lock_kernel(void);
void unlock_kernel(void);
int kernel_locked(void);
}

#endif
