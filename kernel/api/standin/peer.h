#ifndef STANDIN_PEER_H
#define STANDIN_PEER_H

/*
 * Serving another process of the host: a thread that makes system calls for
 * a process that reaches the kernel through a socket. Its user pointers are
 * that process's addresses, and a device mapping it makes is shown to that
 * process by mapping the same page frames of the physical-memory file at the
 * same addresses. Built-in types only, so kernel and host code can both
 * include it.
 */

#define STANDIN_PAGE_SIZE 4096UL

#ifdef __cplusplus
extern "C" {
#endif

/*
 * From now on the calling thread's task serves host process `pid` (0: this
 * process, the default): its user copies read and write that process's
 * memory. uid and gid are the credentials the process connected with, kept
 * with the task.
 */
void standin_task_serve(int pid, unsigned int uid, unsigned int gid);

/*
 * The page frames of the device mapping that starts at addr and is len bytes
 * long (exactly one mapping of the address space), each page faulted in
 * first as a read of it would: frames[i] is the frame of page i, its offset
 * in the physical-memory file in pages. 0; -EINVAL when no mapping is exactly
 * there; -EFAULT when the driver refuses a page.
 */
int standin_mapping_frames(void *addr, unsigned long len, unsigned long *frames);

/* The physical-memory file, a host descriptor (-1 before boot). */
int standin_phys_memory_fd(void);

#ifdef __cplusplus
}
#endif

#endif
