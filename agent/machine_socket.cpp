#include "machine_socket.h"

#include "control_device.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::agent {

using namespace machine::protocol;

namespace {

// Under a restricted ptrace policy (Yama) the machine may read and write
// this process's memory, as a kernel does, only when the process lets it.
void letMachineReachMemory(int fd) {
    ucred server{};
    socklen_t len = sizeof(server);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &server, &len) == 0 && server.pid > 0)
        prctl(PR_SET_PTRACER, static_cast<unsigned long>(server.pid), 0, 0, 0);
}

}  // namespace

MachineSocket::MachineSocket(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path))
        throw SystemError("connect to the machine at '" + path + "'", ENAMETOOLONG);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw SystemError("socket", errno);
    int r;
    do {
        r = connect(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        int err = errno;
        ::close(fd_);
        throw SystemError("connect to the machine at " + path, err);
    }
    letMachineReachMemory(fd_);
    Reply reply{};
    HelloRequest hello{kVersion, 0};
    bool answered = exchange(Op::Hello, &hello, sizeof(hello), &reply, nullptr, &memoryFd_);
    int err = !answered           ? errno
              : reply.result != 0 ? (reply.error ? reply.error : EPROTO)
              : memoryFd_ < 0     ? EPROTO
                                  : 0;
    if (err) {
        if (memoryFd_ >= 0)
            ::close(memoryFd_);
        ::close(fd_);
        throw SystemError("greeting the machine at " + path, err);
    }
}

MachineSocket::~MachineSocket() {
    ::close(fd_);
    if (memoryFd_ >= 0)
        ::close(memoryFd_);
}

bool MachineSocket::broken(int err) {
    broken_ = true;
    errno = err;
    return false;
}

bool MachineSocket::kernelLog(uint32_t maxBytes, std::string *text) {
    Reply reply{};
    LogRequest rq{maxBytes, 0};
    return exchange(Op::Log, &rq, sizeof(rq), &reply, nullptr, nullptr, text);
}

bool MachineSocket::status(std::string *text) {
    Reply reply{};
    StatusRequest rq{kMaxLogBytes, 0};
    return exchange(Op::Status, &rq, sizeof(rq), &reply, nullptr, nullptr, text);
}

bool MachineSocket::exchange(Op op, const void *body, std::size_t length, Reply *reply,
                             std::vector<PageRun> *runs, int *passedFd, std::string *text) {
    if (broken_)
        return broken(ENOTCONN);
    std::vector<unsigned char> packet(sizeof(Header) + length);
    Header h{static_cast<uint32_t>(op), static_cast<uint32_t>(length)};
    std::memcpy(packet.data(), &h, sizeof(h));
    std::memcpy(packet.data() + sizeof(h), body, length);
    ssize_t n;
    do {
        n = send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(packet.size()))
        return broken(n < 0 ? errno : EPROTO);

    std::vector<unsigned char> &in = replyBuffer_;
    in.resize(kMaxReplyBytes);
    iovec iov{in.data(), in.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    do {
        n = recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return broken(n < 0 ? errno : ECONNRESET);
    int fd = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
    // A descriptor is expected with the greeting only.
    if (fd >= 0 && !passedFd) {
        ::close(fd);
        return broken(EPROTO);
    }
    if (passedFd)
        *passedFd = fd;

    const std::size_t got = static_cast<std::size_t>(n);
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || got < sizeof(Header) + sizeof(Reply))
        return broken(EPROTO);
    std::memcpy(&h, in.data(), sizeof(h));
    std::memcpy(reply, in.data() + sizeof(h), sizeof(*reply));
    const std::size_t runBytes = static_cast<std::size_t>(reply->runs) * sizeof(PageRun);
    // A log's text follows its Reply, as long as its result says.
    const bool isLog = op == Op::Log || op == Op::Status;
    if (isLog && (reply->result < 0 || reply->result > kMaxLogBytes || reply->runs))
        return broken(EPROTO);
    const std::size_t more = isLog ? static_cast<std::size_t>(reply->result) : runBytes;
    if (h.op != static_cast<uint32_t>(op) || h.length != sizeof(Reply) + more ||
        got != sizeof(Header) + h.length || (reply->runs && op != Op::Mmap))
        return broken(EPROTO);
    if (text)
        text->assign(reinterpret_cast<const char *>(in.data()) + sizeof(Header) + sizeof(Reply),
                     isLog ? more : 0);
    if (runs) {
        runs->resize(reply->runs);
        std::memcpy(runs->data(), in.data() + sizeof(Header) + sizeof(Reply), runBytes);
    }
    return true;
}

}  // namespace velmora::agent
