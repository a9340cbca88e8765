#pragma once

#include <signal.h>

namespace norva {

// Turns SIGINT, SIGTERM and SIGHUP into a readable descriptor, so that a poll loop ends
// cleanly (and removes what it created) instead of being killed in the middle of it.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    int fd() const { return fd_; }
    // Reads the pending signal; returns its number, or 0 if none was pending.
    int take();

private:
    int fd_ = -1;
    sigset_t previous_{};
};

} // namespace norva
