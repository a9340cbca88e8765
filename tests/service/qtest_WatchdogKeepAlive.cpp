// The keep-alive pings from the event loop: while the loop runs, pings reach the socket; while
// the thread is stuck in a handler, none do.
#include "service/NotifySocket.h"
#include "service/WatchdogKeepAlive.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;
using norva::SystemdNotifier;
using norva::WatchdogKeepAlive;
using norva::test::NotifySocket;

namespace {

SystemdNotifier::Lookup environment(const std::string& socket, const std::string& usec) {
    return [=](std::string_view name) -> std::optional<std::string> {
        if (name == "NOTIFY_SOCKET")
            return socket;
        if (name == "WATCHDOG_USEC" && !usec.empty())
            return usec;
        return std::nullopt;
    };
}

struct KeepAlive : testing::Test {
    norva::test::TempDir dir;
    NotifySocket socket{(dir / "notify").string()};
};

TEST_F(KeepAlive, PingsAtOnceThenAtHalfTheTimeout) {
    SystemdNotifier notifier(environment(socket.name(), "30000000"));
    WatchdogKeepAlive keepAlive(notifier);
    keepAlive.start();
    EXPECT_TRUE(keepAlive.isActive());
    EXPECT_EQ(keepAlive.timer().interval(), 15000);
    EXPECT_EQ(socket.receive(), "WATCHDOG=1");

    keepAlive.ping(); // what the timer does at each interval
    EXPECT_EQ(socket.receive(), "WATCHDOG=1");
    keepAlive.stop();
    EXPECT_FALSE(keepAlive.isActive());
    EXPECT_EQ(socket.receive(), std::nullopt);
}

TEST_F(KeepAlive, WithoutAWatchdogNothingStarts) {
    SystemdNotifier notifier(environment(socket.name(), ""));
    WatchdogKeepAlive keepAlive(notifier);
    keepAlive.start();
    EXPECT_FALSE(keepAlive.isActive());
    EXPECT_EQ(socket.receive(), std::nullopt);
}

// The point of the keep-alive: the pings come from the event loop. With the loop held up no
// ping leaves, however many intervals pass; as soon as it runs again they come.
TEST_F(KeepAlive, AHeldUpEventLoopSendsNoPings) {
    SystemdNotifier notifier(environment(socket.name(), "20000")); // pings every 10 ms
    WatchdogKeepAlive keepAlive(notifier);
    keepAlive.start();
    ASSERT_EQ(socket.receive(), "WATCHDOG=1");

    std::this_thread::sleep_for(100ms); // a handler that hangs for ten intervals
    EXPECT_EQ(socket.receive(), std::nullopt);

    EXPECT_TRUE(norva::test::WaitFor([&] { return socket.receive() == "WATCHDOG=1"; }));
}

TEST_F(KeepAlive, AFailedPingIsReportedAndTheTimerGoesOn) {
    SystemdNotifier notifier(environment((dir / "nobody").string(), "30000000"));
    std::vector<std::string> errors;
    WatchdogKeepAlive keepAlive(notifier, [&](const std::string& e) { errors.push_back(e); });
    keepAlive.start();
    keepAlive.ping();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("cannot notify the service manager"), std::string::npos);
    EXPECT_TRUE(keepAlive.isActive());
}

} // namespace
