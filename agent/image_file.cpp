#include "image_file.h"

#include "durable_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velmora::agent {

namespace {

[[noreturn]] void fail(const std::string &what, const std::string &path, int err) {
    throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(err));
}

ImageIdentity identityOf(const struct stat &st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<uint64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// The base's bytes into `to`: shared blocks where the file system clones
// (btrfs, xfs), else an in-kernel copy.
void cloneInto(int to, const std::string &base, const std::string &toPath, uint64_t bytes) {
    int from = ::open(base.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0)
        fail("open the previous image", base, errno);
    struct stat st {};
    if (::fstat(from, &st) != 0 || static_cast<uint64_t>(st.st_size) != bytes) {
        ::close(from);
        throw std::runtime_error("the previous image " + base + " does not have the device's size");
    }
    if (::ioctl(to, FICLONE, from) == 0) {
        ::close(from);
        return;
    }
    loff_t in = 0, out = 0;
    while (static_cast<uint64_t>(in) < bytes) {
        ssize_t n = ::copy_file_range(from, &in, to, &out, bytes - static_cast<uint64_t>(in), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::close(from);
            fail("copy the previous image into", toPath, err);
        }
    }
    ::close(from);
}

}  // namespace

std::optional<ImageIdentity> ImageIdentity::of(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

PendingImage::PendingImage(const std::string &path, const std::string &base, uint64_t bytes)
    : path_(path), partial_(partialPath(path)) {
    ::unlink(partial_.c_str());
    fd_ = ::open(partial_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0)
        fail("create image", partial_, errno);
    try {
        if (!base.empty())
            cloneInto(fd_, base, partial_, bytes);
        else if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0)
            fail("size image", partial_, errno);
    } catch (...) {
        ::close(fd_);
        ::unlink(partial_.c_str());
        throw;
    }
}

PendingImage::~PendingImage() {
    if (fd_ >= 0)
        ::close(fd_);
    if (!committed_)
        ::unlink(partial_.c_str());
}

void PendingImage::write(uint64_t offset, const char *data, std::size_t bytes) {
    writeAllAt(fd_, data, bytes, offset, partial_);
}

ImageIdentity PendingImage::commit() {
    if (::fsync(fd_) != 0)
        fail("sync image", partial_, errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        fail("stat image", partial_, errno);
    if (::rename(partial_.c_str(), path_.c_str()) != 0)
        fail("rename " + partial_ + " to", path_, errno);
    committed_ = true;
    syncParentDirectory(path_);
    return identityOf(st);
}

}  // namespace velmora::agent
