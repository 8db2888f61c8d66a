#include "control_server.h"

#include "control_listener.h"
#include "control_session.h"

#include <standin/machine.h>
#include <standin/peer.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace velmora::machine {

namespace {

// Agents may map frames of the physical memory but never write it: they get
// a descriptor of their own, opened for reading only.
int readOnlyMemoryFd() {
    standin_boot();
    int fd = standin_phys_memory_fd();
    if (fd < 0)
        throw std::runtime_error("the stand-in has no physical-memory file");
    int ro = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (ro < 0)
        throw std::runtime_error(std::string("cannot reopen the physical-memory file: ") +
                                 std::strerror(errno));
    return ro;
}

}  // namespace

ControlServer::ControlServer(std::string socketPath, int group) : path_(std::move(socketPath)) {
    memoryFd_ = readOnlyMemoryFd();
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        ::close(memoryFd_);
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
    try {
        listenFd_ = listenOnControlSocket(path_, group);
    } catch (...) {
        ::close(wakeFd_);
        ::close(memoryFd_);
        throw;
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ControlServer::~ControlServer() {
    stop();
}

void ControlServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        reap();
        if (fds[0].revents & POLLIN)
            accept();
    }
}

void ControlServer::accept() {
    int s = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) {
        // Out of descriptors: the agent waits in the backlog a little.
        if (errno == EMFILE || errno == ENFILE || errno == ENOMEM)
            usleep(10000);
        return;
    }
    // Who the agent is comes from the host, never from what it says.
    ucred peer{};
    socklen_t len = sizeof(peer);
    if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.pid <= 0) {
        ::close(s);
        return;
    }
    // A client that stops reading its replies holds a thread only this long.
    const timeval sendTimeout{kReplyTimeoutSeconds, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
    std::lock_guard lock(mutex_);
    // A flood of connections costs the flood, not the machine.
    std::size_t live = 0;
    for (const Connection &c : connections_)
        live += !c.done;
    if (live >= kMaxAgents) {
        ::close(s);
        return;
    }
    Connection &c = connections_.emplace_back();
    c.socket = s;
    c.peer = peer;
    try {
        c.thread = std::thread([this, &c] { serve(&c); });
    } catch (const std::system_error &) {
        ::close(s);
        connections_.pop_back();
    }
}

void ControlServer::serve(Connection *c) {
    {
        ControlSession session(c->socket, memoryFd_, c->peer, [this] { return status(); });
        try {
            session.serve();
        } catch (const std::exception &) {
            // Out of memory in the bridge: the agent is disconnected, and the
            // session's end releases its files all the same.
        }
    }
    std::lock_guard lock(mutex_);
    ::close(c->socket);
    c->done = true;
}

void ControlServer::reap() {
    std::list<Connection> gone;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (it->done)
                gone.splice(gone.end(), connections_, it);
            it = next;
        }
    }
    for (Connection &c : gone)
        c.thread.join();
}

std::string ControlServer::status() const {
    std::string agents;
    {
        std::lock_guard lock(mutex_);
        for (const Connection &c : connections_)
            if (!c.done)
                agents += std::string(agents.empty() ? "" : ",") +
                          "{\"pid\":" + std::to_string(c.peer.pid) +
                          ",\"uid\":" + std::to_string(c.peer.uid) +
                          ",\"gid\":" + std::to_string(c.peer.gid) + "}";
    }
    // Each open file of the control device holds a reference on the module.
    int files = standin_module_refcount("velmora");
    return "{\"agents\":[" + agents +
           "],\"controlFiles\":" + std::to_string(files < 0 ? 0 : files) +
           ",\"moduleLoaded\":" + (files < 0 ? "false" : "true") + "}";
}

std::size_t ControlServer::clients() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const Connection &c : connections_)
        n += !c.done;
    return n;
}

void ControlServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
    }
    const uint64_t one = 1;
    while (write(wakeFd_, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
    acceptor_.join();
    ::close(listenFd_);
    unlink(path_.c_str());
    {
        // A thread that is done has closed its socket already; the others
        // see the end of their connection at their next receive.
        std::lock_guard lock(mutex_);
        for (Connection &c : connections_)
            if (!c.done)
                shutdown(c.socket, SHUT_RDWR);
    }
    // Only the accept loop changed the list, and it has ended.
    for (Connection &c : connections_)
        c.thread.join();
    connections_.clear();
    ::close(wakeFd_);
    ::close(memoryFd_);
}

}  // namespace velmora::machine
