// The service without its main(): ServiceDaemon on a settings folder of the test's own, its
// journal written to a buffer, a recording power backend, the service manager's socket one of
// the test's, and a bus connection that is not connected. Judged by the journal's lines, the
// metrics file and the notifications, while the test drives the heartbeat's handlers and a
// device sends commands to the real command port on loopback.
#include "commands/CommandPacket.h"
#include "service/JournalLog.h"
#include "service/NotifySocket.h"
#include "service/ServiceDaemon.h"
#include "service/ServiceOptions.h"
#include "service/SystemdNotifier.h"
#include "settings/SettingsRules.h"
#include "support/FreePort.h"
#include "support/LoopbackDevice.h"
#include "support/RecordingPowerBackend.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using norva::test::NotifySocket;

namespace {

std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

// A restart as the device sends it.
std::string restartPacket(const std::string& user, const std::string& pass) {
    std::string p(norva::kCommandPacketSize, '\0');
    p[0] = static_cast<char>(norva::eCmnd_get);
    p.replace(1, user.size(), user);
    p.replace(22, pass.size(), pass);
    p[43] = 1;
    return p;
}

// The service on loopback: the network heartbeat to 127.0.0.1 at a free port (Freq 1,
// FailCount 2), started by the user before, the metrics file in the test's folder, and the
// command port on a free port. The heartbeat's timers are lengthened so that only the test
// ticks.
class Daemon : public testing::Test {
protected:
    Daemon() {
        dir.write("NorvaHB", "[Run]\nIsStarted=1\n[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=" +
                                 std::to_string(udpPort) +
                                 "\nFreq=1\nFailCount=2\n[GSD]\nUsername=Ostra\nPassword=ferno\n"
                                 "AlertPedningAction=0\n[Service]\nMetricsFile=" +
                                 (dir / "norvahb.prom").string() + "\n");
        options.settingsFile = dir / "NorvaHB";
        options.commandPort = norva::test::FreePort();
        makeDaemon();
        auto& agent = daemon->agent();
        for (QTimer* t : {&agent.network.Timer1, &agent.network.Timer2, &agent.serial.comFreq,
                          &agent.serial.comResp, &agent.pending.Timer1})
            t->setInterval(1h);
        // The heartbeats come back to the agent's own socket on loopback: kept off the monitor,
        // whose answers the test plays.
        agent.UDPServer.OnUDPRead = [](std::thread::id, const std::vector<std::uint8_t>&,
                                       const norva::UdpEndpoint::Binding&) {};
    }
    ~Daemon() override { daemon.reset(); }

    // A daemon on the test's clock: the metrics file's pace and the command port's folds go
    // by `now`, which only the test moves.
    void makeDaemon() {
        daemon = std::make_unique<norva::ServiceDaemon>(
            options, journal, power, notifier, QDBusConnection(QStringLiteral("not-connected")));
        daemon->clock = [this] { return now; };
        daemon->agent().protocol.clock = [this] { return now; };
    }

    // A second passes, and the metrics file's pending rewrite is done.
    void metricsDue() {
        now += 1s;
        daemon->metricsPace.timerTimer();
    }

    norva::Agent& agent() { return daemon->agent(); }

