#include "service/PassedSockets.h"

#include <arpa/inet.h>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace norva {

namespace {

// A whole decimal number without sign or blanks; nothing otherwise.
std::optional<unsigned long> parseUnsigned(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, level, name, &value, &length) < 0)
        return -1;
    return value;
}

} // namespace

PassedSockets::Result PassedSockets::parse(const SystemdNotifier::Lookup& environment, pid_t self) {
    Result result;
    const auto pidText = environment("LISTEN_PID");
    if (!pidText)
        return result;
    const auto pid = parseUnsigned(*pidText);
    if (!pid) {
        result.error = "LISTEN_PID is not a process id: '" + *pidText + "'";
        return result;
    }
    if (*pid != static_cast<unsigned long>(self))
        return result; // meant for another process
    const auto countText = environment("LISTEN_FDS");
    if (!countText)
        return result;
    const auto count = parseUnsigned(*countText);
    if (!count || *count > static_cast<unsigned long>(INT_MAX - FirstDescriptor)) {
        result.error = "LISTEN_FDS is not a number of descriptors: '" + *countText + "'";
        return result;
    }
    for (unsigned long i = 0; i < *count; ++i)
        result.descriptors.push_back(FirstDescriptor + static_cast<int>(i));
    return result;
}

std::string PassedSockets::checkCommandSockets(const std::vector<int>& descriptors,
                                               std::uint16_t port) {
    for (int fd : descriptors) {
        const std::string which = "descriptor " + std::to_string(fd);
        if (::fcntl(fd, F_GETFD) < 0)
            return which + " is not open";
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) < 0)
            return which + " is not a socket";
        if (intOption(fd, SOL_SOCKET, SO_TYPE) != SOCK_STREAM ||
            (bound.ss_family != AF_INET && bound.ss_family != AF_INET6))
            return which + " is not a TCP socket (ListenStream= in the socket unit)";
        if (intOption(fd, SOL_SOCKET, SO_ACCEPTCONN) != 1)
            return which + " is not listening";
        const std::uint16_t boundPort = ntohs(
            bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                        : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
        if (boundPort != port)
            return which + " is bound to port " + std::to_string(boundPort) +
                   ", not the command port " + std::to_string(port);
    }
    return "";
}

PassedSockets::Result PassedSockets::take(std::uint16_t port) {
    Result result = parse(SystemdNotifier::processEnvironment(), ::getpid());
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDNAMES");
    for (int fd : result.descriptors)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (result.error.empty())
        result.error = checkCommandSockets(result.descriptors, port);
    if (!result.error.empty()) {
        for (int fd : result.descriptors)
            ::close(fd);
        result.descriptors.clear();
    }
    return result;
}

} // namespace norva
