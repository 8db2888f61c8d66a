#include "store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velmora::agent::store {

namespace {

int openLockFile(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return fd;
}

int flockRetrying(int fd, int operation) {
    int rc;
    do
        rc = ::flock(fd, operation);
    while (rc != 0 && errno == EINTR);
    return rc;
}

}  // namespace

StoreLock::StoreLock(const std::string &path, Mode mode, const std::string &busy) {
    if (mode == Mode::Shared) {
        // A store this process may not write (read-only media, another
        // user's) has no writer to wait for: read it without the lock.
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0 && (errno == EROFS || errno == EACCES))
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0 && (errno == EROFS || errno == EACCES || errno == ENOENT))
            return;
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    } else {
        fd_ = openLockFile(path);
    }
    const int operation = mode == Mode::Shared ? LOCK_SH : LOCK_EX | LOCK_NB;
    if (flockRetrying(fd_, operation) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        if (err == EWOULDBLOCK && !busy.empty())
            throw std::runtime_error(busy);
        throw std::runtime_error("cannot lock " + path + ": " + std::strerror(err));
    }
}

StoreLock::StoreLock(const std::string &path) {
    fd_ = openLockFile(path);
    if (flockRetrying(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

StoreLock::~StoreLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

StoreLock::StoreLock(StoreLock &&other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

}  // namespace velmora::agent::store
