#include "commands/AddressGroup.h"
#include "support/FreePort.h"
#include "transport/CommandConnection.h"
#include "transport/CommandListener.h"
#include "transport/SocketError.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace norva {
namespace {

std::vector<uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}
std::string text(const std::vector<uint8_t>& data) {
    return {data.begin(), data.end()};
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool systemHasIPv6() {
    const int s = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (s < 0) {
        return false;
    }
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// Binds a stream socket to the any-address of `family` on `port` (0: ephemeral); -1 on
// failure. IPv6 sockets are IPv6-only, like the listener's.
int bindAny(int family, uint16_t port) {
    const int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        rc = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        const int on = 1;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        a.sin6_port = htons(port);
        rc = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// The device's side of a connection, on loopback.
class Client {
public:
    // `from`, an IPv4 loopback address, is the client's own address (loopback has all of
    // 127/8, so one test can be several peers).
    Client(int family, uint16_t port, const char* from = nullptr)
        : fd_(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (from) {
            sockaddr_in own{};
            own.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &own.sin_addr);
            EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&own), sizeof own), 0) << from;
        }
        int rc;
        if (family == AF_INET) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            a.sin6_port = htons(port);
            rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        connected_ = rc == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }

    void send(const std::string& data) {
        ASSERT_EQ(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(data.size()));
    }

    // What arrives until `count` bytes are there, the server closes, or the time is up.
    std::string receive(size_t count, std::chrono::milliseconds timeout = 10s) {
        std::string got;
        const auto deadline = Clock::now() + timeout;
        while (got.size() < count && waitReadable(deadline)) {
            char chunk[256];
            const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, count - got.size()), 0);
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

    // True when the server ends the connection within the time.
    bool waitClosed(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = Clock::now() + timeout;
        while (waitReadable(deadline)) {
            char chunk[256];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return true;
            }
        }
        return false;
    }

private:
    bool waitReadable(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
    }

    int fd_;
    bool connected_ = false;
};

// ---------------------------------------------------------------------------------------
// One connection's read cycle, driven directly over a socket pair, where a write on one
// end is at the other end when it returns.

