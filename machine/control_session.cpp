#include "control_session.h"

#include <standin/machine.h>
#include <standin/creds.h>
#include <standin/peer.h>
#include <standin/syscalls.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace velmora::machine {

using namespace protocol;

namespace {

// An agent keeps a handful of files; the stand-in's table is shared by all.
constexpr std::size_t kMaxFilesPerAgent = 64;
constexpr int kFirstAgentFd = 3;

template <typename Body>
Body bodyOf(const unsigned char *packet) {
    Body body;
    std::memcpy(&body, packet + sizeof(Header), sizeof(Body));
    return body;
}

uint64_t pageAlign(uint64_t n) {
    return (n + kPageSize - 1) & ~(kPageSize - 1);
}

// Consecutive frames make one run, so the agent maps few pieces.
std::vector<PageRun> runsOf(const std::vector<unsigned long> &frames) {
    std::vector<PageRun> runs;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        uint64_t offset = i * kPageSize, fileOffset = frames[i] * kPageSize;
        if (!runs.empty() && runs.back().fileOffset + runs.back().bytes == fileOffset)
            runs.back().bytes += kPageSize;
        else
            runs.push_back({offset, fileOffset, kPageSize});
    }
    return runs;
}

}  // namespace

ControlSession::ControlSession(int socket, int memoryFd, const ucred &peer,
                               std::function<std::string()> status)
    : socket_(socket), memoryFd_(memoryFd), peer_(peer), status_(std::move(status)) {}

ControlSession::~ControlSession() {
    release();
}

void ControlSession::serve() {
    // An agent in this very process is served as the process itself, with
    // its own faults and confinement.
    standin_task_serve(peer_.pid == getpid() ? 0 : peer_.pid, peer_.uid, peer_.gid);
    // The task is who the peer is, so the driver's own check decides. The
    // user who runs the machine is its root, as in a user namespace; any
    // other user is an ordinary user of it.
    const bool administrator = peer_.uid == 0 || peer_.uid == geteuid();
    standin_task_set_creds(administrator ? 0 : peer_.uid, administrator ? 0 : peer_.gid,
                           administrator);
    // Room for any request; a longer packet is cut short and marked so.
    alignas(8) unsigned char packet[256];
    for (;;) {
        iovec iov{packet, sizeof(packet)};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        // No room for ancillary data: descriptors an agent sends are dropped
        // by the host and the message marked, which ends the connection.
        ssize_t n = recvmsg(socket_, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)))
            break;
        if (!handle(packet, static_cast<std::size_t>(n)))
            break;
    }
    release();
}

bool ControlSession::handle(const unsigned char *packet, std::size_t size) {
    Header h{};
    if (size < sizeof(h))
        return false;
    std::memcpy(&h, packet, sizeof(h));
    uint32_t want = requestLength(h.op);
    if (!want || h.length != want || size != sizeof(h) + want)
        return false;
    // The greeting comes first, and once.
    if ((static_cast<Op>(h.op) == Op::Hello) == greeted_)
        return false;
    switch (static_cast<Op>(h.op)) {
        case Op::Hello: {
            auto rq = bodyOf<HelloRequest>(packet);
            return rq.reserved == 0 && hello(rq);
        }
        case Op::Open: {
            auto rq = bodyOf<OpenRequest>(packet);
            return rq.reserved == 0 && open(rq);
        }
        case Op::Close: {
            auto rq = bodyOf<CloseRequest>(packet);
            return rq.reserved == 0 && close(rq);
        }
        case Op::Ioctl: {
            auto rq = bodyOf<IoctlRequest>(packet);
            return rq.reserved == 0 && ioctl(rq);
        }
        case Op::Mmap: {
            auto rq = bodyOf<MmapRequest>(packet);
            return rq.reserved == 0 && mmap(rq);
        }
        case Op::Munmap:
            return munmap(bodyOf<MunmapRequest>(packet));
        case Op::Log: {
            auto rq = bodyOf<LogRequest>(packet);
            return rq.reserved == 0 && log(rq);
        }
        case Op::Status: {
            auto rq = bodyOf<StatusRequest>(packet);
            return rq.reserved == 0 && status(rq);
        }
    }
    return false;
}

bool ControlSession::hello(const HelloRequest &rq) {
    if (rq.version != kVersion) {
        reply(Op::Hello, -1, EPROTONOSUPPORT);
        return false;
    }
    greeted_ = true;
    return reply(Op::Hello, 0, 0, {}, memoryFd_);
}

bool ControlSession::open(const OpenRequest &rq) {
    if (!std::memchr(rq.path, 0, sizeof(rq.path)))
        return false;
    if (files_.size() >= kMaxFilesPerAgent)
        return reply(Op::Open, -1, EMFILE);
    int fd = sys::open(rq.path, rq.flags);
    if (fd < 0)
        return reply(Op::Open, -1, errno);
    int agentFd = kFirstAgentFd;
    while (files_.count(agentFd))
        ++agentFd;
    files_[agentFd] = fd;
    return reply(Op::Open, agentFd, 0);
}

bool ControlSession::close(const CloseRequest &rq) {
    int fd = standinFd(rq.fd);
    if (fd < 0)
        return reply(Op::Close, -1, EBADF);
    files_.erase(rq.fd);
    // As close(2): the descriptor is gone even when the close reports an error.
    int r = sys::close(fd);
    return reply(Op::Close, r, r < 0 ? errno : 0);
}

