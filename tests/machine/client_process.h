// The test's agent client (control_client.cpp) run as a process of its own,
// with its input and output on pipes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velmora::test {

class ClientProcess {
  public:
    explicit ClientProcess(const std::vector<std::string> &args);
    // Kills the client if it still runs, and reaps it.
    ~ClientProcess();
    ClientProcess(const ClientProcess &) = delete;
    ClientProcess &operator=(const ClientProcess &) = delete;

    // Its next line of output, without the newline; "" at its end. Throws
    // when none comes within a minute.
    std::string readLine();
    // The rest of its output.
    std::string output();
    // Ends its input.
    void closeInput();
    void kill();
    // Its exit status, or 128 + the signal that ended it.
    int wait();

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string pending_;
};

}  // namespace velmora::test
