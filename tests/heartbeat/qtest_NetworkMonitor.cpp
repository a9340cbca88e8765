// The network heartbeat monitor: tick and watchdog driven by hand, the failure alert, the
// answers the device may give and its shutdown/restart messages, and failed sends. No window:
// what a window would draw is judged by the agent's announcements.
#include "platform/ErrorBox.h"
#include "support/AgentFixture.h"
#include "support/FreePort.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

using norva::test::AgentFixture;
using namespace std::chrono_literals;

namespace {

// A token or answer as the bytes that travel on the wire.
std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

std::string netSettings(std::uint32_t port, const std::string& freq = "5",
                        const std::string& fail = "3", const std::string& ip = "127.0.0.1") {
    return "[Setup]\nNetwork=1\nShowStatusInTray=1\nIPAddr=" + ip +
           "\nPort=" + std::to_string(port) + "\nFreq=" + freq + "\nFailCount=" + fail + "\n";
}

// One datagram that reached the program's UDP port, and through which binding.
struct Datagram {
    std::string data;
    std::string peerIP;
    std::uint16_t peerPort;
    std::uint16_t localPort;
};

// The agent on loopback: IPAddr 127.0.0.1 and a free "Port", so every datagram it sends comes
// back to its own socket. A recorder takes the endpoint's read handler, so those echoes never
// reach the monitor; the tests play the device's answers by calling the monitor's handler
// themselves. The fixture lengthens the timers so that only the test ticks. The page shows
// the network mode with "Show Status In Tray", as the settings say.
class NetHarness {
public:
    void build(const std::string& settings) {
        f = std::make_unique<AgentFixture>(settings);
        f->pages.none = false;
        f->pages.network = true;
        f->pages.tray = true;
        f->agent->UDPServer.OnUDPRead = [this](std::thread::id,
                                               const std::vector<std::uint8_t>& data,
                                               const norva::UdpEndpoint::Binding& b) {
            wire.push_back(
                {std::string(data.begin(), data.end()), b.peerIP(), b.peerPort(), b.port()});
        };
        f->startUp();
    }

    norva::NetworkMonitor& net() { return f->agent->network; }
    norva::Agent& agent() { return *f->agent; }
    // The counters as last announced: "counters sent received NAK missed".
    std::string counters() const { return f->log.last("counters "); }

    std::size_t onWire(std::string_view token) const {
        std::size_t n = 0;
        for (const auto& d : wire)
            n += d.data == token ? 1 : 0;
        return n;
    }
    // Serves the endpoint's deliveries until `count` copies of `token` came back.
    bool waitOnWire(std::string_view token, std::size_t count) {
        return f->serveUntil([&] { return onWire(token) >= count; }, 5000ms);
    }

    void expectGoodDisplay(bool statusInTray) {
        EXPECT_FALSE(agent().status.failed);
        EXPECT_EQ(f->log.last("icon "), "icon 1");
        EXPECT_EQ(f->log.last("status "), "status OK");
        EXPECT_EQ(f->log.last("tray "),
                  statusInTray ? "tray 0 hint Norva is responding" : "tray 2 hint Norva utility");
    }
    void expectFailDisplay() {
        EXPECT_TRUE(agent().status.failed);
        EXPECT_EQ(f->log.last("icon "), "icon 0");
        EXPECT_EQ(f->log.last("status "), "status Fail");
    }

