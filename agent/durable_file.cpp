#include "durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace velmora::agent {

namespace {

[[noreturn]] void fail(const std::string &what, const std::string &path, int err) {
    throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(err));
}

}  // namespace

void syncParentDirectory(const std::string &path) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const std::string dir = parent.empty() ? std::string(".") : parent.string();
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fail("open directory", dir, errno);
    int r = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (r != 0)
        fail("sync directory", dir, err);
}

void writeFileDurably(const std::string &path, const std::string &bytes) {
    const std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("create", temp, errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.c_str());
            fail("write", temp, err);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        fail("sync", temp, err);
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        fail("rename " + temp + " to", path, err);
    }
    syncParentDirectory(path);
}

void writeAllAt(int fd, const char *data, std::size_t size, uint64_t offset,
                const std::string &path) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("write", path, n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
}

std::string readWholeFile(const std::string &path) {
    // Large reads: a store's indexes are read whole at every backup.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("read", path, errno);
    struct stat st {};
    // One byte more than the file, so that the read that finds its end needs no room.
    std::string bytes(::fstat(fd, &st) == 0 && st.st_size > 0 ? st.st_size + 1 : 4096, '\0');
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size())
            bytes.resize(2 * done);  // grown since the stat, or not a plain file
        ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            fail("read", path, err);
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(done);
    return bytes;
}

}  // namespace velmora::agent
