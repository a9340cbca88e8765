#include "transport/UdpEndpoint.h"

#include "transport/SocketError.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <system_error>

namespace norva {

namespace {

const char* const kBindFailed = "Could not bind socket. Address and port are already in use.";

// The device speaks plain ASCII: one byte per character, '?' for anything beyond 127.
// A malformed UTF-8 byte counts as one character of its own.
std::string encodeText(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        std::size_t length = 0;
        if (lead >= 0xC2 && lead <= 0xDF)
            length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4;
        bool whole = length != 0 && i + length <= utf8.size();
        for (std::size_t k = 1; whole && k < length; ++k)
            whole = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
        out += '?';
        i += whole ? length : 1;
    }
    return out;
}

// Four decimal numbers from 0 to 255 joined by dots, taken as they stand (so "010" is ten,
// not the octal eight the C library would make of it).
bool parseDottedQuad(const std::string& text, in_addr& address) {
    std::uint32_t value = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        unsigned number = 0;
        std::size_t digits = 0;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) &&
               digits < 4) {
            number = number * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || number > 255)
            return false;
        value = (value << 8) | number;
    }
    if (pos != text.size())
        return false;
    address.s_addr = htonl(value);
    return true;
}

bool isLocalhost(const std::string& host) {
    static const char kName[] = "localhost";
    if (host.size() != sizeof kName - 1)
        return false;
    for (std::size_t i = 0; i < host.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(host[i])) != kName[i])
            return false;
    return true;
}

sockaddr_in resolveIPv4(const std::string& host, std::uint16_t port) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    if (isLocalhost(host)) {
        destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return destination;
    }
    if (parseDottedQuad(host, destination.sin_addr))
        return destination;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        if (rc == EAI_SYSTEM)
            throw SocketError::fromErrno(errno);
        throw SocketError::withCode(rc, ::gai_strerror(rc));
    }
    destination.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return destination;
}

bool systemHasIPv6() {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// Linux keeps at most 15 characters of a thread name: "UDPServer Listener #1" does not
// fit, so the listener word goes first, then as much of the component name as fits.
std::string threadName(const std::string& component, std::size_t number) {
    constexpr std::size_t kMax = 15;
    const std::string full = component + " Listener #" + std::to_string(number);
    if (full.size() <= kMax)
        return full;
    const std::string suffix = " #" + std::to_string(number);
    return component.substr(0, kMax > suffix.size() ? kMax - suffix.size() : 0) + suffix;
}

void peerOf(const sockaddr_storage& from, std::string& ip, std::uint16_t& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (from.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    } else {
        port = 0;
    }
    ip = text;
}

} // namespace

std::string UdpEndpoint::Binding::peerIP() const {
    std::lock_guard lock(peerMutex_);
    return peerIP_;
}

std::uint16_t UdpEndpoint::Binding::peerPort() const {
    std::lock_guard lock(peerMutex_);
    return peerPort_;
}

void UdpEndpoint::Binding::setPeer(std::string ip, std::uint16_t port) {
    std::lock_guard lock(peerMutex_);
    peerIP_ = std::move(ip);
    peerPort_ = port;
}

UdpEndpoint::UdpEndpoint(HandOverQueue& uiQueue, std::string name)
    : ui_(uiQueue.channel()), name_(std::move(name)) {}

UdpEndpoint::~UdpEndpoint() {
    setActive(false);
}

void UdpEndpoint::setActive(bool active) {
    if (active) {
        if (!active_)
            activate();
        return;
    }
    if (!active_)
        return;
    stopThreads();
    closeSockets();
    ::close(stopFd_);
    stopFd_ = -1;
    active_ = false;
}

void UdpEndpoint::ClearBindings() {
    setActive(false);
    bindings_.clear();
}

bool UdpEndpoint::NumericIPv4(const std::string& host, std::uint32_t& address) {
    in_addr found{};
    if (isLocalhost(host))
        found.s_addr = htonl(INADDR_LOOPBACK);
    else if (!parseDottedQuad(host, found))
        return false;
    address = found.s_addr;
    return true;
}

void UdpEndpoint::Send(const std::string& host, std::uint16_t port, const std::string& text) {
    const std::string bytes = encodeText(text);
    // Resolve first: an unknown host must leave an inactive endpoint unbound.
    const sockaddr_in destination = resolveIPv4(host, port);
    if (!active_)
        activate();
    if (bytes.empty())
        return;

    ssize_t sent;
    do {
        sent = ::sendto(bindings_.front()->socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        const int err = errno;
        if (err == EMSGSIZE)
            throw SocketError("Package Size Too Big.", err);
        throw SocketError::fromErrno(err);
    }
    if (static_cast<std::size_t>(sent) != bytes.size())
        throw SocketError("Not all bytes sent.");
}

void UdpEndpoint::activate() {
    bindAll();
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        const int err = errno;
        closeSockets();
        throw SocketError::fromErrno(err);
    }
    threadsEnded_ = 0;
    try {
        for (std::size_t i = 0; i < bindings_.size(); ++i) {
            threads_.emplace_back(&UdpEndpoint::receiveLoop, this, bindings_[i].get(),
                                  bindings_[i]->socket_, stopFd_);
            // Named from here, so the name is in place once the activation returns.
            ::pthread_setname_np(threads_.back().native_handle(), threadName(name_, i + 1).c_str());
        }
    } catch (const std::system_error& e) {
        stopThreads();
        closeSockets();
        ::close(stopFd_);
        stopFd_ = -1;
        throw SocketError::withCode(e.code().value(), e.what());
    }
    active_ = true;
}

