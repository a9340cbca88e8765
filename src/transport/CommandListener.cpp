#include "transport/CommandListener.h"

#include "commands/AddressGroup.h"
#include "transport/SocketError.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace norva {

namespace {

constexpr int listenBacklog = 15;

// How often a fresh ephemeral IPv4 port is tried when its IPv6 twin is taken.
constexpr int ephemeralAttempts = 8;

SocketError bindFailed() {
    return SocketError("Could not bind socket. Address and port are already in use.");
}

void allowRebindOverTimeWait(int socket) {
    // On Linux this only lets the listener bind while connections of an earlier run of the
    // program wait out TIME_WAIT (the program closes most command connections itself, so a
    // restart within a minute would otherwise fail). It never lets two listeners share the
    // port; that would take SO_REUSEPORT, which stays off.
    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

} // namespace

struct CommandListener::Slot {
    std::thread thread;
    std::string peer;                  // the peer's group, its key in perPeer_
    CommandConnection* live = nullptr; // set while the handler loop runs
    bool finished = false;             // the thread has nothing left to do but return
};

CommandListener::CommandListener(uint16_t port, int maxConnections, int maxPerPeer,
                                 PeerGroup groupOf)
    : requestedPort_(port), port_(port), maxConnections_(maxConnections), maxPerPeer_(maxPerPeer),
      groupOf_(groupOf ? std::move(groupOf) : PeerGroup(AddressGroup)) {}

CommandListener::~CommandListener() {
    try {
        setActive(false);
    } catch (...) {
        // Nothing in deactivation reports; a failure to start a thread is all it could be.
    }
    for (int socket : adopted_) // handed over but never activated
        ::close(socket);
}

void CommandListener::setActive(bool active) {
    if (active == active_) {
        return;
    }
    if (active) {
        if (adopted_.empty())
            bindEndpoints();
        else
            takeAdopted();
        for (int endpoint : endpoints_) {
            if (::listen(endpoint, listenBacklog) < 0) {
                const int err = errno;
                closeEndpoints();
                throw SocketError::fromErrno(err);
            }
        }
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) {
            const int err = errno;
            closeEndpoints();
            throw SocketError::fromErrno(err);
        }
        {
            std::lock_guard lock(liveMutex_);
            stopping_ = false;
        }
        active_ = true;
        try {
            for (int endpoint : endpoints_) {
                acceptors_.emplace_back(&CommandListener::acceptLoop, this, endpoint);
            }
        } catch (...) {
            setActive(false);
            throw;
        }
        return;
    }

    // The eventfd wakes every accepting thread at once; they never look at it otherwise.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    for (auto& acceptor : acceptors_) {
        acceptor.join();
    }
    acceptors_.clear();
    closeEndpoints();

    {
        // Shutting a socket down wakes its thread from any wait on it; the thread then sees
        // the close, ends its handler loop and closes the socket itself, so no descriptor is
        // closed here under a thread that may still be using it.
        std::lock_guard lock(liveMutex_);
        stopping_ = true;
        for (auto& slot : slots_) {
            if (slot.live) {
                slot.live->shutdownSocket();
            }
        }
    }
    SlotList all;
    {
        std::lock_guard lock(liveMutex_);
        all.splice(all.end(), slots_);
    }
    for (auto& slot : all) {
        slot.thread.join();
    }

    ::close(wakeFd_);
    wakeFd_ = -1;
    active_ = false;
    port_ = requestedPort_;
}

void CommandListener::adopt(std::vector<int> listeningSockets) {
    adopted_ = std::move(listeningSockets);
}

