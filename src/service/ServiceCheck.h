#pragma once

#include "service/ServiceOptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace norva {

// What `norvahbd --check` reports: one line per fact or condition, and whether every
// condition holds (exit status 0) or not (1).
//
// checkSettings() reads the settings file the way the service will (read only: it writes
// nothing) and adds:
// - whether the file can be read, and whether the service could replace it (the file and its
//   folder writable by this user: the crash-safe write puts a temporary file beside it);
//   a missing file fails: the service would run, but on defaults nobody chose (no mode, the
//   default command password), which is never what a finished installation means;
// - the heartbeat mode and what it would send where, how often, and after how many misses it
//   alerts; every number the start would convert, checked the same way (an empty value stops
//   the network start, a text that is no whole number fails it);
// - the device address: required and a valid IPv4 address in the network mode; in the others
//   a warning when unset, since nothing then sends to it;
// - in the USB mode, the serial port named and its device present;
// - whether the heartbeat resumes at the start (Run/IsStarted);
// - the command port and the warning setting, with warnings for the default user name and
//   password and for a file other users may read (it holds the password).
//
// checkSystem(), after checkSettings(), asks the running system through CheckProbes and adds:
// - whether the service runs (holds its bus name);
// - the login manager's answers to CanReboot and CanPowerOff: "yes" passes, "challenge" warns
//   (the service cannot type a password), anything else, or no login manager, fails;
// - the command port (TCP) and, in the network mode, the heartbeat's UDP port: free, or in use
//   while the service runs (its own, then), or the command port held for it by the service
//   manager (norvahbd.socket); in use otherwise fails.
//
// The checks run as the user who runs --check: run it as the service's user to learn what the
// service may do (root may write where the service may not, and the login manager answers
// each user for themselves).
class CheckProbes;

class ServiceCheck {
public:
    enum class Kind { Info, Ok, Warning, Fail };
    struct Line {
        Kind kind;
        std::string text;
        bool operator==(const Line&) const = default;
    };

    explicit ServiceCheck(const ServiceOptions& options) : options_(options) {}

    void checkSettings();
    void checkSystem(CheckProbes& probes);
    void add(Kind kind, std::string text) { lines_.push_back({kind, std::move(text)}); }

    const std::vector<Line>& lines() const { return lines_; }
    // True when no line is a Fail.
    bool passed() const;
    int exitCode() const { return passed() ? 0 : 1; }

    // The lines as printed: "info  ", "ok    ", "warn  " or "FAIL  " and the text, one a line.
    std::string report() const;

private:
    // A port the service binds: free, or held by the running service, passes.
    void checkPort(int bindError, const char* protocol, std::uint16_t port, const char* use,
                   const char* consequence, bool serviceRunning);

    const ServiceOptions& options_;
    std::vector<Line> lines_;
    std::optional<std::uint16_t> heartbeatPort_; // the UDP port, in the network mode
};

} // namespace norva
