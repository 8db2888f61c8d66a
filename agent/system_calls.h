// The system calls the agent makes, as libc offers them: a failure returns -1
// (MAP_FAILED for mmap) and sets errno. The stand-in kernel of this process
// answers them, or a running machine through its control socket
// (remote_system_calls.h).
#pragma once

#include <cstddef>
#include <memory>

namespace velmora::agent {

class SystemCalls {
  public:
    virtual ~SystemCalls() = default;
    // mode holds S_IFCHR; dev is major << 20 | minor.
    virtual int mknod(const char *path, unsigned mode, unsigned dev) = 0;
    virtual int open(const char *path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, const void *arg) = 0;
    virtual void *mmap(void *addr, std::size_t length, int prot, int flags, int fd,
                       long offset) = 0;
    virtual int munmap(void *addr, std::size_t length) = 0;
    // syslog(2)'s SYSLOG_ACTION_READ_ALL: the newest whole lines of the
    // kernel log that fit in len bytes, "<level>text\n" each; returns the
    // bytes stored.
    virtual int syslog(char *buf, int len) = 0;
};

// The stand-in kernel booted in this process; one instance for all.
std::shared_ptr<SystemCalls> inProcessSystemCalls();

}  // namespace velmora::agent
