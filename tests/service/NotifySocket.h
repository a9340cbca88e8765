#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace norva::test {

// A datagram socket of the test's own, standing where the service manager's notification
// socket would: bound to a path ("/...") or to an abstract name ("@..."), as $NOTIFY_SOCKET
// names it.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) : name_(name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socklen_t length;
        if (name[0] == '@') {
            std::memcpy(address.sun_path + 1, name.data() + 1, name.size() - 1);
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        } else {
            std::memcpy(address.sun_path, name.data(), name.size());
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
        }
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0)
            throw std::runtime_error("cannot bind " + name + ": " + std::strerror(errno));
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& name() const { return name_; }
    int fd() const { return fd_; }

    // The next datagram, waiting at most `timeoutMs` for it; nothing when none came.
    std::optional<std::string> receive(int timeoutMs = 0) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    std::string name_;
    int fd_ = -1;
};

} // namespace norva::test
