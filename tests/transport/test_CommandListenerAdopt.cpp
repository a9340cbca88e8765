// A listener on sockets it did not bind (the service manager's): it accepts on them, takes
// their port, and reads an IPv4 peer of a socket that takes both families as IPv4.
#include "transport/CommandConnection.h"
#include "transport/CommandListener.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace norva {
namespace {

// Connects to the loopback address of `family` on `port`; closed when it goes.
struct Client {
    Client(int family, std::uint16_t port) {
        fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (family == AF_INET) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        } else {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            a.sin6_port = htons(port);
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
    }
    ~Client() { ::close(fd); }
    int fd;
    bool connected = false;
};

TEST(CommandListenerAdopt, AcceptsOnAPassedDualStackSocketAndSeesIPv4PeersAsIPv4) {
    // What a socket unit with ListenStream=<port> passes: one IPv6 socket that takes IPv4 too.
    const int passed = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int off = 0;
    ::setsockopt(passed, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    if (::bind(passed, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        ::close(passed);
        GTEST_SKIP() << "no IPv6 here";
    }
    ASSERT_EQ(::listen(passed, 4), 0);
    socklen_t length = sizeof any;
    ::getsockname(passed, reinterpret_cast<sockaddr*>(&any), &length);
    const std::uint16_t port = ntohs(any.sin6_port);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> peers;
    CommandListener listener(9100); // the passed socket's port wins over the one asked for
    listener.OnExecute = [&](CommandConnection& c) {
        {
            std::lock_guard lock(mutex);
            peers.push_back(c.PeerIP());
        }
        changed.notify_all();
        throw std::runtime_error("seen"); // ends the connection
    };
    listener.adopt({passed});
    listener.setActive(true);
    EXPECT_EQ(listener.Port(), port);

    const auto peerOf = [&](int family) {
        const Client client(family, port);
        EXPECT_TRUE(client.connected);
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return !peers.empty(); }));
        const std::string peer = peers.empty() ? "" : peers.back();
        peers.clear();
        return peer;
    };
    EXPECT_EQ(peerOf(AF_INET), "127.0.0.1");
    EXPECT_EQ(peerOf(AF_INET6), "::1");
    listener.setActive(false);
    EXPECT_EQ(::fcntl(passed, F_GETFD), -1) << "the listener owns and closes what it adopted";
}

} // namespace
} // namespace norva
