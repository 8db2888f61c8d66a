// One agent on the control socket: the thread that runs serve() is a task of
// the stand-in serving the agent's process, and makes the agent's system
// calls with the agent's own pointers. The agent sees only its own files
// and mappings; when it goes, they go.
#pragma once

#include "control_protocol.h"

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace velmora::machine {

class ControlSession {
  public:
    // memoryFd: a read-only descriptor of the stand-in's physical memory,
    // handed to the agent at its greeting.
    // status: the machine's state as the Status request gives it.
    ControlSession(int socket, int memoryFd, const ucred &peer,
                   std::function<std::string()> status);
    ~ControlSession();
    ControlSession(const ControlSession &) = delete;
    ControlSession &operator=(const ControlSession &) = delete;

    // Serves the agent until it disconnects, sends a malformed message or the
    // socket is shut down; then unmaps its mappings and closes its files.
    void serve();

  private:
    // false: the message is malformed, or its reply could not be sent.
    bool handle(const unsigned char *packet, std::size_t size);
    bool hello(const protocol::HelloRequest &rq);
    bool open(const protocol::OpenRequest &rq);
    bool close(const protocol::CloseRequest &rq);
    bool ioctl(const protocol::IoctlRequest &rq);
    bool mmap(const protocol::MmapRequest &rq);
    bool munmap(const protocol::MunmapRequest &rq);
    bool log(const protocol::LogRequest &rq);
    bool status(const protocol::StatusRequest &rq);
    bool reply(protocol::Op op, int64_t result, int error,
               const std::vector<protocol::PageRun> &runs = {}, int passFd = -1);
    // A reply with `bytes` more after the Reply (page runs, text).
    bool send(protocol::Op op, const protocol::Reply &r, const void *more, std::size_t bytes,
              int passFd);
    // The stand-in's descriptor behind one of the agent's, or -1.
    int standinFd(int32_t agentFd) const;
    void release();

    int socket_;
    int memoryFd_;
    ucred peer_;
    std::function<std::string()> status_;
    bool greeted_ = false;
    std::map<int, int> files_;               // the agent's descriptor -> the stand-in's
    std::map<uint64_t, uint64_t> mappings_;  // start -> length, in the stand-in
};

}  // namespace velmora::machine