    // The journal so far, which then starts again.
    std::vector<std::string> takeLines() {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> lines;
        std::istringstream in(std::exchange(written_, {}));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    // The value of one metric in the file, "" when it is not there.
    std::string metric(const std::string& name) const {
        std::istringstream in(dir.read("norvahb.prom"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name + " ", 0) == 0)
                return line.substr(name.size() + 1);
        return "";
    }

    // One command from the device, served until its connection has ended.
    std::string command(const std::string& message) {
        norva::test::LoopbackDevice device(options.commandPort, message);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        agent().queue.serveAllUntil([&] {
            QCoreApplication::processEvents();
            return device.done() || std::chrono::steady_clock::now() > deadline;
        });
        return device.reply();
    }

    norva::test::TempDir dir;
    std::uint16_t udpPort = norva::test::FreePort();
    NotifySocket socket{(dir / "notify").string()};
    norva::SystemdNotifier notifier{[this](std::string_view name) -> std::optional<std::string> {
        if (name == "NOTIFY_SOCKET")
            return socket.name();
        return std::nullopt;
    }};
    norva::JournalLog journal{[this](std::string_view text) {
        const std::lock_guard lock(mutex_);
        written_ += text;
    }};
    norva::test::RecordingPowerBackend power;
    norva::ServiceOptions options;
    std::chrono::steady_clock::time_point now{1h};
    std::unique_ptr<norva::ServiceDaemon> daemon;

private:
    std::mutex mutex_;
    std::string written_;
};

TEST_F(Daemon, StartUpSaysWhereItListensWarnsOfTheMissingBusAndTellsTheServiceManager) {
    ASSERT_TRUE(daemon->start());
    const auto lines = takeLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "<6>Listening for commands on TCP port " + std::to_string(options.commandPort));
    EXPECT_EQ(lines[1], "<6>Heartbeat: the device is responding")
        << "the resumed heartbeat shows the good state until a miss says otherwise";
    bool warnedOfBus = false;
    for (const std::string& l : lines)
        warnedOfBus = warnedOfBus ||
                      l.rfind("<4>No bus interface, the heartbeat and command port run without "
                              "it: ",
                              0) == 0;
    EXPECT_TRUE(warnedOfBus) << "a bus that is not there is a warning, and the service goes on";
    EXPECT_EQ(socket.receive(1000), "READY=1");
    EXPECT_EQ(socket.receive(1000).value_or("").rfind("STATUS=Heartbeat ", 0), 0u);
    EXPECT_EQ(metric("norvahb_up"), "1");
    EXPECT_EQ(metric("norvahb_network_sent_total"), "1");

