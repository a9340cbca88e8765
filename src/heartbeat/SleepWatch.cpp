#include "heartbeat/SleepWatch.h"

#include <ctime>
#include <utility>

namespace norva {

namespace {

std::int64_t now(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

SleepWatch::SleepWatch() : SleepWatch(&boottimeNow, &monotonicNow) {}

SleepWatch::SleepWatch(Clock boottime, Clock monotonic, std::int64_t thresholdMs)
    : boottime_(std::move(boottime)), monotonic_(std::move(monotonic)), threshold_(thresholdMs),
      last_(distance()) {}

void SleepWatch::reset() {
    last_ = distance();
}

bool SleepWatch::slept(std::int64_t* sleptMs) {
    const std::int64_t d = distance();
    const std::int64_t grown = d - last_;
    last_ = d;
    if (grown <= threshold_)
        return false;
    if (sleptMs)
        *sleptMs = grown;
    return true;
}

std::int64_t SleepWatch::boottimeNow() {
    return now(CLOCK_BOOTTIME);
}

std::int64_t SleepWatch::monotonicNow() {
    return now(CLOCK_MONOTONIC);
}

} // namespace norva
