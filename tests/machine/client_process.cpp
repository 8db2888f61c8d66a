#include "client_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <utility>

extern char **environ;

namespace velmora::test {

ClientProcess::ClientProcess(const std::vector<std::string> &args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char *> argv{const_cast<char *>(CONTROL_CLIENT_PATH)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int r = posix_spawn(&pid_, CONTROL_CLIENT_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (r != 0) {
        pid_ = -1;
        throw std::runtime_error("posix_spawn of the control client failed");
    }
}

ClientProcess::~ClientProcess() {
    if (pid_ > 0) {
        kill();
        wait();
    }
    closeInput();
    close(out_);
}

std::string ClientProcess::readLine() {
    for (;;) {
        std::size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 60000) != 1)
            throw std::runtime_error("the control client said nothing for a minute");
        char buf[512];
        ssize_t n = read(out_, buf, sizeof(buf));
        if (n <= 0)
            return std::exchange(pending_, "");
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

std::string ClientProcess::output() {
    std::string all;
    for (std::string line = readLine(); !line.empty(); line = readLine())
        all += line + "\n";
    return all;
}

void ClientProcess::closeInput() {
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

void ClientProcess::kill() {
    if (pid_ > 0)
        ::kill(pid_, SIGKILL);
}

int ClientProcess::wait() {
    if (pid_ <= 0)
        throw std::runtime_error("the control client was reaped already");
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid of the control client failed");
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace velmora::test
