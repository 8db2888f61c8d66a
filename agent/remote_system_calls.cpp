#include "remote_system_calls.h"

#include "control_device.h"
#include "machine_socket.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace velmora::agent {

using namespace machine::protocol;

namespace {

uint64_t pageAlign(uint64_t n) {
    return (n + kPageSize - 1) & ~(kPageSize - 1);
}

// Runs that cover [0, length) in order, page by page.
bool coverMapping(const std::vector<PageRun> &runs, uint64_t length) {
    uint64_t at = 0;
    for (const PageRun &r : runs) {
        if (r.offset != at || !r.bytes || (r.bytes | r.fileOffset) & (kPageSize - 1) ||
            r.bytes > length - at)
            return false;
        at += r.bytes;
    }
    return at == length;
}

class RemoteSystemCalls final : public SystemCalls {
  public:
    explicit RemoteSystemCalls(const std::string &path) : socket_(path) {}
    ~RemoteSystemCalls() override {
        for (const auto &[start, length] : views_)
            ::munmap(reinterpret_cast<void *>(start), length);
    }

    int mknod(const char *, unsigned, unsigned) override {
        errno = EPERM;  // the machine makes its own nodes
        return -1;
    }

    int open(const char *path, int flags) override {
        OpenRequest rq{flags, 0, {}};
        if (std::strlen(path) >= sizeof(rq.path)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::strcpy(rq.path, path);
        return call(Op::Open, rq);
    }

    int close(int fd) override { return call(Op::Close, CloseRequest{fd, 0}); }

    int syslog(char *buf, int len) override {
        if (!buf || len < 0) {
            errno = EINVAL;
            return -1;
        }
        std::lock_guard lock(mutex_);
        std::string text;
        if (!socket_.kernelLog(static_cast<uint32_t>(len), &text))
            return -1;
        std::memcpy(buf, text.data(), text.size());
        return static_cast<int>(text.size());
    }

    int ioctl(int fd, unsigned long request, const void *arg) override {
        return call(Op::Ioctl, IoctlRequest{fd, 0, request, reinterpret_cast<uintptr_t>(arg)});
    }

    // The address is a hint, which the machine, like the stand-in, does not follow.
    void *mmap(void *, std::size_t length, int prot, int flags, int fd, long offset) override {
        std::lock_guard lock(mutex_);
        Reply reply{};
        std::vector<PageRun> runs;
        if (!socket_.call(Op::Mmap, MmapRequest{length, offset, prot, flags, fd, 0}, &reply, &runs))
            return MAP_FAILED;
        if (reply.error) {
            errno = reply.error;
            return MAP_FAILED;
        }
        const uint64_t start = static_cast<uint64_t>(reply.result), bytes = pageAlign(length);
        int err = coverMapping(runs, bytes) ? showView(start, bytes, runs) : EPROTO;
        if (err) {
            Reply ignored{};
            socket_.call(Op::Munmap, MunmapRequest{start, bytes}, &ignored);
            errno = err;
            return MAP_FAILED;
        }
        views_[start] = bytes;
        return reinterpret_cast<void *>(start);
    }

    // This process loses its view before the machine may free the pages.
    int munmap(void *addr, std::size_t length) override {
        std::lock_guard lock(mutex_);
        const uint64_t start = reinterpret_cast<uintptr_t>(addr), end = start + pageAlign(length);
        if ((start & (kPageSize - 1)) || !length || end <= start) {
            errno = EINVAL;
            return -1;
        }
        std::vector<uint64_t> inside;
        for (const auto &[s, len] : views_) {
            if (s >= end || s + len <= start)
                continue;
            if (s < start || s + len > end) {
                errno = EINVAL;  // as the machine: mappings are not split
                return -1;
            }
            inside.push_back(s);
        }
        for (uint64_t s : inside) {
            ::munmap(reinterpret_cast<void *>(s), views_[s]);
            views_.erase(s);
        }
        Reply reply{};
        if (!socket_.call(Op::Munmap, MunmapRequest{start, length}, &reply))
            return -1;
        return result(reply);
    }

  private:
    template <typename Body>
    int call(Op op, const Body &body) {
        std::lock_guard lock(mutex_);
        Reply reply{};
        if (!socket_.call(op, body, &reply))
            return -1;
        return result(reply);
    }

    static int result(const Reply &reply) {
        if (reply.result == -1)
            errno = reply.error;
        return static_cast<int>(reply.result);
    }

    // The machine's frames at the machine's address: the whole range is
    // claimed first, so an address this process uses is never replaced.
    int showView(uint64_t start, uint64_t bytes, const std::vector<PageRun> &runs) {
        void *want = reinterpret_cast<void *>(start);
        void *p = ::mmap(want, bytes, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
        if (p == MAP_FAILED)
            return errno;
        if (p != want) {  // a host too old for MAP_FIXED_NOREPLACE takes it as a hint
            ::munmap(p, bytes);
            return EEXIST;
        }
        for (const PageRun &r : runs) {
            void *at = static_cast<char *>(want) + r.offset;
            if (::mmap(at, r.bytes, PROT_READ, MAP_SHARED | MAP_FIXED, socket_.memoryFd(),
                       static_cast<off_t>(r.fileOffset)) == MAP_FAILED) {
                int err = errno;
                ::munmap(want, bytes);
                return err;
            }
        }
        return 0;
    }

    std::mutex mutex_;
    MachineSocket socket_;
    std::map<uint64_t, uint64_t> views_;  // start -> length
};

}  // namespace

std::shared_ptr<SystemCalls> connectToMachine(const std::string &socketPath) {
    return std::make_shared<RemoteSystemCalls>(socketPath);
}

std::string machineKernelLog(const std::string &socketPath, uint32_t maxBytes) {
    MachineSocket socket(socketPath);
    std::string text;
    if (!socket.kernelLog(maxBytes, &text))
        throw SystemError("the kernel log of the machine at " + socketPath, errno);
    return text;
}

std::string machineStatus(const std::string &socketPath) {
    MachineSocket socket(socketPath);
    std::string text;
    if (!socket.status(&text))
        throw SystemError("the state of the machine at " + socketPath, errno);
    return text;
}

}  // namespace velmora::agent
