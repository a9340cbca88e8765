#pragma once

// A port number that no other test program of this run will use, for tests whose code under
// test binds the port itself, over UDP or TCP. Plain C++, so the transport tests can use it as well
// as the window's.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace norva::test {

namespace detail {

// Whether a socket of `type` (SOCK_DGRAM, SOCK_STREAM) can be bound to `port` on the wildcard
// address of `family` now.
inline bool PortFree(int type, int family, std::uint16_t port) {
    const int s = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return family == AF_INET6; // a machine without IPv6 has nothing there to collide with
    bool ok;
    if (family == AF_INET6) {
        const int on = 1;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ::close(s);
    return ok;
}

// Claims `port` for this process until it ends: an abstract Unix socket named after it can be
// bound by one process only, whichever user runs it, and goes away with the process.
inline bool ClaimPort(std::uint16_t port) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string name = "norva-test-udp-port-" + std::to_string(port);
    name.copy(a.sun_path + 1, sizeof a.sun_path - 2); // sun_path[0] == 0: abstract
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), length) != 0) {
        ::close(s);
        return false;
    }
    return true; // deliberately left open
}

} // namespace detail

// A port for a "Port" setting or a listener that the code under test binds itself. The program
// binds it without address reuse, so the test cannot hold a socket there meanwhile, and test
// programs run in parallel: a port that was merely free a moment ago may be gone by then. So the
// number comes from below the kernel's ephemeral range, which no socket bound to port 0 is ever
// given, and is claimed for this process until it ends, which keeps every other test program away
// from it. It is free for UDP and TCP on the IPv4 and (where there is one) the IPv6 wildcard when
// handed out.
inline std::uint16_t FreePort() {
    static std::mutex mutex;
    static unsigned next = 0;
    const std::lock_guard lock(mutex);

    unsigned ephemeralLow = 32768;
    {
        std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
        unsigned low = 0;
        if (range >> low && low > 1024)
            ephemeralLow = low;
    }
    const unsigned first = ephemeralLow > 12000 ? 10000 : 1024;
    const unsigned count = ephemeralLow - first;
    if (next == 0) // where this process starts looking, spread out by its id
        next = static_cast<unsigned>(::getpid()) * 613u;
    for (unsigned tried = 0; tried < count; ++tried, ++next) {
        const auto port = static_cast<std::uint16_t>(first + next % count);
        bool free = true;
        for (const int type : {SOCK_DGRAM, SOCK_STREAM})
            for (const int family : {AF_INET, AF_INET6})
                free = free && detail::PortFree(type, family, port);
        if (free && detail::ClaimPort(port)) {
            ++next;
            return port;
        }
    }
    throw std::runtime_error("no free port below the ephemeral range");
}

} // namespace norva::test
