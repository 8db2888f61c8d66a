// Host memory behind the seam: the heap, the physical-memory file, user
// address-space reservations and fault-tolerant copies to and from them.
#include "seam.h"

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
int physFd = -1;
void *physBase = nullptr;
}  // namespace

extern "C" {

void *host_malloc(unsigned long size) {
    return std::malloc(size ? size : 1);
}
void *host_calloc(unsigned long count, unsigned long size) {
    return std::calloc(count, size);
}
void host_free(void *p) {
    std::free(p);
}
void host_poison(void *p, unsigned long size) {
    ASAN_POISON_MEMORY_REGION(p, size);
    (void)p, (void)size;
}
void host_unpoison(void *p, unsigned long size) {
    ASAN_UNPOISON_MEMORY_REGION(p, size);
    (void)p, (void)size;
}

void *host_phys_map(unsigned long pages) {
    if (physBase)
        return physBase;
    physFd = memfd_create("standin-physmem", MFD_CLOEXEC);
    if (physFd < 0)
        return nullptr;
    unsigned long bytes = pages * 4096UL;
    if (ftruncate(physFd, static_cast<off_t>(bytes)) != 0)
        return nullptr;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, physFd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    physBase = p;
    return p;
}

int host_phys_map_user(void *uaddr, unsigned long pfn, int writable) {
    int prot = PROT_READ | (writable ? PROT_WRITE : 0);
    void *p =
        mmap(uaddr, 4096, prot, MAP_SHARED | MAP_FIXED, physFd, static_cast<off_t>(pfn * 4096UL));
    return p == MAP_FAILED ? -errno : 0;
}

void *host_reserve(unsigned long len) {
    void *p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

int host_unreserve(void *addr, unsigned long len) {
    return munmap(addr, len) == 0 ? 0 : -errno;
}

// process_vm_{readv,writev} on our own pid copy through the host kernel, which
// reports EFAULT for an unmapped or protected range instead of faulting us.
static unsigned long copyVm(pid_t pid, void *to, const void *from, unsigned long n, bool toUser) {
    unsigned long done = 0;
    while (done < n) {
        iovec local{}, remote{};
        if (toUser) {
            local = {const_cast<char *>(static_cast<const char *>(from)) + done, n - done};
            remote = {static_cast<char *>(to) + done, n - done};
        } else {
            local = {static_cast<char *>(to) + done, n - done};
            remote = {const_cast<char *>(static_cast<const char *>(from)) + done, n - done};
        }
        ssize_t r = toUser ? process_vm_writev(pid, &local, 1, &remote, 1, 0)
                           : process_vm_readv(pid, &local, 1, &remote, 1, 0);
        if (r <= 0)
            break;
        done += static_cast<unsigned long>(r);
    }
    return n - done;
}

unsigned long host_copy_from_user(void *to, const void *from, unsigned long n) {
    return n ? copyVm(getpid(), to, from, n, false) : 0;
}
unsigned long host_copy_to_user(void *to, const void *from, unsigned long n) {
    return n ? copyVm(getpid(), to, from, n, true) : 0;
}
unsigned long host_peer_copy_from(int pid, void *to, const void *from, unsigned long n) {
    return n ? copyVm(pid, to, from, n, false) : 0;
}
unsigned long host_peer_copy_to(int pid, void *to, const void *from, unsigned long n) {
    return n ? copyVm(pid, to, from, n, true) : 0;
}

int host_phys_fd(void) {
    return physFd;
}

}  // extern "C"