class CommandConnectionTest : public ::testing::Test {
protected:
    CommandConnectionTest() {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        peer = ends[0];
        connection = std::make_unique<CommandConnection>(ends[1], "peer");
        connection->setReadTimeout(100);
    }
    ~CommandConnectionTest() override {
        if (peer >= 0) {
            ::close(peer);
        }
    }
    void peerSends(const std::string& data) {
        ASSERT_EQ(::send(peer, data.data(), data.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(data.size()));
    }

    int peer = -1;
    std::unique_ptr<CommandConnection> connection;
};

TEST_F(CommandConnectionTest, EachCycleHandsOverWhatHasArrivedSinceTheLast) {
    EXPECT_EQ(connection->ReadTimeout(), 100);

    // Two pieces with a gap between them: two cycles.
    std::vector<uint8_t> first;
    peerSends("hello");
    connection->ReadBytes(first);
    EXPECT_EQ(text(first), "hello");
    std::vector<uint8_t> second;
    peerSends("-000");
    connection->ReadBytes(second);
    EXPECT_EQ(text(second), "-000");

    // Two messages back to back: one cycle, appended to what the caller already holds.
    peerSends("one");
    peerSends("two");
    connection->ReadBytes(first);
    EXPECT_EQ(text(first), "helloonetwo");

    // append = false replaces instead.
    peerSends("three");
    connection->ReadBytes(first, -1, false);
    EXPECT_EQ(text(first), "three");
}

TEST_F(CommandConnectionTest, AnEmptyCycleSucceedsAfterTheTimeoutAndLeavesTheArrayAlone) {
    std::vector<uint8_t> buffer = bytes("kept");
    const auto start = Clock::now();
    EXPECT_NO_THROW(connection->ReadBytes(buffer));
    EXPECT_GE(msSince(start), 95);
    EXPECT_EQ(text(buffer), "kept");
    EXPECT_TRUE(connection->stillOpen());
}

TEST_F(CommandConnectionTest, TheCycleWaitsEvenWhenTheCheckHasAlreadyBufferedBytes) {
    peerSends("early");
    ASSERT_TRUE(connection->stillOpen()); // takes "early" into the input buffer
    std::vector<uint8_t> buffer;
    const auto start = Clock::now();
    connection->ReadBytes(buffer);
    EXPECT_GE(msSince(start), 95);
    EXPECT_EQ(text(buffer), "early");
}

TEST_F(CommandConnectionTest, BytesFollowedByThePeersCloseAreDropped) {
    peerSends("late");
    ::shutdown(peer, SHUT_WR);
    EXPECT_TRUE(connection->stillOpen()); // bytes are buffered, so the handler runs again

    std::vector<uint8_t> buffer = bytes("x");
    EXPECT_THROW(connection->ReadBytes(buffer), SocketError);
    EXPECT_EQ(text(buffer), "x");
    EXPECT_FALSE(connection->stillOpen());
    EXPECT_THROW(connection->ReadBytes(buffer), SocketError);
    EXPECT_THROW(connection->Write(bytes("reply")), SocketError);
}

TEST_F(CommandConnectionTest, WritesArriveWholeAndAFailedWriteClosesTheConnection) {
    const std::string big(200000, 'w'); // more than the socket takes in one go
    std::thread reader([&] {
        std::string got;
        char chunk[4096];
        while (got.size() < big.size()) {
            const ssize_t n = ::recv(peer, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
        EXPECT_EQ(got, big);
    });
    connection->Write(bytes(big));
    reader.join();

    ::close(peer);
    peer = -1;
    try {
        connection->Write(bytes("ack"));
        FAIL() << "a write to a closed peer succeeded";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), EPIPE);
        EXPECT_EQ(std::string(e.what()).rfind("Socket Error # ", 0), 0u) << e.what();
    }
    EXPECT_FALSE(connection->stillOpen());
    EXPECT_THROW(connection->Write(bytes("ack")), SocketError);
}

TEST_F(CommandConnectionTest, ACountedReadWaitsForAllItsBytes) {
    std::vector<uint8_t> buffer;
    peerSends("ab");
    std::thread later([&] { peerSends("c"); });
    connection->ReadBytes(buffer, 3);
    later.join();
    EXPECT_EQ(text(buffer), "abc");
    EXPECT_THROW(connection->ReadBytes(buffer, 1), SocketError); // times out
}

TEST_F(CommandConnectionTest, ShuttingDownFromAnotherThreadEndsAnUnlimitedWait) {
    connection->setReadTimeout(-1);
    std::thread reader([&] {
        std::vector<uint8_t> buffer;
        EXPECT_THROW(connection->ReadBytes(buffer), SocketError);
    });
    connection->shutdownSocket();
    reader.join();
    EXPECT_FALSE(connection->stillOpen());
}

// ---------------------------------------------------------------------------------------
// The listener with a small echo handler in the shape of the command protocol: one read
// cycle per call, an empty cycle ends the connection, every message gets "[message]" back.
// "fail" makes the handler throw; "hold" keeps it busy until release().
//
// A message that reaches the socket before the listener's check between two handler calls
// is only handed over when the next cycle's wait has run out. So that a long read time-out
// can keep connections open without slowing the tests down, each client starts its messages
// with a letter of its own, and an exchange waits until that client's handler is back in
// its read before it returns.

class CommandListenerTest : public ::testing::Test {
protected:
    ~CommandListenerTest() override {
        release();
        listener.reset();
    }

    void start(int readTimeout = 100, int cap = CommandListener::defaultMaxConnections) {
        listener = std::make_unique<CommandListener>(0, cap);
        listener->OnExecute = [this, readTimeout](CommandConnection& c) { handle(c, readTimeout); };
        listener->setActive(true);
        ASSERT_NE(listener->Port(), 0);
    }

    void handle(CommandConnection& c, int readTimeout) {
        {
            std::lock_guard lock(mutex);
            if (const auto tag = tagOf.find(&c); tag != tagOf.end()) {
                reading.insert(tag->second);
                changed.notify_all();
            }
        }
        c.setReadTimeout(readTimeout);
        std::vector<uint8_t> message;
        c.ReadBytes(message);
        if (message.empty()) {
            throw SocketError("Nothing arrived.");
        }
        const std::string got = text(message);
        {
            std::unique_lock lock(mutex);
            received.push_back(got);
            peers.push_back(c.PeerIP());
            tagOf[&c] = got[0];
            reading.erase(got[0]);
            changed.notify_all();
            if (got.ends_with("hold")) {
                changed.wait(lock, [this] { return released; });
            }
        }
        if (got.ends_with("fail")) {
            throw std::runtime_error("handler failed");
        }
        c.Write(bytes("[" + got + "]"));
    }

    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    bool waitReceived(const std::string& message) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] {
            return std::find(received.begin(), received.end(), message) != received.end();
        });
    }

    bool waitReading(char tag) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return reading.contains(tag); });
    }

    // Sends, checks the echo, and waits until the handler reads again.
    void exchange(Client& client, const std::string& message) {
        client.send(message);
        ASSERT_EQ(client.receive(message.size() + 2), "[" + message + "]");
        ASSERT_TRUE(waitReading(message[0])) << "no handler call after " << message;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> received;
    std::vector<std::string> peers;
    std::map<const CommandConnection*, char> tagOf;
    std::set<char> reading;
    bool released = false;
    std::unique_ptr<CommandListener> listener; // last, so it ends before what handlers use
};

