#include "agent/TerminationSignals.h"

#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace norva {

int TerminationSignals::writeEnd_ = -1;

TerminationSignals::TerminationSignals(std::function<void()> onSignal)
    : onSignal_(std::move(onSignal)) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return;
    writeEnd_ = pair[0];
    readEnd_ = pair[1];
    notifier_ = new QSocketNotifier(readEnd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte;
        (void)!::read(readEnd_, &byte, 1);
        if (onSignal_)
            onSignal_();
    });
    struct sigaction action {};
    action.sa_handler = &TerminationSignals::handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(s, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        std::signal(s, SIG_DFL);
    if (readEnd_ >= 0) {
        ::close(writeEnd_);
        ::close(readEnd_);
        writeEnd_ = -1;
    }
}

void TerminationSignals::handler(int) {
    // Only async-signal-safe work here: wake the event loop.
    const char byte = 1;
    (void)!::write(writeEnd_, &byte, 1);
}

} // namespace norva
