#ifndef STANDIN_SYSCALLS_H
#define STANDIN_SYSCALLS_H

/*
 * The system calls of the stand-in kernel, as a process calls them through
 * libc: on failure they return -1 (MAP_FAILED for mmap) and set errno.
 * Flags and protection bits are the usual Linux values (<fcntl.h>,
 * <sys/mman.h>, <sys/stat.h>).
 */

namespace sys {

struct pollfd {
    int fd;
    short events;
    short revents;
};

/* Makes a device node: mode holds S_IFCHR or S_IFBLK, dev is major << 20 | minor. */
int mknod(const char *path, unsigned int mode, unsigned int dev);
int unlink(const char *path);
int open(const char *path, int flags);
int close(int fd);
long read(int fd, void *buf, unsigned long count);
long write(int fd, const void *buf, unsigned long count);
int poll(struct pollfd *fds, unsigned long nfds, int timeout);
int ioctl(int fd, unsigned long request, unsigned long arg);
inline int ioctl(int fd, unsigned long request, const void *arg) {
    return ioctl(fd, request, (unsigned long)arg);
}
void *mmap(void *addr, unsigned long length, int prot, int flags, int fd, long offset);
int munmap(void *addr, unsigned long length);
/* syslog(2), SYSLOG_ACTION_READ_ALL (type 3) only: the newest whole lines of
 * the kernel log that fit in len bytes, "<level>text\n" each; returns the
 * bytes stored. */
int syslog(int type, char *buf, int len);

}  // namespace sys

#endif