    daemon->stop();
    EXPECT_EQ(socket.receive(1000), "STOPPING=1");
    EXPECT_EQ(metric("norvahb_up"), "0") << "the service ended on purpose";
}

// The stored password as the command port takes it, said at every start right after the port:
// missing (the built-in default commands) a warning, empty (nothing commands) an error.
TEST_F(Daemon, AMissingOrEmptyPasswordIsSaidAtEveryStart) {
    const std::string stored = dir.read("NorvaHB");
    const std::string line = "Password=ferno\n";
    ASSERT_NE(stored.find(line), std::string::npos);
    struct Case {
        std::string replacement;
        std::string said; // "" for nothing
    };
    const Case cases[] = {
        {"", "<4>Command port: " + norva::StoredPasswordProblem(norva::StoredPassword::Missing)},
        {"Password=\"\"\n",
         "<3>Command port: " + norva::StoredPasswordProblem(norva::StoredPassword::Empty)},
        {line, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replacement);
        std::string settings = stored;
        settings.replace(settings.find(line), line.size(), c.replacement);
        dir.write("NorvaHB", settings);
        daemon.reset();
        makeDaemon();
        ASSERT_TRUE(daemon->start());
        const auto lines = takeLines();
        ASSERT_GE(lines.size(), 2u);
        if (c.said.empty())
            EXPECT_EQ(lines[1].find("Command port: "), std::string::npos) << lines[1];
        else
            EXPECT_EQ(lines[1], c.said);
        daemon->stop();
    }
}

// Each change of the heartbeat's state is one line, however many answers repeat it; the alert
// is a warning; the device's messages are lines of their own; the counts follow into the
// metrics file.
TEST_F(Daemon, StateChangesAreLoggedOncePerChangeWithTheAlertAndTheDevicesMessages) {
    ASSERT_TRUE(daemon->start());
    takeLines();
    auto& net = agent().network;

    net.Timer2Timer(); // the start heartbeat's answer never came
    net.Timer1Timer();
    net.Timer2Timer(); // FailCount 2: the alert
    net.Timer1Timer();
    net.UDPServerUDPRead(bytes("NorvaACK"));
    net.Timer1Timer();
    net.UDPServerUDPRead(bytes("NorvaACK")); // the same state again: no line
    net.UDPServerUDPRead(bytes("NorvaNAK"));
    net.UDPServerUDPRead(bytes("NorvaShutdown"));
    agent().stopHeartbeat();

    EXPECT_EQ(takeLines(), (std::vector<std::string>{
                               "<6>Heartbeat: the device is not responding",
                               "<4>Your Norva is not responding to the Heartbeat (Network)",
                               "<6>Heartbeat: the device is responding",
                               "<6>Device message: Shutdown",
                               "<6>Heartbeat: the heartbeat is stopped",
                           }));
    metricsDue();
    EXPECT_EQ(metric("norvahb_network_sent_total"), "4");
    EXPECT_EQ(metric("norvahb_network_received_total"), "4");
    EXPECT_EQ(metric("norvahb_network_nak_total"), "1");
    EXPECT_EQ(metric("norvahb_network_missed_total"), "2");
    EXPECT_EQ(metric("norvahb_heartbeat_running"), "0");
    EXPECT_TRUE(power.calls.empty()) << "a device message powers nothing";
}

// A mode changed through the settings while the heartbeat is stopped reaches the metrics file
// at once: no heartbeat comes to write it, and nothing goes to the journal.
TEST_F(Daemon, AppliedSettingsBringTheNewModeToTheMetrics) {
    ASSERT_TRUE(daemon->start());
    agent().stopHeartbeat();
    takeLines();
    ASSERT_EQ(metric("norvahb_heartbeat_mode{mode=\"network\"}"), "1");
    ASSERT_EQ(agent().applySettings({{"Setup/Network", "0"}, {"Setup/USB", "1"}}), QString());
    metricsDue();
    EXPECT_EQ(metric("norvahb_heartbeat_mode{mode=\"network\"}"), "0");
    EXPECT_EQ(metric("norvahb_heartbeat_mode{mode=\"usb\"}"), "1");
    EXPECT_EQ(metric("norvahb_heartbeat_running"), "0");
    EXPECT_EQ(takeLines(), std::vector<std::string>{});
}

// A command with a wrong password is refused and counted, and said in the group's folded count,
// not one line per packet; the right one is acknowledged, logged at once with its source and
// action, counted, and carried out.
TEST_F(Daemon, RejectedAndAcceptedCommandsAreLoggedAndCounted) {
    ASSERT_TRUE(daemon->start());
    agent().stopHeartbeat(); // the heartbeat's lines stay out of the way
    takeLines();
    EXPECT_EQ(metric("norvahb_commands_rejected_total"), "0");

    EXPECT_EQ(command(restartPacket("Ostra", "guess")), "");
    EXPECT_EQ(command(restartPacket("Ostra", "guess")), "");
    EXPECT_EQ(takeLines(), std::vector<std::string>{}) << "no line per rejected packet";
    agent().protocol.sweepTimerTimer();
    EXPECT_EQ(takeLines(), std::vector<std::string>{"<6>Command port: 127.0.0.0/8: rejected "
                                                    "commands (wrong user name or password): 2"});
    metricsDue();
    EXPECT_EQ(metric("norvahb_commands_rejected_total"), "2");
    EXPECT_EQ(metric("norvahb_commands_accepted_total"), "0");
    EXPECT_TRUE(power.calls.empty());

    EXPECT_EQ(command(restartPacket("Ostra", "ferno")), std::string(1, '\x01'));
    const auto lines = takeLines();
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("<6>Command port: restart from 127.0.0.1")) << ::testing::PrintToString(lines);
    EXPECT_TRUE(has("<6>DO restart")) << ::testing::PrintToString(lines);
    metricsDue();
    EXPECT_EQ(metric("norvahb_commands_rejected_total"), "2");
    EXPECT_EQ(metric("norvahb_commands_accepted_total"), "1");
    EXPECT_EQ(power.calls, std::vector<std::string>{"reboot"});
}

