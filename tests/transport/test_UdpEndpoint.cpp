#include "support/FreePort.h"
#include "transport/SocketError.h"
#include "transport/UdpEndpoint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace norva {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr auto kTimeout = 10s;

// A plain loopback UDP socket playing the device.
class TestSocket {
public:
    // family AF_INET or AF_INET6; anyAddress binds the wildcard (to hold a port against
    // the endpoint) instead of a loopback address.
    explicit TestSocket(int family = AF_INET, std::uint16_t port = 0, bool anyAddress = false,
                        const char* loopbackV4 = "127.0.0.1")
        : family_(family) {
        fd_ = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            throw std::runtime_error("socket failed");
        int rc;
        if (family == AF_INET6) {
            const int on = 1;
            ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = anyAddress ? in6addr_any : in6addr_loopback;
            a.sin6_port = htons(port);
            rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            if (!anyAddress)
                ::inet_pton(AF_INET, loopbackV4, &a.sin_addr);
            a.sin_port = htons(port);
            rc = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        if (rc != 0) {
            ::close(fd_);
            throw std::runtime_error("bind failed");
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(bound).sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port);
    }
    ~TestSocket() { ::close(fd_); }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    std::uint16_t port() const { return port_; }

    void sendTo(std::uint16_t port, const std::string& data) const {
        ssize_t sent;
        if (family_ == AF_INET6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            a.sin6_port = htons(port);
            sent = ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a),
                            sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            sent = ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a),
                            sizeof a);
        }
        if (sent != static_cast<ssize_t>(data.size()))
            throw std::runtime_error("sendto failed");
    }

    struct Datagram {
        std::string data;
        std::uint16_t sourcePort;
    };
    std::optional<Datagram> receive() const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kTimeout).count())) <= 0)
            return std::nullopt;
        std::string buffer(70000, '\0');
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            return std::nullopt;
        buffer.resize(static_cast<std::size_t>(n));
        return Datagram{buffer, ntohs(from.sin_port)};
    }

private:
    int family_;
    int fd_;
    std::uint16_t port_ = 0;
};

bool machineHasIPv6() {
    try {
        TestSocket probe(AF_INET6);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::set<std::string> threadNames() {
    std::set<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names.insert(name);
    }
    return names;
}

struct Delivery {
    std::string data;
    std::thread::id calledOn;
    std::thread::id aThread;
    const UdpBinding* binding;
    std::string peerIP;
    std::uint16_t peerPort;
};

// The test thread is the user-interface thread: it owns the queue and serves it while it
// waits for something.
class UdpEndpointTest : public ::testing::Test {
protected:
    UdpEndpointTest() {
        endpoint.setDefaultPort(0);
        endpoint.OnUDPRead = [this](std::thread::id aThread, const std::vector<std::uint8_t>& data,
                                    const UdpBinding& binding) {
            deliveries.push_back({std::string(data.begin(), data.end()), std::this_thread::get_id(),
                                  aThread, &binding, binding.peerIP(), binding.peerPort()});
        };
    }

    bool serveUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        queue.serveAllUntil([&] { return done() || std::chrono::steady_clock::now() > deadline; });
        return done();
    }
    bool serveUntilDelivered(std::size_t count) {
        return serveUntil([&] { return deliveries.size() >= count; });
    }
    // Binds the endpoint by sending to a scratch receiver.
    void activate() {
        TestSocket scratch;
        endpoint.Send("127.0.0.1", scratch.port(), "up");
        ASSERT_TRUE(endpoint.Active());
    }
    std::uint16_t boundPort() const { return endpoint.binding(0).port(); }

    HandOverQueue queue;
    UdpEndpoint endpoint{queue};
    std::vector<Delivery> deliveries;
};

