#include "CommandClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace norva {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t NameWidth = 21;
constexpr int ConnectTimeoutMs = 3000;

std::string field(std::string_view text) {
    std::string out(text.substr(0, NameWidth));
    out.resize(NameWidth, '\0');
    return out;
}

std::string elapsed(Clock::time_point since) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f ms", ms);
    return buffer;
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

} // namespace

CommandClient::~CommandClient() {
    if (socket_ >= 0)
        close(socket_);
}

std::string CommandClient::buildPacket(const CommandOptions& options) {
    std::string packet;
    packet += static_cast<char>(options.type);
    packet += field(options.user);
    packet += field(options.password);
    packet += static_cast<char>(options.action);
    packet.append(3, '\0');
    packet.resize(options.length, '\0');
    return packet;
}

int CommandClient::run() {
    if (!connectToHost())
        return NoConnection;
    bool ok = true;
    if (options_.hello) {
        pause();
        ok = exchange(options_.helloText, Log::quote(options_.helloText), "hello reply",
                      std::string(2, '\0')) &&
             ok;
    }
    const std::string packet = buildPacket(options_);
    // The names as sent, that is cut to their field width.
    const std::string description = "packet type " + std::to_string(options_.type) + " user " +
                                    Log::quote(options_.user.substr(0, NameWidth)) + " password " +
                                    Log::quote(options_.password.substr(0, NameWidth)) +
                                    " command " + std::to_string(options_.action) + " (" +
                                    std::to_string(packet.size()) + " bytes)";
    for (unsigned i = 0; i < options_.repeat && !broken_; ++i) {
        pause();
        ok = exchange(packet, description, "ack", "\x01") && ok;
    }
    return ok && !broken_ ? Ok : BadReply;
}

bool CommandClient::connectToHost() {
    std::string host = options_.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options_.port);
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        log_.line("info", "cannot resolve " + options_.host + ": " + gai_strerror(rc));
        return false;
    }
    for (addrinfo* a = found; a; a = a->ai_next) {
        const auto target = NetAddress::fromSockaddr(a->ai_addr, a->ai_addrlen);
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        const auto started = Clock::now();
        // Connect without blocking for longer than the time-out, then read and write with
        // poll-bounded waits.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        int error = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                error = ETIMEDOUT;
                if (poll(&p, 1, ConnectTimeoutMs) == 1) {
                    socklen_t len = sizeof error;
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
                }
            }
        }
        if (error != 0) {
            log_.line("info",
                      "cannot connect to " + target.toString() + ": " + std::strerror(error));
            close(fd);
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        socket_ = fd;
        log_.line("info", "connected to " + target.toString() + " in " + elapsed(started));
        break;
    }
    freeaddrinfo(found);
    return socket_ >= 0;
}

void CommandClient::pause() const {
    if (options_.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.delayMs));
}

bool CommandClient::exchange(std::string_view message, std::string_view description,
                             std::string_view label, std::string_view expected) {
    if (broken_)
        return false;
    std::size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n =
            ::send(socket_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) {
            pollfd p{socket_, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(options_.timeoutMs));
            continue;
        }
        if (n < 0) {
            log_.line("info",
                      "cannot send " + std::string(description) + ": " + std::strerror(errno));
            broken_ = true;
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    const auto started = Clock::now();
    log_.line("send", description);

    const auto deadline = started + std::chrono::milliseconds(options_.timeoutMs);
    std::string reply;
    std::string failure;
    while (reply.size() < expected.size()) {
        pollfd p{socket_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) == 0) {
            failure = "no reply after " + elapsed(started);
            break;
        }
        char buffer[64];
        const ssize_t n =
            recv(socket_, buffer, std::min(sizeof buffer, expected.size() - reply.size()), 0);
        if (n > 0) {
            reply.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        failure = n == 0 ? "connection closed by the PC after " + elapsed(started)
                         : std::string("connection failed: ") + std::strerror(errno);
        broken_ = true;
        break;
    }

    std::string text(label);
    // Appended piecewise: GCC 12 at -O3 reports a false -Wrestrict for " " + std::string.
    if (!reply.empty())
        text.append(" ").append(Log::hex(reply));
    if (failure.empty()) {
        text += " in " + elapsed(started);
    } else {
        text += (reply.empty() ? ": "
                               : " (" + std::to_string(reply.size()) + " of " +
                                     std::to_string(expected.size()) + " bytes), ") +
                failure;
    }
    if (failure.empty() && reply != expected)
        text += " (expected " + Log::hex(expected) + ")";
    log_.line("recv", text);
    return failure.empty() && reply == expected;
}

} // namespace norva