// The device's hellos are answered but not logged one by one: a flood of them is folded into
// one count per address group, the first said at once, the rest when the minute ends, and what
// is still counted at the stop is said then. An accepted command in the middle of the flood
// keeps its own line at once.
TEST_F(Daemon, HellosAreFoldedPerGroupAndNoneIsLostAtTheStop) {
    ASSERT_TRUE(daemon->start());
    agent().stopHeartbeat();
    takeLines();
    const std::string hello = "hello-000";
    EXPECT_EQ(command(hello), std::string(2, '\0'));
    agent().protocol.sweepTimerTimer();
    EXPECT_EQ(takeLines(),
              std::vector<std::string>{"<6>Command port: 127.0.0.0/8: hellos answered: 1"})
        << "the first of a quiet group at once";

    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(command(hello), std::string(2, '\0'));
    EXPECT_EQ(command(restartPacket("Ostra", "ferno")), std::string(1, '\x01'));
    for (int i = 0; i < 19; ++i)
        EXPECT_EQ(command(hello), std::string(2, '\0'));
    now += 30s;
    agent().protocol.sweepTimerTimer();
    auto lines = takeLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<6>Command port: restart from 127.0.0.1"), 1)
        << ::testing::PrintToString(lines);
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("ello"), std::string::npos) << line;

    now += 30s; // the minute since the first report is over
    agent().protocol.sweepTimerTimer();
    EXPECT_EQ(takeLines(),
              std::vector<std::string>{"<6>Command port: 127.0.0.0/8: hellos answered: 39"});

    EXPECT_EQ(command(hello), std::string(2, '\0'));
    EXPECT_EQ(command(hello), std::string(2, '\0'));
    daemon->stop();
    lines = takeLines();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "<6>Command port: 127.0.0.0/8: hellos answered: 2"),
        1)
        << ::testing::PrintToString(lines);
}

// A burst of heartbeats and answers rewrites the metrics file (with an fsync each time) at
// most once a second: the first change at once, the rest when the second is over, and the
// stop writes the last state whatever the pace.
TEST_F(Daemon, TheMetricsFileIsRewrittenAtMostOnceASecondAndAlwaysGetsTheLastState) {
    ASSERT_TRUE(daemon->start());
    auto& net = agent().network;
    ASSERT_EQ(metric("norvahb_network_sent_total"), "1") << "the start's state is written";
    now += 1s;
    net.UDPServerUDPRead(bytes("NorvaACK"));
    EXPECT_EQ(metric("norvahb_network_received_total"), "1") << "after a quiet second, at once";

    for (int i = 0; i < 20; ++i) {
        now += 10ms;
        net.Timer1Timer();
        net.UDPServerUDPRead(bytes("NorvaACK"));
    }
    EXPECT_EQ(metric("norvahb_network_sent_total"), "1") << "not rewritten within the second";
    EXPECT_TRUE(daemon->metricsPace.timer.isActive());
    metricsDue();
    EXPECT_EQ(metric("norvahb_network_sent_total"), "21");
    EXPECT_EQ(metric("norvahb_network_received_total"), "21");
    EXPECT_FALSE(daemon->metricsPace.timer.isActive()) << "nothing owed, no wake-up";

    now += 10ms;
    net.Timer1Timer();
    daemon->stop();
    EXPECT_EQ(metric("norvahb_network_sent_total"), "22");
    EXPECT_EQ(metric("norvahb_up"), "0");
}

// A restart the login manager refused is an error in the journal and a count of its own.
TEST_F(Daemon, ARefusedPowerRequestIsAnErrorAndCounted) {
    ASSERT_TRUE(daemon->start());
    agent().stopHeartbeat();
    takeLines();
    EXPECT_EQ(command(restartPacket("Ostra", "ferno")), std::string(1, '\x01'));
    ASSERT_EQ(power.calls, std::vector<std::string>{"reboot"});
    takeLines();
    power.answer("Interactive authentication required.");
    EXPECT_EQ(takeLines(),
              std::vector<std::string>{"<3>The login manager refused the restart: Interactive "
                                       "authentication required."});
    metricsDue();
    EXPECT_EQ(metric("norvahb_power_requests_failed_total"), "1");
}

} // namespace