TEST_F(UdpEndpointTest, BindsOnFirstSendAndSendsFromTheBoundPort) {
    EXPECT_FALSE(endpoint.Active());
    endpoint.setActive(false); // deactivating an inactive endpoint does nothing
    EXPECT_EQ(endpoint.bindingCount(), 0u);

    TestSocket device;
    endpoint.Send("127.0.0.1", device.port(), "NorvaHB");

    ASSERT_TRUE(endpoint.Active());
    const bool v6 = machineHasIPv6();
    ASSERT_EQ(endpoint.bindingCount(), v6 ? 2u : 1u);
    EXPECT_EQ(endpoint.binding(0).ipVersion(), UdpEndpoint::IPVersion::IPv4);
    EXPECT_NE(boundPort(), 0);
    if (v6) {
        EXPECT_EQ(endpoint.binding(1).ipVersion(), UdpEndpoint::IPVersion::IPv6);
        EXPECT_EQ(endpoint.binding(1).port(), boundPort());
    }
    auto got = device.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data, "NorvaHB");
    EXPECT_EQ(got->sourcePort, boundPort());

    // The answer to that port comes back through the handler.
    device.sendTo(got->sourcePort, "NorvaACK");
    ASSERT_TRUE(serveUntilDelivered(1));
    EXPECT_EQ(deliveries[0].data, "NorvaACK");
    EXPECT_EQ(deliveries[0].peerPort, device.port());

    const auto names = threadNames();
    EXPECT_TRUE(names.count("UDPServer #1"));
    EXPECT_EQ(names.count("UDPServer #2"), v6 ? 1u : 0u);
    endpoint.setActive(false);
    EXPECT_FALSE(threadNames().count("UDPServer #1"));
}

TEST_F(UdpEndpointTest, HeldPortFailsEverySendUntilItIsFree) {
    TestSocket device;
    std::uint16_t port;
    {
        TestSocket holder(AF_INET, 0, true);
        port = holder.port();
        endpoint.setDefaultPort(port);
        for (int i = 0; i < 2; ++i) {
            try {
                endpoint.Send("127.0.0.1", device.port(), "lost");
                FAIL() << "Send bound a port held by another socket";
            } catch (const SocketError& e) {
                EXPECT_STREQ(e.what(),
                             "Could not bind socket. Address and port are already in use.");
            }
            EXPECT_FALSE(endpoint.Active());
        }
    }
    endpoint.Send("127.0.0.1", device.port(), "after");
    EXPECT_TRUE(endpoint.Active());
    EXPECT_EQ(boundPort(), port);
    auto got = device.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data, "after"); // nothing of the failed sends went out
    EXPECT_EQ(got->sourcePort, port);
}

TEST_F(UdpEndpointTest, FailedIPv6BindReleasesTheIPv4Port) {
    if (!machineHasIPv6())
        GTEST_SKIP() << "no IPv6 on this machine";
    const std::uint16_t port = norva::test::FreePort();
    TestSocket holder(AF_INET6, port, true);
    endpoint.setDefaultPort(port);
    EXPECT_THROW(endpoint.Send("127.0.0.1", 9, "x"), SocketError);
    EXPECT_FALSE(endpoint.Active());
    EXPECT_EQ(endpoint.bindingCount(), 0u);
    EXPECT_NO_THROW(TestSocket(AF_INET, port, true)); // the endpoint let go of it
}

TEST_F(UdpEndpointTest, SendFailuresLeaveTheEndpointAsItWas) {
    TestSocket device;
    try {
        endpoint.Send("", device.port(), "x"); // the resolver knows no empty name
        FAIL() << "an empty host was resolved";
    } catch (const SocketError& e) {
        EXPECT_THAT(e.what(), ::testing::MatchesRegex("Socket Error # -?[0-9]+\r\n.+"));
    }
    EXPECT_FALSE(endpoint.Active()); // resolution comes before binding

    try {
        endpoint.Send("127.0.0.1", device.port(), std::string(70000, 'a'));
        FAIL() << "an oversized datagram was sent";
    } catch (const SocketError& e) {
        EXPECT_STREQ(e.what(), "Package Size Too Big.");
    }
    EXPECT_TRUE(endpoint.Active()); // the activation stays

    endpoint.Send("127.0.0.1", device.port(), "");
    endpoint.Send("127.0.0.1", device.port(), "next");
    auto got = device.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data, "next"); // neither the oversized nor the empty text went out
}

struct EncodingCase {
    std::string text;
    std::string wire;
};

