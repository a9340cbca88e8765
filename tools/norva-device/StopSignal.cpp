#include "StopSignal.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace norva {

StopSignal::StopSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, &previous_) != 0)
        throw std::runtime_error(std::string("cannot block signals: ") + std::strerror(errno));
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
        const int e = errno;
        sigprocmask(SIG_SETMASK, &previous_, nullptr);
        throw std::runtime_error(std::string("cannot watch signals: ") + std::strerror(e));
    }
}

StopSignal::~StopSignal() {
    close(fd_);
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

int StopSignal::take() {
    signalfd_siginfo info{};
    if (read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return 0;
    return static_cast<int>(info.ssi_signo);
}

} // namespace norva
