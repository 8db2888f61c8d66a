#include "system_calls.h"

#include <standin/syscalls.h>

namespace velmora::agent {

namespace {

class InProcessSystemCalls final : public SystemCalls {
  public:
    int mknod(const char *path, unsigned mode, unsigned dev) override {
        return sys::mknod(path, mode, dev);
    }
    int open(const char *path, int flags) override { return sys::open(path, flags); }
    int close(int fd) override { return sys::close(fd); }
    int ioctl(int fd, unsigned long request, const void *arg) override {
        return sys::ioctl(fd, request, arg);
    }
    void *mmap(void *addr, std::size_t length, int prot, int flags, int fd, long offset) override {
        return sys::mmap(addr, length, prot, flags, fd, offset);
    }
    int munmap(void *addr, std::size_t length) override { return sys::munmap(addr, length); }
    int syslog(char *buf, int len) override { return sys::syslog(3, buf, len); }
};

}  // namespace

std::shared_ptr<SystemCalls> inProcessSystemCalls() {
    static const std::shared_ptr<SystemCalls> calls = std::make_shared<InProcessSystemCalls>();
    return calls;
}

}  // namespace velmora::agent
