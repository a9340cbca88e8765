#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>

namespace norva {

// Tells the service manager how the service is doing, by the notification protocol of
// systemd: one datagram of "NAME=value" lines sent to the AF_UNIX socket named in
// $NOTIFY_SOCKET. A name that starts with "/" is a socket in the file system; one that starts
// with "@" is a socket in the abstract namespace (the "@" stands for the leading NUL byte).
// Any other form is not supported and every send reports an error.
//
// Why not libsystemd: a notification is one sendto() of a few bytes, which takes less code
// than the glue around the library call; the service keeps one dependency less (the package
// needs no libsystemd0, and the program builds where its headers are missing); and the same
// code runs unchanged under the test bed, which gives the service a socket of its own and
// reads what arrives there.
//
// Run by anything but systemd (by hand, from a test without a socket), $NOTIFY_SOCKET is
// unset and every call does nothing and reports success.
//
// The environment is passed in: the process's own through processEnvironment(), a test's
// through a lookup of its own. It is read once, when the notifier is made.
//
// Every call is one datagram, sent at once and never waited on (the socket is datagram, and
// the service manager reads it from its own loop). Calls may come from any thread.
class SystemdNotifier {
public:
    // Returns the value of an environment variable, or nothing when it is unset.
    using Lookup = std::function<std::optional<std::string>(std::string_view name)>;

    // `self` is this process's id, compared with $WATCHDOG_PID.
    explicit SystemdNotifier(const Lookup& environment, pid_t self = ::getpid());

    // The process's own environment (getenv); what the program passes.
    static Lookup processEnvironment();

    // Whether $NOTIFY_SOCKET names a socket: whether the calls below send anything.
    bool active() const { return !socket_.empty(); }
    const std::string& socketName() const { return socket_; }

    // Each returns the empty text when the datagram went out or when there is no socket to
    // send to, and otherwise what went wrong, as one line for the log ("cannot notify the
    // service manager at /run/...: Connection refused").

    // "READY=1": start-up is complete (for Type=notify, the unit counts as started only now).
    std::string ready();
    // "STATUS=<text>": the line `systemctl status` shows. Line breaks in `text` become blanks,
    // since a line break ends the assignment.
    std::string status(std::string_view text);
    // "STOPPING=1": the service has begun to stop.
    std::string stopping();
    // "WATCHDOG=1": the keep-alive ping.
    std::string watchdogPing();
    // Sends `state` as it is: one or more "NAME=value" lines.
    std::string notify(std::string_view state);

    // How often to ping when the service manager expects keep-alive pings: half the watchdog
    // timeout $WATCHDOG_USEC, so one late ping still arrives in time. Nothing when there is
    // no socket, when $WATCHDOG_USEC is unset, not a whole number or 0, or when $WATCHDOG_PID
    // is set and names another process (the timeout is meant for that process alone, for
    // instance a parent that started this one).
    std::optional<std::chrono::microseconds> watchdogInterval() const { return watchdog_; }

private:
    std::string socket_;
    std::optional<std::chrono::microseconds> watchdog_;
};

} // namespace norva
