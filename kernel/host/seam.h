/*
 * The seam between the stand-in kernel and its host process.
 *
 * Everything the kernel needs from the host (memory, threads, sleeping,
 * clocks, files, the process's own address space) passes through these
 * functions and nothing else. Only built-in types cross the seam, so kernel
 * code never sees a libc header and host code never sees a kernel header.
 *
 * Contract: every function here may be called from any kernel context
 * (process, kernel thread, simulated interrupt) and never calls back into the
 * kernel, except host_thread_start's entry function and the fault handler.
 */
#ifndef STANDIN_HOST_SEAM_H
#define STANDIN_HOST_SEAM_H

#ifdef __cplusplus
extern "C" {
#endif

/* Host heap: instrumented by the sanitizers, used for kernel objects. */
void *host_malloc(unsigned long size);
void *host_calloc(unsigned long count, unsigned long size);
void host_free(void *p);
/* Marks freed bytes that stay allocated (a quarantine) so that the address
 * sanitizer reports any access to them; a no-op without it. */
void host_poison(void *p, unsigned long size);
void host_unpoison(void *p, unsigned long size);

/*
 * Physical memory: one shared-memory file of `pages` page frames, mapped once
 * as the kernel's direct map. A frame can be mapped again at a user address,
 * so a user mapping shows the very bytes the kernel writes.
 */
void *host_phys_map(unsigned long pages);
int host_phys_map_user(void *uaddr, unsigned long pfn, int writable);

/* User address space of the process: reservations without access. */
void *host_reserve(unsigned long len);
int host_unreserve(void *addr, unsigned long len);

/*
 * Copies between kernel memory and an address of the process that may be
 * unmapped or protected. They return the number of bytes NOT copied, as the
 * kernel's copy_*_user do; they never fault.
 */
unsigned long host_copy_from_user(void *to, const void *from, unsigned long n);
unsigned long host_copy_to_user(void *to, const void *from, unsigned long n);
/* The same in the memory of another process of the host, by its pid: the
 * address space of an agent that reaches the kernel through a socket. */
unsigned long host_peer_copy_from(int pid, void *to, const void *from, unsigned long n);
unsigned long host_peer_copy_to(int pid, void *to, const void *from, unsigned long n);
/* The physical-memory file (-1 before host_phys_map), for a peer process
 * that maps frames of it at its own addresses. */
int host_phys_fd(void);

/* The host's own file system mounted at `path`, frozen (FIFREEZE) and thawed
 * (FITHAW); 0 or -errno. For a device of the stand-in that the host mounted. */
int host_fs_freeze(const char *path);
int host_fs_thaw(const char *path);

/*
 * Page faults in reserved user ranges: the handler gets the faulting address
 * and whether it was a write; it returns 0 when it mapped the page (the access
 * is retried), else the signal number to deliver (SIGBUS or SIGSEGV).
 */
void host_set_fault_handler(int (*handler)(void *addr, int write));

/* Sleeping locks of the host: zero-filled storage is an unlocked lock. */
struct host_mutex {
    unsigned long opaque[5];
};
struct host_cond {
    unsigned long opaque[6];
};
void host_mutex_lock(struct host_mutex *m);
void host_mutex_unlock(struct host_mutex *m);
void host_cond_wait(struct host_cond *c, struct host_mutex *m);
/* Returns 0 when signalled, 1 when ns nanoseconds passed first. */
int host_cond_timedwait(struct host_cond *c, struct host_mutex *m, unsigned long long ns);
void host_cond_signal(struct host_cond *c);

/* Threads. The entry runs on a new detached host thread. */
int host_thread_start(void (*entry)(void *), void *arg);
void host_thread_set_name(const char *name);
__attribute__((noreturn)) void host_thread_exit(void);
/* Called once on the calling thread when it ends. */
void host_thread_at_exit(void (*fn)(void *), void *arg);
void host_yield(void);
void host_sleep_ns(unsigned long long ns);
int host_pin_to_cpu(int cpu);
int host_cpu_count(void);
void host_cpu_relax(void);

/* Clocks and entropy. */
unsigned long long host_monotonic_ns(void);
void host_realtime(long *sec, long *nsec);
void host_random_bytes(void *buf, unsigned long n);

/* Text out, formatting, and the end of the process. */
int host_vsnprintf(char *buf, unsigned long size, const char *fmt, __builtin_va_list ap);
void host_write_stderr(const char *s, unsigned long n);
/* The same to any open descriptor of the host, e.g. a log file. */
void host_write_fd(int fd, const char *s, unsigned long n);
void host_dump_stack(void);
/* The return addresses of the calling thread's stack, innermost first, the
 * caller of this function first; returns how many were stored. */
int host_stack_trace(void **frames, int max);
const char *host_symbolize(void *addr, char *buf, unsigned long size);
__attribute__((noreturn)) void host_abort(void);
const char *host_getenv(const char *name);
void host_set_errno(int err);

/* Loadable objects (modules). */
void *host_dlopen(const char *path, char *err, unsigned long errlen);
void *host_dlsym(void *handle, const char *name);
int host_dlclose(void *handle);
int host_dl_is_loaded(const char *path);
/* Address range of every segment the object mapped. */
int host_dl_range(void *handle, unsigned long *lo, unsigned long *hi);
/* Reads a section of an ELF file; returns its length or -1. */
long host_elf_section(const char *path, const char *section, char *buf, unsigned long size);

/* Host files, for disks backed by image files. */
int host_file_open(const char *path, int writable);
long host_file_pread(int fd, void *buf, unsigned long n, unsigned long long off);
long host_file_pwrite(int fd, const void *buf, unsigned long n, unsigned long long off);
/* One piece of a vectored transfer; laid out as the host's struct iovec. */
struct host_iovec {
    void *base;
    unsigned long len;
};
/* One host call for all the pieces, at consecutive offsets from off. */
long host_file_preadv(int fd, const struct host_iovec *iov, int count, unsigned long long off);
long host_file_pwritev(int fd, const struct host_iovec *iov, int count, unsigned long long off);
int host_file_sync(int fd);
long long host_file_size(int fd);
int host_file_close(int fd);

#ifdef __cplusplus
}
#endif

#endif