bool ControlSession::ioctl(const IoctlRequest &rq) {
    int fd = standinFd(rq.fd);
    if (fd < 0)
        return reply(Op::Ioctl, -1, EBADF);
    int r =
        sys::ioctl(fd, static_cast<unsigned long>(rq.request), static_cast<unsigned long>(rq.arg));
    return reply(Op::Ioctl, r, r < 0 ? errno : 0);
}

/*
 * The mapping is made in the stand-in, whose address space places it; every
 * page is faulted in, and the agent maps the same frames at the same
 * address. The driver's refusals come first, as in-process; only then the
 * bridge's own limits: read-only views, of a bounded size.
 */
bool ControlSession::mmap(const MmapRequest &rq) {
    int fd = standinFd(rq.fd);
    if (fd < 0)
        return reply(Op::Mmap, -1, EBADF);
    if (rq.length > kMaxMapBytes)
        return reply(Op::Mmap, -1, ENOMEM);
    void *p = sys::mmap(nullptr, rq.length, rq.prot, rq.flags, fd, rq.offset);
    if (p == MAP_FAILED)
        return reply(Op::Mmap, -1, errno);
    const uint64_t start = reinterpret_cast<uintptr_t>(p), length = pageAlign(rq.length);
    std::vector<unsigned long> frames(length / kPageSize);
    int r = standin_mapping_frames(p, length, frames.data());
    // -EINVAL: there is no mapping at all (a driver's mmap returned a
    // positive value), and nothing to show; the agent is told so.
    if (r == -EINVAL)
        return reply(Op::Mmap, -1, EIO);
    if (r == 0 && (rq.prot & ~PROT_READ))
        r = -EACCES;
    if (r < 0) {
        sys::munmap(p, length);
        return reply(Op::Mmap, -1, -r);
    }
    mappings_[start] = length;
    return reply(Op::Mmap, static_cast<int64_t>(start), 0, runsOf(frames));
}

// Only the agent's own mappings are unmapped: the stand-in's munmap would
// take any mapping in the range, another agent's too.
bool ControlSession::munmap(const MunmapRequest &rq) {
    const uint64_t start = rq.addr, end = start + pageAlign(rq.length);
    if ((start & (kPageSize - 1)) || !rq.length || end <= start)
        return reply(Op::Munmap, -1, EINVAL);
    std::vector<uint64_t> inside;
    for (const auto &[s, len] : mappings_) {
        if (s >= end || s + len <= start)
            continue;
        if (s < start || s + len > end)
            return reply(Op::Munmap, -1, EINVAL);  // the stand-in does not split mappings
        inside.push_back(s);
    }
    for (uint64_t s : inside) {
        sys::munmap(reinterpret_cast<void *>(s), mappings_[s]);
        mappings_.erase(s);
    }
    return reply(Op::Munmap, 0, 0);
}

// The kernel log's newest whole lines that fit in maxBytes, oldest first,
// each as dmesg prints it without the time: "<level>text".
bool ControlSession::log(const LogRequest &rq) {
    std::vector<char> text(std::min(rq.maxBytes, kMaxLogBytes));
    int n = sys::syslog(3, text.data(), static_cast<int>(text.size()));
    if (n < 0)
        return reply(Op::Log, -1, errno);
    return send(Op::Log, Reply{n, 0, 0}, text.data(), static_cast<std::size_t>(n), -1);
}

bool ControlSession::status(const StatusRequest &rq) {
    std::string text = status_ ? status_() : "{}";
    if (text.size() > std::min(rq.maxBytes, kMaxLogBytes))
        return reply(Op::Status, -1, E2BIG);
    return send(Op::Status, Reply{static_cast<int64_t>(text.size()), 0, 0}, text.data(),
                text.size(), -1);
}

bool ControlSession::reply(Op op, int64_t result, int error, const std::vector<PageRun> &runs,
                           int passFd) {
    return send(op, Reply{result, error, static_cast<uint32_t>(runs.size())}, runs.data(),
                runs.size() * sizeof(PageRun), passFd);
}

bool ControlSession::send(Op op, const Reply &r, const void *more, std::size_t bytes, int passFd) {
    Header h{static_cast<uint32_t>(op), static_cast<uint32_t>(sizeof(Reply) + bytes)};
    std::vector<unsigned char> packet(sizeof(h) + h.length);
    std::memcpy(packet.data(), &h, sizeof(h));
    std::memcpy(packet.data() + sizeof(h), &r, sizeof(r));
    if (bytes)
        std::memcpy(packet.data() + sizeof(h) + sizeof(r), more, bytes);
    iovec iov{packet.data(), packet.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
    }
    for (;;) {
        ssize_t n = sendmsg(socket_, &msg, MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<std::size_t>(n) == packet.size();
        if (errno != EINTR)
            return false;
    }
}

int ControlSession::standinFd(int32_t agentFd) const {
    auto it = files_.find(agentFd);
    return it == files_.end() ? -1 : it->second;
}

// What the exit of a process does to its mappings and files: the driver's
// release runs once the last of them is gone.
void ControlSession::release() {
    for (const auto &[start, length] : mappings_)
        sys::munmap(reinterpret_cast<void *>(start), length);
    mappings_.clear();
    for (const auto &[agentFd, fd] : files_)
        sys::close(fd);
    files_.clear();
}

}  // namespace velmora::machine