void CommandListener::takeAdopted() {
    endpoints_ = std::move(adopted_);
    adopted_.clear();
    for (int endpoint : endpoints_) {
        // The accepting threads poll first and then accept; a connection reset in between
        // must not leave accept() blocked, so the sockets do not block, as the listener's own.
        const int flags = ::fcntl(endpoint, F_GETFL);
        if (flags >= 0)
            ::fcntl(endpoint, F_SETFL, flags | O_NONBLOCK);
        ::fcntl(endpoint, F_SETFD, FD_CLOEXEC);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (!endpoints_.empty() &&
        ::getsockname(endpoints_.front(), reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        port_ = ntohs(bound.ss_family == AF_INET6
                          ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                          : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
}

void CommandListener::bindEndpoints() {
    const int attempts = requestedPort_ == 0 ? ephemeralAttempts : 1;
    for (int attempt = 1;; ++attempt) {
        const int v4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (v4 < 0) {
            throw SocketError::fromErrno(errno);
        }
        allowRebindOverTimeWait(v4);
        sockaddr_in any4{};
        any4.sin_family = AF_INET;
        any4.sin_addr.s_addr = htonl(INADDR_ANY);
        any4.sin_port = htons(requestedPort_);
        if (::bind(v4, reinterpret_cast<const sockaddr*>(&any4), sizeof any4) < 0) {
            ::close(v4);
            throw bindFailed();
        }
        endpoints_.push_back(v4);
        socklen_t length = sizeof any4;
        ::getsockname(v4, reinterpret_cast<sockaddr*>(&any4), &length);
        const uint16_t port = ntohs(any4.sin_port);

        const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (v6 < 0) {
            const int err = errno;
            if (err == EAFNOSUPPORT) {
                port_ = port; // no IPv6 on this system
                return;
            }
            closeEndpoints();
            throw SocketError::fromErrno(err);
        }
        // IPv4 peers arrive on the IPv4 socket only, never as mapped addresses here.
        const int on = 1;
        ::setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        allowRebindOverTimeWait(v6);
        sockaddr_in6 any6{};
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(port);
        if (::bind(v6, reinterpret_cast<const sockaddr*>(&any6), sizeof any6) < 0) {
            const int err = errno;
            ::close(v6);
            if (err == EADDRNOTAVAIL) {
                port_ = port; // IPv6 is switched off: serve IPv4 alone
                return;
            }
            closeEndpoints();
            if (err == EADDRINUSE && attempt < attempts) {
                continue;
            }
            throw bindFailed();
        }
        endpoints_.push_back(v6);
        port_ = port;
        return;
    }
}

void CommandListener::closeEndpoints() {
    for (int endpoint : endpoints_) {
        ::close(endpoint);
    }
    endpoints_.clear();
}

void CommandListener::acceptLoop(int listenSocket) {
    pollfd fds[2] = {{listenSocket, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        fds[0].revents = 0;
        fds[1].revents = 0;
        if (::poll(fds, 2, -1) < 0) {
            continue; // EINTR; poll has no other failure on two valid descriptors
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int socket =
            ::accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (socket < 0) {
            const int err = errno;
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
                // The pending connection stays readable; give resources a moment to come
                // back instead of spinning, but still stop at once when told to.
                ::poll(&fds[1], 1, 100);
            }
            continue; // a failed accept is not reported
        }
        try {
            startConnection(socket,
                            CommandConnection::addressText(reinterpret_cast<sockaddr*>(&peer)));
        } catch (...) {
            // Whatever was prepared for this connection has been freed with it.
        }
    }
}

void CommandListener::startConnection(int socket, std::string peerIP) {
    const std::string group = groupOf_(peerIP);
    auto connection = std::make_unique<CommandConnection>(socket, peerIP);
    SlotList finished;
    {
        std::lock_guard lock(liveMutex_);
        finished = takeFinished();
        const auto held = perPeer_.find(group);
        const bool peerHasRoom = held == perPeer_.end() || held->second < maxPerPeer_;
        if (!stopping_ && running_ < maxConnections_ && peerHasRoom) {
            const auto slot = slots_.emplace(slots_.end());
            try {
                slot->peer = group;
                slot->thread =
                    std::thread(&CommandListener::runConnection, this, slot, std::move(connection));
                ++running_;
                ++perPeer_[group];
            } catch (...) {
                slots_.erase(slot);
            }
        }
    }
    // Over either cap (or while stopping) the connection is closed as soon as it is accepted.
    connection.reset();
    for (auto& slot : finished) {
        slot.thread.join();
    }
}

void CommandListener::runConnection(SlotList::iterator slot,
                                    std::unique_ptr<CommandConnection> connection) {
    {
        std::lock_guard lock(liveMutex_);
        if (stopping_) {
            release(*slot);
            return;
        }
        slot->live = connection.get();
    }
    try {
        do {
            OnExecute(*connection);
        } while (connection->stillOpen());
    } catch (...) {
        // A failing handler ends its connection and nothing else.
    }
    {
        std::lock_guard lock(liveMutex_);
        slot->live = nullptr;
    }
    connection.reset();
    std::lock_guard lock(liveMutex_);
    release(*slot);
}

void CommandListener::release(Slot& slot) {
    slot.finished = true;
    --running_;
    if (const auto held = perPeer_.find(slot.peer); held != perPeer_.end() && --held->second <= 0)
        perPeer_.erase(held);
}

CommandListener::SlotList CommandListener::takeFinished() {
    SlotList finished;
    for (auto it = slots_.begin(); it != slots_.end();) {
        const auto next = std::next(it);
        if (it->finished) {
            finished.splice(finished.end(), slots_, it);
        }
        it = next;
    }
    return finished;
}

} // namespace norva
