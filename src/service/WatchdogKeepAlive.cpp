#include "service/WatchdogKeepAlive.h"

#include <algorithm>

namespace norva {

WatchdogKeepAlive::WatchdogKeepAlive(SystemdNotifier& notifier,
                                     std::function<void(const std::string&)> onError,
                                     QObject* parent)
    : QObject(parent), notifier_(notifier), onError_(std::move(onError)), timer_(this) {
    if (const auto interval = notifier_.watchdogInterval()) {
        // Whole milliseconds, at least one; a coarse timer may fire up to 5 % late, well
        // inside the other half of the timeout.
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*interval);
        timer_.setInterval(std::max<std::chrono::milliseconds>(ms, std::chrono::milliseconds(1)));
        timer_.setTimerType(Qt::CoarseTimer);
    }
    connect(&timer_, &QTimer::timeout, this, &WatchdogKeepAlive::ping);
}

void WatchdogKeepAlive::start() {
    if (!notifier_.watchdogInterval())
        return;
    ping();
    timer_.start();
}

void WatchdogKeepAlive::stop() {
    timer_.stop();
}

void WatchdogKeepAlive::ping() {
    const std::string error = notifier_.watchdogPing();
    if (!error.empty() && onError_)
        onError_(error);
}

} // namespace norva
