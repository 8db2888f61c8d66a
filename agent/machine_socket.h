// The agent's end of a running machine's control socket: requests and their
// replies, one at a time.
#pragma once

#include <control_protocol.h>

#include <string>
#include <vector>

namespace velmora::agent {

class MachineSocket {
  public:
    // Connects and greets the machine, which hands over its physical-memory
    // file. Throws SystemError when the machine cannot be reached or refuses.
    explicit MachineSocket(const std::string &path);
    ~MachineSocket();
    MachineSocket(const MachineSocket &) = delete;
    MachineSocket &operator=(const MachineSocket &) = delete;

    // A read-only descriptor of the machine's physical memory.
    int memoryFd() const { return memoryFd_; }

    // The newest whole lines of the machine's kernel log, in at most maxBytes.
    // false, with errno set, as call().
    bool kernelLog(uint32_t maxBytes, std::string *text);
    // The machine's state as its service gives it (a JSON object).
    bool status(std::string *text);

    // Sends the request and waits for its reply (and the page runs of an
    // mmap). false, with errno set, when the connection is broken or the
    // reply malformed; the connection is not used again then.
    template <typename Body>
    bool call(machine::protocol::Op op, const Body &body, machine::protocol::Reply *reply,
              std::vector<machine::protocol::PageRun> *runs = nullptr) {
        return exchange(op, &body, sizeof(body), reply, runs, nullptr);
    }

  private:
    bool exchange(machine::protocol::Op op, const void *body, std::size_t length,
                  machine::protocol::Reply *reply, std::vector<machine::protocol::PageRun> *runs,
                  int *passedFd, std::string *text = nullptr);
    bool broken(int err);

    int fd_ = -1;
    int memoryFd_ = -1;
    bool broken_ = false;
    std::vector<unsigned char> replyBuffer_;  // room for the longest reply
};

}  // namespace velmora::agent
