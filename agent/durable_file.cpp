#include "durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string readWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("read", path, errno ? errno : ENOENT);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace velmora::agent
