// The host's own tools for the live machine's tests: commands run to their
// end with their output, and programs left running in the background.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velmora::live {

struct CommandResult {
    int status = -1;  // the exit code; -1 when it did not exit normally
    std::string output;
};

// Runs argv[0] (looked up in PATH) with stdout and stderr together.
CommandResult run(const std::vector<std::string> &argv);
// The same through `sh -c`, for pipelines.
CommandResult shell(const std::string &command);

// Why the live tests cannot run here, or empty when they can: root, FUSE,
// loop devices and the tools they use.
std::string missingForLiveTests(const std::vector<std::string> &tools);

// A program running in the background, its output going to a file.
class Background {
  public:
    Background(const std::vector<std::string> &argv, const std::string &outputPath);
    ~Background();  // SIGKILL if still running
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    // Waits for the exit; returns the exit code, or 128 + signal.
    int wait();
    bool running();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Polls until the path exists; false after the timeout.
bool waitForPath(const std::string &path, double seconds);

}  // namespace velmora::live