void UdpEndpoint::bindAll() {
    const bool createDefaults = bindings_.empty();
    if (createDefaults) {
        bindings_.push_back(std::make_unique<Binding>(IPVersion::IPv4, defaultPort_));
        if (systemHasIPv6())
            bindings_.push_back(std::make_unique<Binding>(IPVersion::IPv6, defaultPort_));
    }
    std::vector<std::uint16_t> portsBefore;
    for (const auto& b : bindings_)
        portsBefore.push_back(b->port_);

    // Puts everything back as it was before this activation began.
    auto undo = [&] {
        closeSockets();
        for (std::size_t i = 0; i < bindings_.size(); ++i)
            bindings_[i]->port_ = portsBefore[i];
        if (createDefaults)
            bindings_.clear();
    };

    // With an ephemeral first port the others follow the port it got; another program may
    // hold that number on another protocol, so a few fresh ports are tried.
    constexpr int kEphemeralTries = 8;
    for (int attempt = 1;; ++attempt) {
        int failedErrno = 0;
        bool bindFailed = false;
        std::size_t failedIndex = 0;
        for (std::size_t i = 0; i < bindings_.size(); ++i) {
            Binding& b = *bindings_[i];
            const bool v6 = b.version_ == IPVersion::IPv6;
            const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                failedErrno = errno;
                failedIndex = i;
                break;
            }
            b.socket_ = fd;
            const int off = 0;
            const int on = 1;
            if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0 ||
                (v6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)) {
                failedErrno = errno;
                failedIndex = i;
                break;
            }
            std::uint16_t port = b.port_;
            if (port == 0 && i > 0)
                port = bindings_.front()->port_;
            int rc;
            if (v6) {
                sockaddr_in6 local{};
                local.sin6_family = AF_INET6;
                local.sin6_addr = in6addr_any;
                local.sin6_port = htons(port);
                rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
            } else {
                sockaddr_in local{};
                local.sin_family = AF_INET;
                local.sin_addr.s_addr = htonl(INADDR_ANY);
                local.sin_port = htons(port);
                rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
            }
            if (rc != 0) {
                failedErrno = errno;
                failedIndex = i;
                bindFailed = true;
                break;
            }
            sockaddr_storage bound{};
            socklen_t length = sizeof bound;
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
                failedErrno = errno;
                failedIndex = i;
                break;
            }
            std::string ignored;
            peerOf(bound, ignored, b.port_);
        }
        if (failedErrno == 0)
            return;

        const bool followedEphemeral = failedIndex > 0 && portsBefore[0] == 0 &&
                                       portsBefore[failedIndex] == 0 && failedErrno == EADDRINUSE;
        if (followedEphemeral && attempt < kEphemeralTries) {
            closeSockets();
            for (std::size_t i = 0; i < bindings_.size(); ++i)
                bindings_[i]->port_ = portsBefore[i];
            continue;
        }
        undo();
        if (bindFailed)
            throw SocketError(kBindFailed, failedErrno);
        throw SocketError::fromErrno(failedErrno);
    }
}

void UdpEndpoint::closeSockets() {
    for (auto& b : bindings_) {
        if (b->socket_ >= 0)
            ::close(b->socket_);
        b->socket_ = -1;
    }
}

void UdpEndpoint::stopThreads() {
    const std::uint64_t one = 1;
    // The counter stays readable, so every receive thread sees the request.
    while (::write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    // A receive thread may be blocked on a delivery to this very thread: keep serving them
    // (and nothing else, so no other component's step runs inside this one).
    ui_.serveUntil([this] { return threadsEnded_.load() == threads_.size(); });
    for (auto& t : threads_)
        t.join();
    threads_.clear();
}

void UdpEndpoint::receiveLoop(Binding* binding, int socket, int stopFd) {
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::uint8_t> buffer(BufferSize);

    // Sleeps in poll until a datagram or the stop request comes, so an idle endpoint costs
    // no wake-ups at all.
    for (;;) {
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {socket, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents != 0 || (fds[1].revents & POLLNVAL) != 0)
            break;
        if (fds[1].revents == 0)
            continue;

        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC reports the datagram's real length, so an oversized one is recognised
        // and dropped rather than delivered cut short.
        const ssize_t length =
            ::recvfrom(socket, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (length < 0 || static_cast<std::size_t>(length) > BufferSize)
            continue;
        std::string peerIP;
        std::uint16_t peerPort = 0;
        peerOf(from, peerIP, peerPort);
        binding->setPeer(std::move(peerIP), peerPort);
        if (length == 0)
            continue;

        const std::vector<std::uint8_t> data(buffer.begin(), buffer.begin() + length);
        try {
            ui_.call([&] {
                if (OnUDPRead)
                    OnUDPRead(self, data, *binding);
            });
        } catch (...) {
            // Nobody listens for receive-side failures; the thread goes on receiving.
        }
    }
    ++threadsEnded_;
    ui_.notify();
}

} // namespace norva
