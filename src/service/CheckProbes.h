#pragma once

#include <cstdint>
#include <string>

namespace norva {

// What `norvahbd --check` asks of the running system beyond the settings file: the system bus
// (is the service running, what does the login manager say) and the ports. ServiceCheck
// decides on the answers; SystemCheckProbes asks the real bus and binds real sockets, a test
// answers as it likes.
class CheckProbes {
public:
    virtual ~CheckProbes() = default;

    // Whether the service's bus name has an owner, i.e. a copy of the service runs.
    virtual bool serviceRunning() = 0;

    // The login manager's answer to `method` ("CanReboot", "CanPowerOff"): "yes", "no",
    // "challenge", "na", ... An empty answer with `error` set when it could not be asked (no
    // system bus, no login manager, an error reply).
    virtual std::string askLoginManager(const std::string& method, std::string& error) = 0;

    // 0 when this process could bind `port` as the service binds it (any address, IPv4 and,
    // where the system has it, IPv6), otherwise the errno of the failed bind (EADDRINUSE:
    // another socket holds it). The socket is closed again at once.
    virtual int bindTcp(std::uint16_t port) = 0;
    virtual int bindUdp(std::uint16_t port) = 0;

    // Whether the service manager holds the command port for the service (its socket unit
    // norvahbd.socket is active), so that a port in use with no service running is as it
    // should be. False when it cannot be asked.
    virtual bool commandSocketHeld() { return false; }

protected:
    CheckProbes() = default;
    CheckProbes(const CheckProbes&) = default;
    CheckProbes& operator=(const CheckProbes&) = default;
};

} // namespace norva