class UdpEndpointEncoding : public UdpEndpointTest,
                            public ::testing::WithParamInterface<EncodingCase> {};

TEST_P(UdpEndpointEncoding, OneBytePerCharacterWithQuestionMarks) {
    TestSocket device;
    endpoint.Send("127.0.0.1", device.port(), GetParam().text);
    auto got = device.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data, GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UdpEndpointEncoding,
    ::testing::Values(EncodingCase{"NorvaHB", "NorvaHB"}, EncodingCase{"caf\xC3\xA9", "caf?"},
                      EncodingCase{"\xE2\x82\xAC"
                                   "5",
                                   "?5"},                      // three-byte character
                      EncodingCase{"\xF0\x9F\x98\x80!", "?!"}, // four-byte character
                      EncodingCase{"a\xFF"
                                   "b\xC3",
                                   "a?b?"}, // broken UTF-8
                      EncodingCase{std::string("\x01\x7F", 2), std::string("\x01\x7F", 2)}));

struct HostCase {
    const char* host;
    const char* address;
};

class UdpEndpointHost : public UdpEndpointTest, public ::testing::WithParamInterface<HostCase> {};

TEST_P(UdpEndpointHost, ReachesTheLoopbackAddress) {
    TestSocket device(AF_INET, 0, false, GetParam().address);
    endpoint.Send(GetParam().host, device.port(), "hi");
    auto got = device.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->data, "hi");
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, UdpEndpointHost,
    ::testing::Values(HostCase{"LOCALHOST", "127.0.0.1"}, HostCase{"localhost", "127.0.0.1"},
                      HostCase{"LocalHost", "127.0.0.1"}, HostCase{"127.0.0.1", "127.0.0.1"},
                      HostCase{"127.0.0.010", "127.0.0.10"}, // decimal, not octal
                      HostCase{"127.1", "127.0.0.1"})); // the resolver's own short form         //
                                                        // the resolver's own short form

struct SizeCase {
    std::size_t size;
    bool delivered;
};

class UdpEndpointSize : public UdpEndpointTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(UdpEndpointSize, DeliversUpToTheBufferSizeWhole) {
    activate();
    TestSocket device;
    std::string payload(GetParam().size, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);
    device.sendTo(boundPort(), payload);
    device.sendTo(boundPort(), "end"); // handled after the first, so its arrival settles it

