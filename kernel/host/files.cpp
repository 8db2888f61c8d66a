// Host files behind the seam, for disks backed by image files.
#include "seam.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstddef>

#include <cerrno>

extern "C" {

int host_file_open(const char *path, int writable) {
    int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

long host_file_pread(int fd, void *buf, unsigned long n, unsigned long long off) {
    ssize_t r = pread(fd, buf, n, static_cast<off_t>(off));
    return r < 0 ? -errno : r;
}

long host_file_pwrite(int fd, const void *buf, unsigned long n, unsigned long long off) {
    ssize_t r = pwrite(fd, buf, n, static_cast<off_t>(off));
    return r < 0 ? -errno : r;
}

static_assert(sizeof(host_iovec) == sizeof(iovec) &&
              offsetof(host_iovec, base) == offsetof(iovec, iov_base) &&
              offsetof(host_iovec, len) == offsetof(iovec, iov_len));

long host_file_preadv(int fd, const host_iovec *iov, int count, unsigned long long off) {
    ssize_t r = preadv(fd, reinterpret_cast<const iovec *>(iov), count, static_cast<off_t>(off));
    return r < 0 ? -errno : r;
}

long host_file_pwritev(int fd, const host_iovec *iov, int count, unsigned long long off) {
    ssize_t r = pwritev(fd, reinterpret_cast<const iovec *>(iov), count, static_cast<off_t>(off));
    return r < 0 ? -errno : r;
}

int host_file_sync(int fd) {
    return fdatasync(fd) == 0 ? 0 : -errno;
}

long long host_file_size(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -errno;
}

int host_file_close(int fd) {
    return close(fd) == 0 ? 0 : -errno;
}

// FIFREEZE and FITHAW of the host's <linux/fs.h>, spelled out so that the
// host side includes no header named like the stand-in's kernel headers.
// They act on the mount point's directory.
constexpr unsigned long kFiFreeze = _IOWR('X', 119, int);
constexpr unsigned long kFiThaw = _IOWR('X', 120, int);

static int freezeIoctl(const char *path, unsigned long request) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int r = ioctl(fd, request, 0) == 0 ? 0 : -errno;
    close(fd);
    return r;
}

int host_fs_freeze(const char *path) {
    return freezeIoctl(path, kFiFreeze);
}

int host_fs_thaw(const char *path) {
    return freezeIoctl(path, kFiThaw);
}

}  // extern "C"
