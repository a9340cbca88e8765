// The sockets the service manager passes: which variables name which descriptors, and which
// descriptors the command port can take (a wrong kind or port is refused with its reason).
#include "service/PassedSockets.h"

#include <gtest/gtest.h>

#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using norva::PassedSockets;

namespace {

struct ParseCase {
    const char* name;
    std::map<std::string, std::string> env;
    std::vector<int> descriptors;
    bool error;
};

class PassedSocketsParse : public testing::TestWithParam<ParseCase> {};

TEST_P(PassedSocketsParse, FollowsTheServiceManagersRules) {
    const auto& c = GetParam();
    const auto result = PassedSockets::parse(
        [&](std::string_view name) -> std::optional<std::string> {
            const auto it = c.env.find(std::string(name));
            return it == c.env.end() ? std::nullopt : std::optional(it->second);
        },
        4242);
    EXPECT_EQ(result.descriptors, c.descriptors);
    EXPECT_EQ(!result.error.empty(), c.error) << result.error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PassedSocketsParse,
    testing::Values(
        ParseCase{"Unset", {}, {}, false},
        ParseCase{"Two", {{"LISTEN_PID", "4242"}, {"LISTEN_FDS", "2"}}, {3, 4}, false},
        ParseCase{"OtherProcess", {{"LISTEN_PID", "4243"}, {"LISTEN_FDS", "2"}}, {}, false},
        ParseCase{"CountZero", {{"LISTEN_PID", "4242"}, {"LISTEN_FDS", "0"}}, {}, false},
        ParseCase{"CountOnlyNoPid", {{"LISTEN_FDS", "2"}}, {}, false},
        ParseCase{"PidOnly", {{"LISTEN_PID", "4242"}}, {}, false},
        ParseCase{"GarbageCount", {{"LISTEN_PID", "4242"}, {"LISTEN_FDS", "two"}}, {}, true},
        ParseCase{"NegativeCount", {{"LISTEN_PID", "4242"}, {"LISTEN_FDS", "-1"}}, {}, true},
        ParseCase{"HugeCount",
                  {{"LISTEN_PID", "4242"}, {"LISTEN_FDS", "99999999999999999999"}},
                  {},
                  true},
        ParseCase{"EmptyCount", {{"LISTEN_PID", "4242"}, {"LISTEN_FDS", ""}}, {}, true},
        ParseCase{"GarbagePid", {{"LISTEN_PID", "42x"}, {"LISTEN_FDS", "1"}}, {}, true}),
    [](const auto& p) { return std::string(p.param.name); });

// A socket of the given kind, bound to a free loopback port (0 = ephemeral), listening or
// not; closed by the test's end.
struct Socket {
    Socket(int family, int type, bool listening, bool v6only = true) {
        fd = ::socket(family, type | SOCK_CLOEXEC, 0);
        if (family == AF_INET6) {
            const int on = v6only ? 1 : 0;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            // Only a wildcard socket can take IPv4 too: the kernel makes one bound to ::1
            // IPv6-only whatever it was asked.
            a.sin6_addr = v6only ? in6addr_loopback : in6addr_any;
            ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        if (listening)
            ::listen(fd, 4);
        sockaddr_storage s{};
        socklen_t n = sizeof s;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&s), &n);
        port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(s).sin6_port
                                        : reinterpret_cast<sockaddr_in&>(s).sin_port);
    }
    ~Socket() { ::close(fd); }
    int fd;
    std::uint16_t port;
};

TEST(PassedSocketsCheck, TakesListeningTcpSocketsOfThePortAndSaysWhyOthersAreWrong) {
    const Socket v4(AF_INET, SOCK_STREAM, true);
    EXPECT_EQ(PassedSockets::checkCommandSockets({v4.fd}, v4.port), "");
    EXPECT_EQ(PassedSockets::checkCommandSockets({}, v4.port), "");

    const auto fails = [](int fd, std::uint16_t port, const std::string& why) {
        const std::string error = PassedSockets::checkCommandSockets({fd}, port);
        EXPECT_NE(error.find(why), std::string::npos) << why << ": " << error;
        EXPECT_NE(error.find("descriptor " + std::to_string(fd)), std::string::npos) << error;
    };
    fails(v4.fd, static_cast<std::uint16_t>(v4.port + 1), "not the command port");
    const Socket udp(AF_INET, SOCK_DGRAM, false);
    fails(udp.fd, udp.port, "not a TCP socket");
    const Socket idle(AF_INET, SOCK_STREAM, false);
    fails(idle.fd, idle.port, "not listening");
    const Socket dual(AF_INET6, SOCK_STREAM, true, false); // the socket unit's own kind
    EXPECT_EQ(PassedSockets::checkCommandSockets({dual.fd}, dual.port), "");
    const Socket v6(AF_INET6, SOCK_STREAM, true);
    EXPECT_EQ(PassedSockets::checkCommandSockets({v6.fd}, v6.port), "");
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    fails(pipe[0], 9100, "not a socket");
    ::close(pipe[0]);
    ::close(pipe[1]);
    fails(pipe[0], 9100, "not open");
}

} // namespace
