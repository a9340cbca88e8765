#pragma once

#include "service/SystemdNotifier.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace norva {

// The listening sockets the service manager hands over at start (socket activation): it binds
// the command port from early boot, so that between boots, restarts and upgrades no other
// program can take the port first and read the device's credentials, and passes the sockets
// as descriptors 3, 4, ... with $LISTEN_FDS (how many) and $LISTEN_PID (for which process).
//
// Spoken directly, as the notify socket is (see SystemdNotifier): reading two variables and
// checking a few descriptors takes less than the glue around a library.
//
// The rules are those of the service manager's own client code:
// - $LISTEN_PID unset, or not this process's id: nothing is passed (the variables were meant
//   for a parent; the service binds itself, as it does when started by hand or by a test);
// - $LISTEN_FDS unset or 0: nothing is passed;
// - either variable not a whole decimal number, or a count beyond what a process can hold:
//   an error.
class PassedSockets {
public:
    static constexpr int FirstDescriptor = 3;

    struct Result {
        std::vector<int> descriptors; // FirstDescriptor, FirstDescriptor + 1, ...
        std::string error;            // non-empty: the variables are garbage
    };

    // The descriptors the variables name, without touching them.
    static Result parse(const SystemdNotifier::Lookup& environment, pid_t self);

    // The empty text when every descriptor is a listening TCP socket (IPv4 or IPv6; one IPv6
    // socket that takes IPv4 too is what the socket unit gives, its IPv4 peers are read as
    // IPv4 by the connections) bound to `port`; otherwise one line that says which one is
    // wrong and how.
    static std::string checkCommandSockets(const std::vector<int>& descriptors, std::uint16_t port);

    // What the service calls at start: parse the process's environment, then unset
    // $LISTEN_FDS, $LISTEN_PID and $LISTEN_FDNAMES (no child may take them for its own) and
    // mark each passed descriptor close-on-exec; then check them against `port`. An error
    // leaves `descriptors` empty and closes what was passed.
    static Result take(std::uint16_t port);
};

} // namespace norva