TEST_F(CommandListenerTest, ServesRepeatedExchangesAndEndsTheConnectionWhenTheClientFallsSilent) {
    start();
    Client client(AF_INET, listener->Port());
    ASSERT_TRUE(client.connected());
    exchange(client, "hello-000");
    exchange(client, "second message");
    EXPECT_TRUE(client.waitClosed());
}

TEST_F(CommandListenerTest, ASilentClientIsEndedAfterItsFirstEmptyCycle) {
    start();
    const auto start = Clock::now();
    Client client(AF_INET, listener->Port());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(client.waitClosed(5s));
    EXPECT_GE(msSince(start), 90);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(received.empty());
}

TEST_F(CommandListenerTest, ConnectionsAreServedIndependently) {
    start(10000);
    Client a(AF_INET, listener->Port());
    Client b(AF_INET, listener->Port());
    exchange(a, "a1");
    exchange(b, "b1");

    // While a's handler is busy, b is served.
    a.send("ahold");
    ASSERT_TRUE(waitReceived("ahold"));
    exchange(b, "b2");
    release();
    EXPECT_EQ(a.receive(7), "[ahold]");
    ASSERT_TRUE(waitReading('a'));

    // a's handler fails: a ends, b carries on.
    a.send("afail");
    EXPECT_TRUE(a.waitClosed());
    exchange(b, "b3");
}

TEST_F(CommandListenerTest, ConnectionsOverTheCapAreClosedAtOnce) {
    start(10000, 2);
    auto a = std::make_unique<Client>(AF_INET, listener->Port());
    Client b(AF_INET, listener->Port());
    exchange(*a, "a1");
    exchange(b, "b1");

    // Accepted, but closed without being served.
    Client over(AF_INET, listener->Port());
    over.send("over");
    EXPECT_EQ(over.receive(6), "");
    EXPECT_TRUE(over.waitClosed());
    exchange(*a, "a2");
    exchange(b, "b2");

    // Once a connection has ended, there is room again.
    a.reset();
    bool served = false;
    for (const auto deadline = Clock::now() + 10s; !served && Clock::now() < deadline;) {
        Client next(AF_INET, listener->Port());
        next.send("next");
        served = next.receive(6) == "[next]";
    }
    EXPECT_TRUE(served);
}

TEST_F(CommandListenerTest, OneGroupHoldsAtMostItsShareAndAnotherStillGetsIn) {
    // Loopback is one group however many of its addresses a guesser binds to. Another group
    // cannot be reached over loopback, so the device's address is made one by the grouping
    // the listener is given; every other address is grouped as in the program.
    listener = std::make_unique<CommandListener>(
        0, CommandListener::defaultMaxConnections, CommandListener::defaultMaxPerPeer,
        [](const std::string& peer) {
            return peer == "127.0.0.99" ? std::string("device") : AddressGroup(peer);
        });
    listener->OnExecute = [this](CommandConnection& c) { handle(c, 10000); };
    listener->setActive(true);
    ASSERT_EQ(CommandListener::defaultMaxPerPeer, 32);
    auto rotating = [](int i) {
        return i % 2 ? "127.0.0." + std::to_string(i + 1)
                     : "127." + std::to_string(i) + "." + std::to_string(i * 3 % 256) + ".7";
    };
    std::vector<std::unique_ptr<Client>> guesser;
    for (int i = 0; i < 32; ++i) {
        guesser.push_back(std::make_unique<Client>(AF_INET, listener->Port(), rotating(i).c_str()));
        exchange(*guesser.back(), std::string(1, static_cast<char>('A' + i)) + "1");
    }

    // The 33rd from the same group, at an address not used yet, is accepted and closed
    // without being served.
    Client over(AF_INET, listener->Port(), "127.1.2.3");
    over.send("over");
    EXPECT_EQ(over.receive(6), "");
    EXPECT_TRUE(over.waitClosed());

    // The device, in another group, is served while the guesser holds its share.
    Client device(AF_INET, listener->Port(), "127.0.0.99");
    exchange(device, "d1");
    exchange(*guesser.front(), "A2");

    // Once one of the guesser's connections has ended, it may have one more.
    guesser.front().reset();
    bool served = false;
    for (const auto deadline = Clock::now() + 10s; !served && Clock::now() < deadline;) {
        Client next(AF_INET, listener->Port(), "127.0.0.200");
        next.send("next");
        served = next.receive(6) == "[next]";
    }
    EXPECT_TRUE(served);
}