    ASSERT_TRUE(serveUntil([&] { return !deliveries.empty() && deliveries.back().data == "end"; }));
    if (GetParam().delivered) {
        ASSERT_EQ(deliveries.size(), 2u);
        EXPECT_EQ(deliveries[0].data, payload);
    } else {
        EXPECT_EQ(deliveries.size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, UdpEndpointSize,
                         ::testing::Values(SizeCase{1, true}, SizeCase{8192, true},
                                           SizeCase{8193, false}, SizeCase{20000, false}));

TEST_F(UdpEndpointTest, ZeroLengthDatagramUpdatesThePeerOnly) {
    activate();
    TestSocket first;
    TestSocket silent;
    first.sendTo(boundPort(), "one");
    ASSERT_TRUE(serveUntilDelivered(1));

    silent.sendTo(boundPort(), "");
    ASSERT_TRUE(serveUntil([&] { return endpoint.binding(0).peerPort() == silent.port(); }));
    EXPECT_EQ(endpoint.binding(0).peerIP(), "127.0.0.1");

    first.sendTo(boundPort(), "two");
    ASSERT_TRUE(serveUntilDelivered(2));
    EXPECT_EQ(deliveries[1].data, "two");
    EXPECT_EQ(deliveries.size(), 2u);
}

TEST_F(UdpEndpointTest, DeliversOnTheUIThreadOneAtATimeInOrder) {
    activate();
    std::vector<std::unique_ptr<TestSocket>> senders;
    for (int i = 0; i < 4; ++i)
        senders.push_back(std::make_unique<TestSocket>());
    int running = 0;
    int overlaps = 0;
    const auto record = endpoint.OnUDPRead;
    endpoint.OnUDPRead = [&](std::thread::id t, const std::vector<std::uint8_t>& data,
                             const UdpBinding& b) {
        overlaps += running++ != 0;
        record(t, data, b);
        --running;
        if (data.size() == 1 && data[0] == '3')
            throw std::runtime_error("dropped by the endpoint");
    };

    constexpr int kCount = 24;
    for (int i = 0; i < kCount; ++i)
        senders[i % senders.size()]->sendTo(boundPort(), std::to_string(i));
    ASSERT_TRUE(serveUntilDelivered(kCount));

    EXPECT_EQ(overlaps, 0);
    for (int i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i);
        const Delivery& d = deliveries[i];
        EXPECT_EQ(d.data, std::to_string(i));
        EXPECT_EQ(d.calledOn, std::this_thread::get_id());
        EXPECT_NE(d.aThread, std::this_thread::get_id());
        EXPECT_EQ(d.aThread, deliveries[0].aThread);
        EXPECT_EQ(d.binding, &endpoint.binding(0));
        // The peer is still this datagram's sender: the next one was not read meanwhile.
        EXPECT_EQ(d.peerPort, senders[i % senders.size()]->port());
    }
}

TEST_F(UdpEndpointTest, DeactivationRunsTheDeliveryItWaitsFor) {
    std::atomic<bool> queued{false};
    queue.setWaker([&] { queued = true; });
    activate();
    const std::uint16_t port = boundPort();
    const std::size_t bindings = endpoint.bindingCount();
    TestSocket device;
    device.sendTo(port, "late");

    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!queued && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(queued) << "the receive thread never handed the datagram over";
    EXPECT_TRUE(deliveries.empty());

    endpoint.setActive(false); // the receive thread is blocked on us: this must not hang
    EXPECT_FALSE(endpoint.Active());
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].data, "late");

    EXPECT_EQ(endpoint.bindingCount(), bindings);
    endpoint.Send("127.0.0.1", device.port(), "again");
    EXPECT_EQ(boundPort(), port);
}

TEST_F(UdpEndpointTest, NewDefaultPortTakesEffectOnlyAfterClearingBindings) {
    TestSocket device;
    endpoint.Send("127.0.0.1", device.port(), "a");
    const std::uint16_t first = boundPort();
    ASSERT_EQ(device.receive()->sourcePort, first);

    const std::uint16_t second = norva::test::FreePort();
    endpoint.setActive(false);
    endpoint.setDefaultPort(second);
    endpoint.Send("127.0.0.1", device.port(), "b");
    EXPECT_EQ(boundPort(), first);
    EXPECT_EQ(device.receive()->sourcePort, first);

    endpoint.setActive(false);
    endpoint.ClearBindings();
    endpoint.setDefaultPort(second);
    endpoint.Send("127.0.0.1", device.port(), "c");
    EXPECT_EQ(boundPort(), second);
    EXPECT_EQ(device.receive()->sourcePort, second);
    if (machineHasIPv6()) {
        EXPECT_EQ(endpoint.binding(1).port(), second);
    }
}

TEST_F(UdpEndpointTest, IPv6DatagramArrivesOnTheIPv6Binding) {
    if (!machineHasIPv6())
        GTEST_SKIP() << "no IPv6 on this machine";
    activate();
    ASSERT_EQ(endpoint.bindingCount(), 2u);
    TestSocket v6(AF_INET6);
    TestSocket v4;
    v6.sendTo(boundPort(), "six");
    ASSERT_TRUE(serveUntilDelivered(1));
    v4.sendTo(boundPort(), "four");
    ASSERT_TRUE(serveUntilDelivered(2));

    EXPECT_EQ(deliveries[0].data, "six");
    EXPECT_EQ(deliveries[0].binding, &endpoint.binding(1));
    EXPECT_EQ(deliveries[0].peerIP, "::1");
    EXPECT_EQ(deliveries[0].peerPort, v6.port());
    EXPECT_EQ(deliveries[1].data, "four");
    EXPECT_EQ(deliveries[1].binding, &endpoint.binding(0));
    EXPECT_EQ(deliveries[1].peerIP, "127.0.0.1");
    EXPECT_NE(deliveries[0].aThread, deliveries[1].aThread); // one thread per binding
}

} // namespace
} // namespace norva
