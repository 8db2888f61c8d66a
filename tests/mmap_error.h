// Host tests of mmap: what a process sees of a refused mapping.
#pragma once

#include <standin/syscalls.h>

#include <sys/mman.h>

#include <cerrno>

namespace velmora::test {

// The errno of a refused mapping; 0 when it was mapped (and unmapped again).
inline int mmapError(int fd, unsigned long len, int prot, int flags, long offset) {
    errno = 0;
    void *p = sys::mmap(nullptr, len, prot, flags, fd, offset);
    if (p != MAP_FAILED) {
        sys::munmap(p, len);
        return 0;
    }
    return errno;
}

}  // namespace velmora::test