TEST_F(CommandListenerTest, ThePerPeerShareIsAConstructorParameter) {
    listener = std::make_unique<CommandListener>(0, CommandListener::defaultMaxConnections, 1);
    listener->OnExecute = [this](CommandConnection& c) { handle(c, 10000); };
    listener->setActive(true);
    Client a(AF_INET, listener->Port(), "127.0.0.1");
    exchange(a, "a1");
    Client over(AF_INET, listener->Port(), "127.0.0.3"); // the same group
    over.send("over");
    EXPECT_EQ(over.receive(6), "");
    EXPECT_TRUE(over.waitClosed());
}

TEST_F(CommandListenerTest, DeactivationClosesOpenConnectionsAndCanBeUndone) {
    start(-1); // handlers wait for data without limit
    Client a(AF_INET, listener->Port());
    Client b(AF_INET, listener->Port());
    exchange(a, "a1");
    exchange(b, "b1");

    listener->setActive(false);
    EXPECT_FALSE(listener->Active());
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(b.waitClosed());

    listener->setActive(true);
    Client c(AF_INET, listener->Port());
    exchange(c, "c1");
}

TEST_F(CommandListenerTest, ANewListenerBindsWhileClosedConnectionsWaitOutTimeWait) {
    start();
    const uint16_t port = listener->Port();
    {
        Client client(AF_INET, port);
        exchange(client, "x1");
        EXPECT_TRUE(client.waitClosed()); // the listener closed first: its side waits in TIME_WAIT
    }
    listener.reset();
    // A restarted program must get its port back at once, not a minute later.
    CommandListener again(port);
    again.OnExecute = [](CommandConnection&) { throw SocketError("unused"); };
    EXPECT_NO_THROW(again.setActive(true));
    EXPECT_EQ(again.Port(), port);
}

TEST_F(CommandListenerTest, DeactivationStopsAccepting) {
    start();
    const uint16_t port = listener->Port();
    listener->setActive(false);
    Client late(AF_INET, port);
    EXPECT_FALSE(late.connected());
}

class PeerAddressTest : public CommandListenerTest,
                        public ::testing::WithParamInterface<std::pair<int, const char*>> {};

TEST_P(PeerAddressTest, PeerIPIsTheClientsAddressText) {
    const auto [family, expected] = GetParam();
    if (family == AF_INET6 && !systemHasIPv6()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    start();
    Client client(family, listener->Port());
    ASSERT_TRUE(client.connected());
    exchange(client, "who");
    std::lock_guard lock(mutex);
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0], expected);
}

INSTANTIATE_TEST_SUITE_P(Families, PeerAddressTest,
                         ::testing::Values(std::pair{AF_INET, "127.0.0.1"},
                                           std::pair{AF_INET6, "::1"}));

// Another program holds the port on one of the two families.
class PortTakenTest : public ::testing::TestWithParam<int> {};

TEST_P(PortTakenTest, ActivationFailsWithTheBindTextAndLeavesNothingBound) {
    const int family = GetParam();
    if (family == AF_INET6 && !systemHasIPv6()) {
        GTEST_SKIP() << "no IPv6 here";
    }
    // A port from the claimed range: an ephemeral one could be given to another test's socket
    // of the other family between here and the probe below.
    const uint16_t port = test::FreePort();
    const int holder = bindAny(family, port);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::listen(holder, 1), 0);

    CommandListener listener(port);
    try {
        listener.setActive(true);
        FAIL() << "activation succeeded on a port in use";
    } catch (const SocketError& e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(listener.Active());

    // Whatever the listener had bound before the failure has been let go.
    const int other = family == AF_INET ? AF_INET6 : AF_INET;
    if (other == AF_INET || systemHasIPv6()) {
        const int probe = bindAny(other, port);
        EXPECT_GE(probe, 0) << "the listener kept the port bound";
        if (probe >= 0) {
            ::close(probe);
        }
    }

    ::close(holder);
    listener.setActive(true);
    EXPECT_TRUE(listener.Active());
    EXPECT_EQ(listener.Port(), port);
}

INSTANTIATE_TEST_SUITE_P(Families, PortTakenTest, ::testing::Values(AF_INET, AF_INET6));

} // namespace
} // namespace norva
