// The notifier against real AF_UNIX datagram sockets of the test's own, one in a temporary
// folder and one in the abstract namespace, as the service manager would offer either.
#include "service/NotifySocket.h"
#include "service/SystemdNotifier.h"
#include "support/TempDir.h"

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <random>

using namespace std::chrono_literals;
using norva::SystemdNotifier;
using norva::test::NotifySocket;

namespace {

SystemdNotifier::Lookup environment(std::map<std::string, std::string> values) {
    return [values = std::move(values)](std::string_view name) -> std::optional<std::string> {
        const auto it = values.find(std::string(name));
        if (it == values.end())
            return std::nullopt;
        return it->second;
    };
}

std::string abstractName() {
    std::random_device rd;
    return "@norva-test-notify-" + std::to_string(rd()) + std::to_string(rd());
}

// Each socket kind gets every call, and receives exactly the datagram the protocol names.
class Kinds : public testing::TestWithParam<bool> {
protected:
    norva::test::TempDir dir;
    NotifySocket socket{GetParam() ? abstractName() : (dir / "notify").string()};
    SystemdNotifier notifier{environment({{"NOTIFY_SOCKET", socket.name()}})};
};

TEST_P(Kinds, EachCallIsOneDatagramOfTheProtocol) {
    ASSERT_TRUE(notifier.active());
    EXPECT_EQ(notifier.ready(), "");
    EXPECT_EQ(socket.receive(), "READY=1");
    EXPECT_EQ(notifier.status("Heartbeat running: device responding"), "");
    EXPECT_EQ(socket.receive(), "STATUS=Heartbeat running: device responding");
    EXPECT_EQ(notifier.watchdogPing(), "");
    EXPECT_EQ(socket.receive(), "WATCHDOG=1");
    EXPECT_EQ(notifier.stopping(), "");
    EXPECT_EQ(socket.receive(), "STOPPING=1");
    EXPECT_EQ(socket.receive(), std::nullopt);
}

// A line break would end the assignment and make the rest a line of its own.
TEST_P(Kinds, LineBreaksInAStatusBecomeBlanks) {
    EXPECT_EQ(notifier.status("Com7 is no longer available\rPlease select\nanother"), "");
    EXPECT_EQ(socket.receive(), "STATUS=Com7 is no longer available Please select another");
}

INSTANTIATE_TEST_SUITE_P(Socket, Kinds, testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Abstract" : "Path"; });

TEST(NotRunBySystemd, EveryCallDoesNothingAndSucceeds) {
    SystemdNotifier notifier(environment({{"WATCHDOG_USEC", "30000000"}}));
    EXPECT_FALSE(notifier.active());
    EXPECT_EQ(notifier.ready(), "");
    EXPECT_EQ(notifier.watchdogPing(), "");
    EXPECT_EQ(notifier.watchdogInterval(), std::nullopt);

    SystemdNotifier empty(environment({{"NOTIFY_SOCKET", ""}}));
    EXPECT_FALSE(empty.active());
}

TEST(SendFailures, AreReportedWithTheSocketName) {
    norva::test::TempDir dir;
    const std::string nobody = (dir / "nobody-listens").string();
    const std::string cases[] = {nobody, "@norva-test-nobody-listens", "relative/notify",
                                 "/" + std::string(200, 'x')};
    for (const auto& name : cases) {
        SystemdNotifier notifier(environment({{"NOTIFY_SOCKET", name}}));
        const std::string error = notifier.ready();
        EXPECT_NE(error.find("cannot notify the service manager at " + name + ": "),
                  std::string::npos)
            << name << " -> " << error;
    }
}

TEST(WatchdogInterval, IsHalfTheTimeoutForThisProcessOnly) {
    struct Case {
        std::map<std::string, std::string> env;
        std::optional<std::chrono::microseconds> expected;
    };
    const std::string sock = "@norva-test-unused";
    const Case cases[] = {
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "30000000"}}, 15s},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "3"}}, 1us},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "30000000"}, {"WATCHDOG_PID", "4242"}}, 15s},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "30000000"}, {"WATCHDOG_PID", "4243"}},
         std::nullopt},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "30000000"}, {"WATCHDOG_PID", ""}},
         std::nullopt},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "30000000"}, {"WATCHDOG_PID", "42x"}},
         std::nullopt},
        {{{"NOTIFY_SOCKET", sock}}, std::nullopt},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "0"}}, std::nullopt},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", ""}}, std::nullopt},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "-30000000"}}, std::nullopt},
        {{{"NOTIFY_SOCKET", sock}, {"WATCHDOG_USEC", "30s"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SystemdNotifier notifier(environment(c.env), 4242);
        EXPECT_EQ(notifier.watchdogInterval(), c.expected)
            << "WATCHDOG_USEC=" << (c.env.count("WATCHDOG_USEC") ? c.env.at("WATCHDOG_USEC") : "-")
            << " WATCHDOG_PID=" << (c.env.count("WATCHDOG_PID") ? c.env.at("WATCHDOG_PID") : "-");
    }
}

TEST(ProcessEnvironment, ReadsTheProcesssOwnVariables) {
    ::setenv("NORVA_TEST_NOTIFIER_VALUE", "x=1", 1);
    ::unsetenv("NORVA_TEST_NOTIFIER_UNSET");
    const auto lookup = SystemdNotifier::processEnvironment();
    EXPECT_EQ(lookup("NORVA_TEST_NOTIFIER_VALUE"), "x=1");
    EXPECT_EQ(lookup("NORVA_TEST_NOTIFIER_UNSET"), std::nullopt);
}

} // namespace
