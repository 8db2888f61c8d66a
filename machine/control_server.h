// The control device for agents in other processes: a Unix socket on which
// each agent gets open, ioctl, mmap, munmap and close of the stand-in's
// device nodes, with the semantics of the system calls. One serving thread
// per agent; an agent that disconnects or dies is a process that exited: its
// files are closed and its mappings unmapped.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>

namespace velmora::machine {

class ControlServer {
  public:
    // Agents served at once; a connection beyond is closed at once.
    static constexpr std::size_t kMaxAgents = 256;
    // How long a reply may wait for an agent that does not read.
    static constexpr long kReplyTimeoutSeconds = 10;

    // Boots the stand-in when it is not yet, listens at socketPath (mode
    // 0600) and accepts agents until stop(). The device nodes agents open
    // are the stand-in's own: the service makes them. Throws
    // std::runtime_error when the socket cannot be set up.
    // group >= 0: the socket is of that group, mode 0660, for its members.
    explicit ControlServer(std::string socketPath, int group = -1);
    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // Stops accepting, disconnects every agent (its files are closed as at
    // its exit), waits for their threads and removes the socket file. A call
    // made inside the driver is waited for. Idempotent.
    void stop();

    const std::string &socketPath() const { return path_; }
    // Agents connected now.
    std::size_t clients() const;
    // The machine for a Status request: a JSON object (control_protocol.h).
    std::string status() const;

  private:
    struct Connection {
        int socket;
        ucred peer;
        std::thread thread;
        bool done = false;  // the thread has released everything and closed the socket
    };

    void acceptLoop();
    void accept();
    void serve(Connection *c);
    // Joins the threads of the agents that are gone.
    void reap();

    std::string path_;
    int listenFd_ = -1;
    int wakeFd_ = -1;    // an eventfd that ends the accept loop
    int memoryFd_ = -1;  // the physical-memory file, read-only
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::list<Connection> connections_;
    bool stopped_ = false;
};

}  // namespace velmora::machine
