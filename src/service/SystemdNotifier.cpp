#include "service/SystemdNotifier.h"

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace norva {

namespace {

// A whole decimal number without sign or blanks, as systemd writes it; nothing otherwise.
template <typename T> std::optional<T> parseUnsigned(const std::optional<std::string>& text) {
    if (!text || text->empty())
        return std::nullopt;
    T value{};
    const char* end = text->data() + text->size();
    const auto [stop, ec] = std::from_chars(text->data(), end, value);
    if (ec != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

} // namespace

SystemdNotifier::SystemdNotifier(const Lookup& environment, pid_t self) {
    const auto socket = environment("NOTIFY_SOCKET");
    if (!socket || socket->empty())
        return;
    socket_ = *socket;

    const auto usec = parseUnsigned<unsigned long long>(environment("WATCHDOG_USEC"));
    if (!usec || *usec == 0)
        return;
    if (const auto pidText = environment("WATCHDOG_PID")) {
        const auto pid = parseUnsigned<unsigned long long>(pidText);
        if (!pid || *pid != static_cast<unsigned long long>(self))
            return;
    }
    watchdog_ = std::chrono::microseconds(*usec / 2);
}

SystemdNotifier::Lookup SystemdNotifier::processEnvironment() {
    return [](std::string_view name) -> std::optional<std::string> {
        const char* value = std::getenv(std::string(name).c_str());
        if (!value)
            return std::nullopt;
        return std::string(value);
    };
}

std::string SystemdNotifier::ready() {
    return notify("READY=1");
}

std::string SystemdNotifier::stopping() {
    return notify("STOPPING=1");
}

std::string SystemdNotifier::watchdogPing() {
    return notify("WATCHDOG=1");
}

std::string SystemdNotifier::status(std::string_view text) {
    std::string state = "STATUS=";
    for (const char c : text)
        state += (c == '\n' || c == '\r') ? ' ' : c;
    return notify(state);
}

std::string SystemdNotifier::notify(std::string_view state) {
    if (socket_.empty())
        return {};
    const std::string where = "cannot notify the service manager at " + socket_ + ": ";

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socklen_t length = 0;
    if (socket_[0] == '/') {
        // The path with its terminating NUL must fit.
        if (socket_.size() >= sizeof(address.sun_path))
            return where + "the name is too long";
        std::memcpy(address.sun_path, socket_.data(), socket_.size());
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size() + 1);
    } else if (socket_[0] == '@') {
        // Abstract: a leading NUL, then the name; the length counts exactly those bytes, and
        // no terminator, since every byte of an abstract name is part of it.
        if (socket_.size() > sizeof(address.sun_path))
            return where + "the name is too long";
        std::memcpy(address.sun_path + 1, socket_.data() + 1, socket_.size() - 1);
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
    } else {
        return where + "not a socket path or an abstract socket name";
    }

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return where + std::strerror(errno);
    ssize_t sent;
    do {
        sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    } while (sent < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (sent < 0)
        return where + std::strerror(error);
    if (static_cast<std::size_t>(sent) != state.size())
        return where + "the message was cut short";
    return {};
}

} // namespace norva
