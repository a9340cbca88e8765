#include "service/Pacer.h"

#include <algorithm>
#include <utility>

namespace norva {

Pacer::Pacer(std::chrono::milliseconds interval, std::chrono::milliseconds gather,
             std::function<void()> action, Clock clock)
    : interval_(interval), gather_(gather), action_(std::move(action)), clock_(std::move(clock)) {
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] { timerTimer(); });
}

void Pacer::request() {
    if (pending_)
        return; // already due at the end of its interval, and it will read the newest state
    pending_ = true;
    const auto now = clock_();
    auto due = now + gather_;
    if (ran_)
        due = std::max(due, lastRun_ + interval_);
    arm(due);
}

void Pacer::arm(std::chrono::steady_clock::time_point due) {
    due_ = due;
    const auto now = clock_();
    if (due <= now) {
        run();
        return;
    }
    // Rounded up, so a timer that fires on time finds the interval over.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
    timer.start(static_cast<int>(wait.count()));
}

void Pacer::timerTimer() {
    if (!pending_)
        return;
    // A timer may fire a little early (its clock is not the one injected): wait the rest.
    arm(due_);
}

void Pacer::flush() {
    if (pending_)
        run();
}

void Pacer::run() {
    timer.stop();
    pending_ = false;
    ran_ = true;
    lastRun_ = clock_();
    action_();
}

} // namespace norva
