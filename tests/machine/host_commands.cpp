#include "host_commands.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace velmora::live {

namespace {

std::vector<char *> argvOf(const std::vector<std::string> &argv) {
    std::vector<char *> out;
    for (const std::string &a : argv)
        out.push_back(const_cast<char *>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

pid_t spawn(const std::vector<std::string> &argv, int outFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    pid_t pid = -1;
    std::vector<char *> args = argvOf(argv);
    int r = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

int exitCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace

CommandResult run(const std::vector<std::string> &argv) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = spawn(argv, pipeFds[1]);
    close(pipeFds[1]);
    CommandResult result;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0)
        result.output.append(buf, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

CommandResult shell(const std::string &command) {
    return run({"sh", "-c", command});
}

std::string missingForLiveTests(const std::vector<std::string> &tools) {
    if (geteuid() != 0)
        return "not root: the host must mount file systems and set up loop devices";
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return "no usable /dev/fuse";
    if (access("/dev/loop-control", R_OK | W_OK) != 0)
        return "no /dev/loop-control";
    for (const std::string &tool : tools)
        if (shell("command -v " + tool).status != 0)
            return "the host has no " + tool;
    return "";
}

Background::Background(const std::vector<std::string> &argv, const std::string &outputPath) {
    int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + outputPath);
    pid_ = spawn(argv, fd);
    close(fd);
}

Background::~Background() {
    if (running()) {
        kill(pid_, SIGKILL);
        wait();
    }
}

void Background::signal(int sig) const {
    kill(pid_, sig);
}

int Background::wait() {
    if (status_ < 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = exitCode(status);
    }
    return status_;
}

bool Background::running() {
    if (status_ >= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = exitCode(status);
        return false;
    }
    return true;
}

bool waitForPath(const std::string &path, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        std::error_code ec;
        if (std::filesystem::exists(path, ec))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace velmora::live
