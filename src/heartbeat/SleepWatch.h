#pragma once

#include <cstdint>
#include <functional>

namespace norva {

// Notices that the machine slept although nobody said so: hibernation that never announces
// the wake, a frozen virtual machine, a suspend entered outside the login manager. While the
// machine sleeps CLOCK_BOOTTIME goes on and CLOCK_MONOTONIC does not, so the distance between
// them grows by the time slept; a growth of more than `threshold` milliseconds since the last
// look means a sleep. The clocks are injected (milliseconds), so tests play any order of events.
class SleepWatch {
public:
    using Clock = std::function<std::int64_t()>;
    // The real clocks.
    SleepWatch();
    SleepWatch(Clock boottime, Clock monotonic, std::int64_t thresholdMs = 2000);

    // Forgets any distance seen so far: the next look compares with now (after a wake that
    // was announced, and when the heartbeat starts).
    void reset();
    // True once for each sleep since the last look or reset; the milliseconds slept in `slept`.
    bool slept(std::int64_t* sleptMs = nullptr);

    static std::int64_t boottimeNow();
    static std::int64_t monotonicNow();

private:
    std::int64_t distance() const { return boottime_() - monotonic_(); }

    Clock boottime_;
    Clock monotonic_;
    std::int64_t threshold_;
    std::int64_t last_;
};

} // namespace norva
