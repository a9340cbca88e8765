#pragma once

#include "service/SystemdNotifier.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>

namespace norva {

// Sends the service manager's keep-alive ping ("WATCHDOG=1") from a timer of the event loop
// of the thread it lives on, at the notifier's watchdogInterval() (half the timeout).
//
// The ping has to come from the event loop, never from a thread of its own: it is the
// service's proof that its loop still runs. When a handler hangs, the timer stops firing,
// the pings stop, and once the timeout passes the service manager kills the service and, with
// Restart=on-failure, starts it again. A ping thread would go on pinging for a service that
// no longer hears the device or its command port.
//
// Without a watchdog (no $WATCHDOG_USEC, or not under systemd) start() does nothing.
// A failed ping is passed to `onError` (the program logs it) and the timer goes on.
// Use on the thread the object lives on.
class WatchdogKeepAlive : public QObject {
    Q_OBJECT

public:
    // `notifier` must outlive this object.
    explicit WatchdogKeepAlive(SystemdNotifier& notifier,
                               std::function<void(const std::string&)> onError = {},
                               QObject* parent = nullptr);

    // Pings once at once, then every interval. Does nothing without a watchdog.
    void start();
    void stop();
    bool isActive() const { return timer_.isActive(); }

    // The timer's handler, public so that tests drive it directly.
    void ping();

    // The timer itself, so that tests can see its interval and stop it.
    QTimer& timer() { return timer_; }

private:
    SystemdNotifier& notifier_;
    std::function<void(const std::string&)> onError_;
    QTimer timer_;
};

} // namespace norva