    std::uint16_t port = norva::test::FreePort();
    std::unique_ptr<AgentFixture> f;
    std::vector<Datagram> wire;
};

class NetworkMonitorTest : public NetHarness, public testing::Test {};

TEST(NetworkMonitorTimers, TickEverySecondWatchdogHalfASecondBothIdleAtCreation) {
    norva::test::TempDir dir;
    norva::test::FakePageValues pages;
    norva::test::ScriptedMessageBoxes boxes;
    norva::test::RecordingPowerBackend power;
    norva::Agent agent(dir.path(), 0, pages, boxes, power);
    EXPECT_EQ(agent.network.Timer1.interval(), 1000);
    EXPECT_EQ(agent.network.Timer2.interval(), 500);
    EXPECT_FALSE(agent.network.Timer1.isActive());
    EXPECT_FALSE(agent.network.Timer2.isActive());
    agent.Stop();
}

// Steps after the start heartbeat: 'M' lets the watchdog fire, 'A' plays a "NorvaACK"; each
// step ends with the tick that sends the next heartbeat (Freq 1).
struct SequenceCase {
    const char* name;
    const char* failCount;
    const char* steps;
    int alertAtMiss; // 0: no alert
};

class NetworkSequence : public NetHarness, public testing::TestWithParam<SequenceCase> {};

TEST_P(NetworkSequence, AlertComesOnceWithTheFailCountthMissSinceTheStart) {
    const auto& c = GetParam();
    build(netSettings(port, "1", c.failCount));
    agent().startHeartbeat();
    ASSERT_EQ(net().sentCount, 1u);

    int misses = 0;
    int answers = 0;
    for (const char step : std::string_view(c.steps)) {
        ASSERT_TRUE(net().Timer2.isActive()) << "every heartbeat is watched";
        if (step == 'M') {
            net().Timer2Timer();
            ++misses;
            EXPECT_EQ(counters(), "counters " + std::to_string(net().sentCount) + " " +
                                      std::to_string(answers) + " 0 " + std::to_string(misses));
            const bool alerted = c.alertAtMiss != 0 && misses >= c.alertAtMiss;
            EXPECT_EQ(f->log.count("alert "), alerted ? 1u : 0u) << "after miss " << misses;
            EXPECT_TRUE(f->boxes.errors.empty()) << "the alert is drawn by the window";
            if (alerted)
                expectFailDisplay();
            else
                EXPECT_EQ(f->log.last("status "), "status OK") << "after miss " << misses;
        } else {
            net().UDPServerUDPRead(bytes("NorvaACK"));
            ++answers;
        }
        EXPECT_FALSE(net().Timer2.isActive());
        net().Timer1Timer();
    }

    const auto steps = std::string_view(c.steps).size();
    EXPECT_EQ(net().sentCount, steps + 1);
    EXPECT_EQ(net().missedCount, static_cast<std::uint32_t>(misses));
    EXPECT_EQ(net().rcvdCount, static_cast<std::uint32_t>(answers));
    // Answers never reload the fail counter; it wraps below zero.
    EXPECT_EQ(net().FailCntr, static_cast<std::uint16_t>(std::stoi(c.failCount) - misses));
    if (c.alertAtMiss != 0) {
        ASSERT_EQ(f->log.count("alert "), 1u);
        EXPECT_TRUE(
            f->log.contains("alert Your Norva is not responding to the Heartbeat (Network)"));
        // Answers after the alert draw the good state again; the tray said "not responding".
        EXPECT_TRUE(f->log.contains("tray 1 hint Norva is not responding"));
    }
    // Each counted heartbeat really left, from the configured port to the configured port.
    ASSERT_TRUE(waitOnWire("NorvaHB", steps + 1));
    for (const auto& d : wire) {
        EXPECT_EQ(d.peerIP, "127.0.0.1");
        EXPECT_EQ(d.peerPort, port);
        EXPECT_EQ(d.localPort, port);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkSequence,
    testing::Values(SequenceCase{"SilentDevice", "3", "MMMM", 3},
                    SequenceCase{"MissesAndAnswersMixed", "3", "MAMAM", 3},
                    SequenceCase{"AnswersDoNotPostponeTheAlert", "2", "AAAMAAM", 2},
                    SequenceCase{"FailCountZeroWaitsForTheWrap", "0", "MMMMM", 0}),
    [](const auto& p) { return std::string(p.param.name); });

struct FreqCase {
    const char* name;
    const char* freq;
    std::uint32_t ticks;
    std::vector<std::uint32_t> heartbeatTicks;
};

class NetworkFrequency : public NetHarness, public testing::TestWithParam<FreqCase> {};

TEST_P(NetworkFrequency, HeartbeatAtTheStartThenEveryFreqTicks) {
    const auto& c = GetParam();
    build(netSettings(port, c.freq));
    agent().startHeartbeat();
    ASSERT_EQ(net().sentCount, 1u) << "the first heartbeat goes out at once";
    EXPECT_TRUE(net().Timer1.isActive());

    std::vector<std::uint32_t> sentOn;
    for (std::uint32_t tick = 1; tick <= c.ticks; ++tick) {
        const auto before = net().sentCount;
        net().Timer1Timer();
        if (net().sentCount != before)
            sentOn.push_back(tick);
    }
    EXPECT_EQ(sentOn, c.heartbeatTicks);
    EXPECT_EQ(counters(), "counters " + std::to_string(c.heartbeatTicks.size() + 1) + " 0 0 0");
}

INSTANTIATE_TEST_SUITE_P(Cases, NetworkFrequency,
                         testing::Values(FreqCase{"Five", "5", 12, {5, 10}},
                                         FreqCase{"One", "1", 3, {1, 2, 3}},
                                         FreqCase{"ZeroWrapsTo65536", "0", 65536, {65536}}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(NetworkMonitorTest, PortAboveSixteenBitsUsesItsLowSixteenBitsBothWays) {
    build(netSettings(65536u + port));
    agent().startHeartbeat();
    EXPECT_EQ(net().thePort, 65536 + port);
    EXPECT_EQ(agent().UDPServer.DefaultPort(), port);
    EXPECT_TRUE(f->boxes.errors.empty());
    ASSERT_TRUE(waitOnWire("NorvaHB", 1));
    EXPECT_EQ(wire[0].peerPort, port);
    EXPECT_EQ(wire[0].localPort, port);
}

TEST_F(NetworkMonitorTest, Port70000IsKeptWholeAndBindsItsLowBits) {
    // The address does not resolve, so nothing is bound or sent to the fixed port 4464;
    // the fields are set before the send.
    build(netSettings(70000, "5", "3", "127.0.0.1"));
    agent().MyIni.file().WriteString("Setup", "IPAddr", "no-such-host.invalid");
    norva::RunGuarded(f->boxes, [&] { agent().control.StartSending(); });
    EXPECT_EQ(net().thePort, 70000);
    EXPECT_EQ(agent().UDPServer.DefaultPort(), 4464);
    EXPECT_EQ(f->boxes.errors.size(), 1u);
}

TEST_F(NetworkMonitorTest, FailedSendIsReportedNeverCountedOrWatchedAndTheTickGoesOn) {
    build(netSettings(port, "1"));
    agent().MyIni.file().WriteString("Setup", "IPAddr", "no-such-host.invalid");
    norva::RunGuarded(f->boxes, [&] { agent().control.StartSending(); });
    ASSERT_EQ(f->boxes.errors.size(), 1u);
    EXPECT_EQ(f->boxes.errors[0].rfind("Socket Error # ", 0), 0u) << f->boxes.errors[0];
    EXPECT_TRUE(net().Timer1.isActive()) << "enabled before the first send";
    EXPECT_FALSE(net().Timer2.isActive());
    EXPECT_EQ(net().sentCount, 0u);
    EXPECT_EQ(counters(), "") << "nothing counted, so the window's counters keep their 0";
    EXPECT_EQ(f->log.last("status "), "status Stopped") << "the start ended before showing OK";
    EXPECT_EQ(f->log.last("icon "), "icon 2");

    // Each later tick that sends fails the same way: one more box, still nothing counted.
    norva::RunGuarded(f->boxes, [&] { net().Timer1Timer(); });
    EXPECT_EQ(f->boxes.errors.size(), 2u);
    EXPECT_EQ(net().sentCount, 0u);
    EXPECT_FALSE(net().Timer2.isActive());
    EXPECT_EQ(net().missedCount, 0u);
    // Both failures count toward the alert (FailCount 3), as misses would.
    EXPECT_EQ(net().FailCntr, 1u);
    EXPECT_EQ(f->boxes.beeps, 0);
    EXPECT_EQ(f->log.count("alert "), 0u);
}

TEST_F(NetworkMonitorTest, EmptySettingStartsNothing) {
    build(netSettings(port, ""));
    agent().control.StartSending();
    EXPECT_FALSE(net().Timer1.isActive());
    EXPECT_EQ(net().sentCount, 0u);
    EXPECT_EQ(net().thePort, 0);
}

TEST_F(NetworkMonitorTest, NotANumberFailsBeforeTheTickStarts) {
    build(netSettings(port, "5", "x3"));
    norva::RunGuarded(f->boxes, [&] { agent().control.StartSending(); });
    ASSERT_EQ(f->boxes.errors.size(), 1u);
    EXPECT_EQ(f->boxes.errors[0], "''x3'' is not a valid integer value.");
    EXPECT_FALSE(net().Timer1.isActive());
    EXPECT_EQ(net().sentCount, 0u);
}

// Answers played while in the failure state, right after a heartbeat.
struct AnswerCase {
    const char* name;
    const char* text;
    bool statusInTray;
    bool good; // draws the good state
    bool nak;  // counted as a negative answer
};

class NetworkAnswer : public NetHarness, public testing::TestWithParam<AnswerCase> {};

TEST_P(NetworkAnswer, AnyDatagramEndsTheWaitOnlyTheExactAckDrawsTheGoodState) {
    const auto& c = GetParam();
    build(netSettings(port, "1", "1"));
    agent().startHeartbeat();
    f->pages.tray = c.statusInTray;
    net().Timer2Timer();
    expectFailDisplay();
    net().Timer1Timer();
    ASSERT_TRUE(net().Timer2.isActive());

    net().UDPServerUDPRead(bytes(c.text));
    EXPECT_FALSE(net().Timer2.isActive());
    EXPECT_EQ(net().rcvdCount, 1u);
    EXPECT_EQ(net().badCount, c.nak ? 1u : 0u);
    EXPECT_EQ(counters(), std::string("counters 2 1 ") + (c.nak ? "1" : "0") + " 1");
    EXPECT_EQ(net().missedCount, 1u) << "the answered heartbeat is not a miss";
    if (c.good)
        expectGoodDisplay(c.statusInTray);
    else
        expectFailDisplay();
    EXPECT_TRUE(f->power.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkAnswer,
    testing::Values(AnswerCase{"Ack", "NorvaACK", true, true, false},
                    AnswerCase{"AckWithoutStatusInTray", "NorvaACK", false, true, false},
                    AnswerCase{"AckWithNewline", "NorvaACK\n", true, false, false},
                    AnswerCase{"LowerCaseAck", "norvaack", true, false, false},
                    AnswerCase{"Nak", "NorvaNAK", true, false, true},
                    AnswerCase{"OwnHeartbeat", "NorvaHB", true, false, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(NetworkMonitorTest, LateAckAfterStopStillDrawsTheGoodState) {
    build(netSettings(port, "5", "1"));
    agent().startHeartbeat();
    net().Timer2Timer();
    expectFailDisplay();
    agent().stopHeartbeat();
    EXPECT_EQ(f->log.last("status "), "status Stopped");
    EXPECT_TRUE(agent().status.failed) << "a stop leaves the failure flag";

    net().UDPServerUDPRead(bytes("NorvaACK"));
    expectGoodDisplay(true);
    EXPECT_FALSE(net().Timer1.isActive()) << "the answer does not restart the heartbeat";
}

struct MessageCase {
    const char* name;
    const char* message;
    const char* caption;
    const char* reply;
};

class NetworkDeviceMessage : public NetHarness, public testing::TestWithParam<MessageCase> {};

TEST_P(NetworkDeviceMessage, SetsTheCaptionRepliesToTheConfiguredPortAndPowersNothing) {
    const auto& c = GetParam();
    build(netSettings(port));
    agent().startHeartbeat();
    ASSERT_TRUE(waitOnWire("NorvaHB", 1));
    std::vector<QString> captions;
    QObject::connect(&net(), &norva::NetworkMonitor::captionRequested,
                     [&](const QString& caption) { captions.push_back(caption); });

    net().UDPServerUDPRead(bytes(c.message));
    EXPECT_EQ(captions, std::vector<QString>{c.caption}) << "announced once, as a value";
    EXPECT_EQ(f->log.last("caption "), std::string("caption ") + c.caption);
    EXPECT_FALSE(net().Timer2.isActive());
    EXPECT_EQ(net().rcvdCount, 1u);
    ASSERT_TRUE(waitOnWire(c.reply, 1));
    const auto& reply = wire.back();
    EXPECT_EQ(reply.data, c.reply);
    EXPECT_EQ(reply.peerPort, port);
    EXPECT_EQ(reply.localPort, port);
    EXPECT_TRUE(f->power.calls.empty());
    EXPECT_TRUE(f->boxes.errors.empty());
}

// The device waits for its reply; what the program does when it hears of the message (the
// service writes its metrics file, a journal line and bus signals) must not stand in front of
// it. So the reply is on the wire already while the first announcement is being heard.
TEST_P(NetworkDeviceMessage, RepliesBeforeAnyoneHearsOfTheMessage) {
    const auto& c = GetParam();
    build(netSettings(port));
    agent().startHeartbeat();
    ASSERT_TRUE(waitOnWire("NorvaHB", 1));
    std::vector<bool> replyOutWhenHeard;
    const auto heard = [&] {
        // Served inside the listener: the reply comes back to the program's own socket only
        // if it was sent before this announcement.
        replyOutWhenHeard.push_back(f->serveUntil([&] { return onWire(c.reply) > 0; }, 500ms));
    };
    QObject::connect(&net(), &norva::NetworkMonitor::countersChanged, heard);
    QObject::connect(&net(), &norva::NetworkMonitor::captionRequested, heard);

    net().UDPServerUDPRead(bytes(c.message));
    EXPECT_EQ(replyOutWhenHeard, (std::vector<bool>{true, true})) << "counters, then caption";
    EXPECT_EQ(f->log.last("caption "), std::string("caption ") + c.caption);
    ASSERT_TRUE(waitOnWire(c.reply, 1));
    EXPECT_FALSE(f->serveUntil([&] { return onWire(c.reply) > 1; }, 200ms)) << "one reply";
    EXPECT_TRUE(f->boxes.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkDeviceMessage,
    testing::Values(MessageCase{"Shutdown", "NorvaShutdown", "Shutdown", "shutdownACK"},
                    MessageCase{"Restart", "NorvaRestart", "Restart", "restartACK"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(NetworkMonitorTest, ClearStatsZeroesTheFourCountersAndKeepsFailCounter) {
    build(netSettings(port, "1", "5"));
    agent().startHeartbeat();
    net().Timer2Timer();
    net().UDPServerUDPRead(bytes("NorvaNAK"));
    net().ClearStats();
    EXPECT_EQ(net().sentCount + net().rcvdCount + net().missedCount + net().badCount, 0u);
    EXPECT_EQ(counters(), "counters 0 0 0 0");
    EXPECT_EQ(net().FailCntr, 4);
}

// The counters reach the window as announced values: every change is announced with all
// four, in order, and the monitor needs no widget to say them.
TEST_F(NetworkMonitorTest, AnnouncesTheFourCountersOnEverySendAnswerNakMissAndClear) {
    using Counters = std::array<std::uint32_t, 4>; // sent, received, NAK, missed
    build(netSettings(port, "1", "5"));
    std::vector<Counters> heard;
    QObject::connect(
        &net(), &norva::NetworkMonitor::countersChanged,
        [&](std::uint32_t sent, std::uint32_t rcvd, std::uint32_t bad, std::uint32_t missed) {
            heard.push_back({sent, rcvd, bad, missed});
        });

    agent().startHeartbeat(); // the start heartbeat
    net().Timer2Timer();      // its answer never came
    net().UDPServerUDPRead(bytes("NorvaACK"));
    net().UDPServerUDPRead(bytes("NorvaNAK"));
    net().Timer1Timer(); // Freq 1: the next heartbeat
    net().ClearStats();

    // The start clears the counters first; a NAK is received before it is counted bad.
    const std::vector<Counters> expected{{0, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 1}, {1, 1, 0, 1},
                                         {1, 2, 0, 1}, {1, 2, 1, 1}, {2, 2, 1, 1}, {0, 0, 0, 0}};
    EXPECT_EQ(heard, expected);
}

// Only the device may answer: the source of every datagram is compared with "IPAddr" as the
// heartbeat is sent to it. Anything else is dropped before the watchdog, the counters, the
// state and the caption, and is reported by source instead.
struct SourceCase {
    const char* name;
    const char* ipAddr; // the stored device address
    const char* source; // where the datagram came from
    bool device;
};

class NetworkSource : public NetHarness, public testing::TestWithParam<SourceCase> {};

TEST_P(NetworkSource, OnlyTheDeviceAddressAnswersEveryOtherSourceIsDroppedAndReported) {
    const auto& c = GetParam();
    build(netSettings(port, "1", "1", c.ipAddr));
    net().thePort = port; // the device's reply goes back to the harness
    net().Timer2.start(); // a heartbeat awaits its answer
    const std::size_t before = f->log.count("");
    std::vector<QString> captions;
    QObject::connect(&net(), &norva::NetworkMonitor::captionRequested,
                     [&](const QString& caption) { captions.push_back(caption); });

    net().UDPServerUDPRead(bytes("NorvaACK"), c.source);
    net().UDPServerUDPRead(bytes("NorvaNAK"), c.source);
    net().UDPServerUDPRead(bytes("NorvaRestart"), c.source);
    if (c.device) {
        EXPECT_FALSE(net().Timer2.isActive());
        EXPECT_EQ(net().rcvdCount, 3u);
        EXPECT_EQ(net().badCount, 1u);
        expectGoodDisplay(true);
        EXPECT_EQ(captions, std::vector<QString>{"Restart"});
        EXPECT_EQ(f->log.count("foreign "), 0u);
    } else {
        EXPECT_TRUE(net().Timer2.isActive()) << "the wait for the device's answer goes on";
        EXPECT_EQ(net().rcvdCount + net().badCount, 0u);
        EXPECT_FALSE(agent().status.failed);
        EXPECT_TRUE(captions.empty());
        // One report at once, the rest folded into the minute: nothing else was announced.
        EXPECT_EQ(f->log.count(""), before + 1);
        EXPECT_EQ(f->log.last(""), std::string("foreign ") + c.source + " 1");
        EXPECT_TRUE(net().foreignTimer.isActive()) << "the rest of the minute is owed";
    }
    EXPECT_TRUE(f->boxes.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkSource,
    testing::Values(SourceCase{"Device", "127.0.0.1", "127.0.0.1", true},
                    SourceCase{"DeviceIPv4Mapped", "127.0.0.1", "::ffff:127.0.0.1", true},
                    SourceCase{"Localhost", "localhost", "127.0.0.1", true},
                    SourceCase{"OtherHost", "192.168.1.10", "192.168.1.11", false},
                    SourceCase{"OtherLoopback", "127.0.0.1", "127.0.0.2", false},
                    SourceCase{"IPv6Loopback", "127.0.0.1", "::1", false},
                    SourceCase{"OtherMapped", "192.168.1.10", "::ffff:10.0.0.9", false},
                    SourceCase{"HostNameMatchesNone", "norva.invalid", "192.168.1.10", false},
                    SourceCase{"EmptyAddress", "", "0.0.0.0", false}),
    [](const auto& p) { return std::string(p.param.name); });

// A spoofer that answers every heartbeat with "NorvaACK" does not hide a silent device.
TEST_F(NetworkMonitorTest, SpoofedAcksDoNotPutOffTheFailureAlert) {
    build(netSettings(port, "1", "3"));
    agent().startHeartbeat();
    for (int miss = 1; miss <= 3; ++miss) {
        net().UDPServerUDPRead(bytes("NorvaACK"), "127.0.0.9");
        ASSERT_TRUE(net().Timer2.isActive());
        net().Timer2Timer();
        if (miss < 3)
            net().Timer1Timer();
    }
    EXPECT_EQ(f->log.count("alert "), 1u);
    expectFailDisplay();
    EXPECT_EQ(counters(), "counters 3 0 0 3");
}

TEST_F(NetworkMonitorTest, ForeignDatagramsAreReportedOncePerSourceAMinute) {
    build(netSettings(port, "5", "3"));
    auto now = norva::ForeignSources::Clock::time_point{} + std::chrono::hours(1);
    net().clock = [&] { return now; };
    const auto from = [&](const char* source, int n) {
        for (int i = 0; i < n; ++i)
            net().UDPServerUDPRead(bytes("NorvaACK"), source);
    };
    from("10.0.0.9", 4);
    from("10.0.0.8", 1);
    EXPECT_EQ(f->log.count("foreign "), 2u);
    EXPECT_TRUE(f->log.contains("foreign 10.0.0.9 1"));
    EXPECT_TRUE(f->log.contains("foreign 10.0.0.8 1"));
    now += 59s;
    from("10.0.0.9", 2);
    net().foreignTimerTimer();
    EXPECT_EQ(f->log.count("foreign "), 2u) << "not within the minute";
    now += 1s;
    net().foreignTimerTimer();
    EXPECT_EQ(f->log.last("foreign "), "foreign 10.0.0.9 5") << "the minute's count";
    EXPECT_EQ(f->log.count("foreign "), 3u) << "10.0.0.8 sent nothing more: no line";
    EXPECT_TRUE(net().foreignTimer.isActive());
    now += 60s;
    net().foreignTimerTimer();
    EXPECT_FALSE(net().foreignTimer.isActive()) << "quiet sources are forgotten";
    from("10.0.0.9", 1);
    EXPECT_EQ(f->log.last("foreign "), "foreign 10.0.0.9 1") << "a new burst is told at once";

    // At the end (the service stopping) what is counted is told at once, not lost.
    from("10.0.0.9", 3);
    from("10.0.0.7", 1);
    const std::size_t told = f->log.count("foreign ");
    net().reportPendingForeign();
    EXPECT_EQ(f->log.count("foreign "), told + 1);
    EXPECT_EQ(f->log.last("foreign "), "foreign 10.0.0.9 3");
    net().reportPendingForeign();
    EXPECT_EQ(f->log.count("foreign "), told + 1) << "nothing told twice";
}

} // namespace
