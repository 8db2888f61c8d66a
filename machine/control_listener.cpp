#include "control_listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velmora::machine {

namespace {

[[noreturn]] void fail(const std::string &what, int err) {
    throw std::runtime_error("control socket " + what + ": " + std::strerror(err));
}

sockaddr_un addressOf(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path))
        throw std::runtime_error("control socket path '" + path + "' is empty or too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// A socket file nobody answers on is what a service that died leaves behind.
void removeStale(const std::string &path, const sockaddr_un &addr) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return;
        fail(path, errno);
    }
    if (!S_ISSOCK(st.st_mode))
        throw std::runtime_error("control socket " + path +
                                 ": a file that is not a socket is there");
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe < 0)
        fail(path, errno);
    int r = connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    int err = errno;
    close(probe);
    if (r == 0)
        throw std::runtime_error("control socket " + path + ": another service listens on it");
    if (err != ECONNREFUSED)
        fail(path, err);
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        fail(path, errno);
}

}  // namespace

int listenOnControlSocket(const std::string &path, int group) {
    const sockaddr_un addr = addressOf(path);
    removeStale(path, addr);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(path, errno);
    // The file is made with the socket's mode (less the umask): it is never
    // open to others, not even between bind and chmod.
    if (fchmod(fd, 0600) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0) {
        int err = errno;
        close(fd);
        fail(path, err);
    }
    // The group is given before the mode opens the file to it.
    if ((group >= 0 &&
         chown(path.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(group)) != 0) ||
        chmod(path.c_str(), group >= 0 ? 0660 : 0600) != 0 || listen(fd, 16) != 0) {
        int err = errno;
        close(fd);
        unlink(path.c_str());
        fail(path, err);
    }
    return fd;
}

}  // namespace velmora::machine
