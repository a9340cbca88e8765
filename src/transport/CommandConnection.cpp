#include "transport/CommandConnection.h"

#include "transport/SocketError.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace norva {

namespace {

// The most one receive takes from the socket.
constexpr size_t receiveChunk = 32768;

SocketError notConnected() {
    return SocketError("Not connected.");
}

} // namespace

CommandConnection::CommandConnection(int socket, std::string peerIP)
    : socket_(socket), peerIP_(std::move(peerIP)) {}

CommandConnection::~CommandConnection() {
    closeSocket();
}

void CommandConnection::ReadBytes(std::vector<uint8_t>& buffer, int count, bool append) {
    if (!append) {
        buffer.clear();
    }
    if (count < 0) {
        if (closed()) {
            input_.clear();
            throw notConnected();
        }
        // Wait even when bytes are already buffered: the handler is given what the peer
        // has sent up to this cycle's one receive, not just what an earlier check took.
        if (waitReadable()) {
            receiveOnce();
        }
        buffer.insert(buffer.end(), input_.begin(), input_.end());
        input_.clear();
        return;
    }
    const auto wanted = static_cast<size_t>(count);
    while (input_.size() < wanted) {
        if (closed()) {
            input_.clear();
            throw notConnected();
        }
        if (!waitReadable()) {
            throw SocketError("Read timed out.");
        }
        receiveOnce();
    }
    buffer.insert(buffer.end(), input_.begin(), input_.begin() + count);
    input_.erase(input_.begin(), input_.begin() + count);
}

void CommandConnection::Write(const std::vector<uint8_t>& bytes) {
    if (closed()) {
        throw notConnected();
    }
    size_t sent = 0;
    while (sent < bytes.size()) {
        // MSG_NOSIGNAL: a peer that has gone away must fail the write, not end the process.
        const ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) {
                continue;
            }
            failWithError(err);
        }
        sent += static_cast<size_t>(n);
    }
}

bool CommandConnection::stillOpen() {
    if (!closed()) {
        try {
            receiveOnce();
        } catch (const SocketError&) {
            // The close is recorded; the next handler call is simply not made.
        }
    }
    return !input_.empty() || !closed();
}

void CommandConnection::shutdownSocket() {
    std::lock_guard lock(socketMutex_);
    if (socket_ >= 0) {
        ::shutdown(socket_, SHUT_RDWR);
    }
}

std::string CommandConnection::addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text)) {
            return text;
        }
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        // An IPv4 peer on a socket that takes both (the one the service manager may pass) is
        // still that IPv4 address, for the guards, the AcceptFrom list and every line.
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) &&
            inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text)) {
            return text;
        }
        if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text)) {
            return text;
        }
    }
    return {};
}

void CommandConnection::receiveOnce() {
    const size_t before = input_.size();
    input_.resize(before + receiveChunk);
    ssize_t n;
    do {
        n = ::recv(socket_, input_.data() + before, receiveChunk, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    input_.resize(before + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0 || (n < 0 && (err == EAGAIN || err == EWOULDBLOCK))) {
        return;
    }
    // The peer's orderly close or a broken connection: whatever was not yet handed over
    // is lost with it.
    input_.clear();
    if (n == 0) {
        peerClosed_ = true;
        closeSocket();
        throw SocketError("Connection closed by the peer.");
    }
    failWithError(err);
}

bool CommandConnection::waitReadable() {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(readTimeout_, 0));
    pollfd p{socket_, POLLIN, 0};
    int timeout = readTimeout_ < 0 ? -1 : readTimeout_;
    for (;;) {
        const int ready = ::poll(&p, 1, timeout);
        if (ready >= 0) {
            return ready > 0;
        }
        const int err = errno;
        if (err != EINTR) {
            failWithError(err);
        }
        if (readTimeout_ >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            timeout = static_cast<int>(std::max<long long>(left.count(), 0));
        }
    }
}

void CommandConnection::failWithError(int err) {
    peerClosed_ = true;
    input_.clear();
    closeSocket();
    throw SocketError::fromErrno(err);
}

void CommandConnection::closeSocket() {
    std::lock_guard lock(socketMutex_);
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

} // namespace norva
