#include "ctl/TextAuthAgent.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace norva {

TextAuthAgent::TextAuthAgent(std::string program) : program_(std::move(program)) {}

TextAuthAgent::~TextAuthAgent() {
    end();
}

bool TextAuthAgent::start(const std::string& busName, std::chrono::milliseconds timeout,
                          std::string* error) {
    end();
    // The agent closes its end of this pipe once polkit has registered it (--notify-fd); it
    // gets the write end at a descriptor of its own, without close-on-exec.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("cannot start ") + program_ + ": " + std::strerror(errno);
        return false;
    }
    const int notifyFd = fds[1] == 3 ? 4 : 3;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], notifyFd);
    const std::string notify = std::to_string(notifyFd);
    std::vector<std::string> args = {program_, "--system-bus-name", busName, "--notify-fd",
                                     notify,   "--fallback"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawnp(&pid, program_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        *error = std::string("cannot start ") + program_ + ": " + std::strerror(spawned);
        return false;
    }
    pid_ = pid;

    // End of file: the agent is registered, or it ended (it closes the pipe then too).
    pollfd wait{fds[0], POLLIN, 0};
    int ready;
    do
        ready = poll(&wait, 1, static_cast<int>(timeout.count()));
    while (ready < 0 && errno == EINTR);
    char byte;
    const bool closed = ready > 0 && read(fds[0], &byte, 1) == 0;
    close(fds[0]);
    // An agent that ended closed the pipe as it went, a moment before it can be reaped: give
    // it that moment, so that an end is not taken for a registration. A registered agent
    // goes on running, so this costs it the whole grace, 50 ms, once per command.
    int status = 0;
    bool ended = false;
    for (int i = 0; i < (closed ? 10 : 1) && !ended; ++i) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended && closed)
            usleep(5000);
    }
    if (ended) {
        pid_ = -1;
        *error = program_ + " could not register with polkit (exit status " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
                 ")";
        return false;
    }
    if (!closed) {
        end();
        *error = program_ + " did not register with polkit in time";
        return false;
    }
    return true;
}

void TextAuthAgent::end() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

} // namespace norva
