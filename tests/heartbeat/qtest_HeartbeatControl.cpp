// Heartbeat control: the Start and Stop buttons, what the program resumes at start-up, the
// stored serial port, and the stop-and-restart bracket of Apply. No window: the page's values
// are plain fields, refilled from the stored settings where the window refills its page, and
// what a window would draw is judged by the agent's announcements.
#include "support/AgentFixture.h"
#include "support/FakePageValues.h"
#include "support/FreePort.h"
#include "support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using norva::test::AgentFixture;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using norva::test::PseudoTerminal;

namespace {

std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

// The agent with its heartbeat on loopback: "Port" is free, IPAddr 127.0.0.1, so its datagrams
// come back to its own socket, where a recorder counts them instead of the monitor. COM7 can be
// pinned to a pseudo-terminal or to a missing device. The fixture lengthens the timers so that
// only the test ticks. The page's values are those the stored settings fill in, and Start
// refills them, as the window's page is refilled (`reloads` counts it).
class ControlHarness {
public:
    std::string netSetup(const std::string& fail = "3", const std::string& extra = "") const {
        return "[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=" + std::to_string(port) +
               "\nFreq=5\nFailCount=" + fail + "\n" + extra;
    }

    void create(const std::string& settings) {
        f = std::make_unique<AgentFixture>(settings);
        f->pagesFromFile();
        agent().control.loadSetup = [this] {
            ++reloads;
            f->pagesFromFile();
        };
        agent().UDPServer.OnUDPRead = [this](std::thread::id, const std::vector<std::uint8_t>& d,
                                             const norva::UdpEndpoint::Binding&) {
            wire.emplace_back(d.begin(), d.end());
        };
        // A port without a number asks the user; here nobody picks one.
        agent().myPort.PromptForPort = [this](const std::vector<std::string>&) {
            ++prompts;
            return std::optional<std::uint16_t>();
        };
        agent().myPort.OnTriggerAvail = [this](norva::SerialPort& cp, std::uint16_t count) {
            ++serialEvents;
            agent().serial.myPortTriggerAvail(cp, count);
        };
    }
    void pinCom7(const fs::path& target) {
        fs::create_directories(f->dir / "NorvaHB-ports");
        fs::create_symlink(target, f->dir / "NorvaHB-ports" / "COM7");
    }
    void build(const std::string& settings) {
        create(settings);
        f->startUp();
    }

    norva::Agent& agent() { return *f->agent; }
    norva::test::FakePageValues& page() { return f->pages; }
    norva::NetworkMonitor& net() { return f->agent->network; }
    norva::SerialMonitor& ser() { return f->agent->serial; }

    // The page shows a mode chosen and not applied.
    void choose(bool none, bool network, bool usb) {
        page().none = none;
        page().network = network;
        page().usb = usb;
    }
    std::string status() const { return f->log.last("status "); }
    std::string tray() const { return f->log.last("tray "); }
    // The tray's hint as last set: the latest "tray N hint ..." entry.
    std::string hint() const {
        std::string found;
        for (const std::string& e : f->log.entries())
            if (isHint(e))
                found = e;
        return found;
    }
    static bool isHint(const std::string& e) {
        return e.rfind("tray ", 0) == 0 && e.find(" hint ") == 6;
    }

    std::size_t heartbeatsOnWire() const {
        std::size_t n = 0;
        for (const auto& d : wire)
            n += d == "NorvaHB" ? 1 : 0;
        return n;
    }
    bool waitForHeartbeats(std::size_t n) {
        return f->serveUntil([&] { return heartbeatsOnWire() >= n; }, 5000ms);
    }
    bool anyTimerActive() {
        return net().Timer1.isActive() || net().Timer2.isActive() || ser().comFreq.isActive() ||
               ser().comResp.isActive();
    }
    void expectStoppedDisplay() {
        EXPECT_EQ(f->log.last("icon "), "icon 2");
        EXPECT_EQ(status(), "status Stopped");
    }

    std::uint16_t port = norva::test::FreePort();
    PseudoTerminal pty; // outlives the agent, whose port may have it open
    std::unique_ptr<AgentFixture> f;
    std::vector<std::string> wire;
    int serialEvents = 0;
    int prompts = 0;
    int reloads = 0;
};

class HeartbeatControlTest : public ControlHarness, public testing::Test {};

TEST_F(HeartbeatControlTest, StartInNoneModeClearsAndReloadsButStartsAndWritesNothing) {
    build("[Run]\nIsStarted=1\n[Setup]\nFreq=7\n");
    ASSERT_TRUE(page().none);
    net().sentCount = 4;
    net().badCount = 2;
    ser().comSentCount = 3;
    ser().comMissedCount = 1;
    choose(false, false, true); // chosen on the page, not applied
    const std::string labelBefore = status();

    agent().startHeartbeat();
    EXPECT_EQ(net().sentCount + net().badCount, 0u);
    EXPECT_EQ(ser().comSentCount + ser().comMissedCount, 0u);
    EXPECT_EQ(f->log.last("counters "), "counters 0 0 0 0");
    EXPECT_EQ(f->log.last("usb counters "), "usb counters 0 0 0");
    // The window refills its fields then (tests/app, HeartbeatPage.StartRefillsThePage*).
    EXPECT_EQ(reloads, 1) << "the page was refilled from the settings";
    EXPECT_TRUE(page().none);
    EXPECT_FALSE(anyTimerActive());
    EXPECT_EQ(prompts, 0) << "no serial heartbeat was tried";
    EXPECT_EQ(status(), labelBefore);
    EXPECT_EQ(f->setting("Run", "IsStarted"), "1");
    EXPECT_TRUE(f->boxes.errors.empty());
}

TEST_F(HeartbeatControlTest, StartWhileRunningClearsCountersAndSendsAtOnceInTheStoredMode) {
    build(netSetup());
    agent().startHeartbeat();
    EXPECT_EQ(f->setting("Run", "IsStarted"), "1");
    EXPECT_EQ(net().sentCount, 1u);
    EXPECT_EQ(status(), "status OK");
    // Received before the next start, which closes the endpoint's sockets: a datagram still
    // waiting in a closed socket is lost.
    ASSERT_TRUE(waitForHeartbeats(1));
    net().Timer1Timer();
    net().Timer1Timer();
    net().Timer2Timer();
    net().UDPServerUDPRead(bytes("NorvaNAK"));
    ASSERT_EQ(net().countDown, 3);

    choose(false, false, true); // not applied: the network heartbeat starts again
    agent().startHeartbeat();
    EXPECT_TRUE(page().network);
    EXPECT_FALSE(ser().comFreq.isActive());
    EXPECT_EQ(net().sentCount, 1u) << "cleared, then one heartbeat at once";
    EXPECT_EQ(net().missedCount + net().rcvdCount + net().badCount, 0u);
    EXPECT_EQ(f->log.last("counters "), "counters 1 0 0 0");
    EXPECT_EQ(net().countDown, 5) << "the next heartbeat is a full period away";
    EXPECT_EQ(net().FailCntr, 3) << "the start reloads the fail counter";
    EXPECT_TRUE(net().Timer2.isActive());
    EXPECT_TRUE(waitForHeartbeats(2));
}

TEST_F(HeartbeatControlTest, StartWithAnEmptyPageFieldStartsNothingButStillWritesIsStarted) {
    build(netSetup(""));
    ASSERT_FALSE(page().fieldsFilled) << "the FailCount field is empty";
    agent().startHeartbeat();
    EXPECT_FALSE(anyTimerActive());
    EXPECT_EQ(status(), "status Stopped");
    EXPECT_EQ(f->setting("Run", "IsStarted"), "1");
}

TEST_F(HeartbeatControlTest, StartThatFailsShowsTheErrorAndWritesNothing) {
    build("[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=9x\n");
    norva::RunGuarded(f->boxes, [&] { agent().startHeartbeat(); });
    ASSERT_EQ(f->boxes.errors.size(), 1u);
    EXPECT_EQ(f->boxes.errors[0], "''9x'' is not a valid integer value.");
    EXPECT_EQ(status(), "status Stopped");
    EXPECT_EQ(f->setting("Run", "IsStarted"), "<missing>");
}

struct StopCase {
    const char* name;
    bool statusInTray;
    int picture;
    const char* balloon;
};

class HeartbeatStop : public ControlHarness, public testing::TestWithParam<StopCase> {};

TEST_P(HeartbeatStop, DisablesAllFourTimersShowsStoppedAndKeepsCountersAndFailure) {
    const auto& c = GetParam();
    build(netSetup("1"));
    agent().startHeartbeat();
    net().Timer2Timer(); // the alert
    net().Timer1Timer();
    ser().comFreq.start();
    ser().comResp.start();
    page().tray = c.statusInTray;
    f->log.take();

    agent().stopHeartbeat();
    EXPECT_FALSE(anyTimerActive());
    expectStoppedDisplay();
    EXPECT_EQ(tray(), "tray " + std::to_string(c.picture) + " " + c.balloon);
    EXPECT_EQ(hint(), "") << "the hint is left as it was";
    EXPECT_EQ(f->setting("Run", "IsStarted"), "0");
    EXPECT_TRUE(agent().status.failed);
    EXPECT_EQ(net().sentCount, 1u);
    EXPECT_EQ(net().missedCount, 1u);
    EXPECT_EQ(net().FailCntr, 0);
    EXPECT_TRUE(agent().UDPServer.Active()) << "the endpoint stays bound for late answers";
}

INSTANTIATE_TEST_SUITE_P(Cases, HeartbeatStop,
                         testing::Values(StopCase{"StatusInTray", true, 3,
                                                  "Heartbeat is not running"},
                                         StopCase{"PlainTray", false, 2, "Norva utility"}),
                         [](const auto& p) { return std::string(p.param.name); });

struct ResumeCase {
    const char* name;
    const char* isStarted;
    const char* statusInTray;
    const char* extra; // more settings
    bool running;
    int picture;
    const char* balloon;
    std::size_t errors;
};

class HeartbeatResume : public ControlHarness, public testing::TestWithParam<ResumeCase> {};

TEST_P(HeartbeatResume, StartUpResumesWhatTheUserLastChose) {
    const auto& c = GetParam();
    build("[Run]\nIsStarted=" + std::string(c.isStarted) + "\n" + c.extra +
          netSetup("3", std::string("ShowStatusInTray=") + c.statusInTray + "\n"));
    EXPECT_EQ(f->boxes.errors.size(), c.errors);
    EXPECT_EQ(net().Timer1.isActive(), c.running);
    if (c.running) {
        EXPECT_EQ(net().sentCount, 1u);
        EXPECT_EQ(f->log.last("icon "), "icon 1");
        EXPECT_EQ(status(), "status OK");
        EXPECT_TRUE(waitForHeartbeats(1));
    } else {
        EXPECT_EQ(net().sentCount, 0u);
        expectStoppedDisplay();
        EXPECT_EQ(tray(), "tray " + std::to_string(c.picture) + " " + c.balloon);
    }
    EXPECT_EQ(f->setting("Run", "IsStarted"), c.isStarted) << "start-up writes nothing";
}

// The resume step shows "not running" whatever the tray box says; with the box unticked the
// last step of the start-up replaces it, unless an earlier step (here the restart notice to
// an address that does not resolve) ended the sequence.
INSTANTIATE_TEST_SUITE_P(
    Cases, HeartbeatResume,
    testing::Values(ResumeCase{"Started", "1", "1", "", true, 0, "", 0},
                    ResumeCase{"StoppedStatusInTray", "0", "1", "", false, 3,
                               "Heartbeat is not running", 0},
                    ResumeCase{"StoppedPlainTray", "0", "0", "", false, 2, "Norva utility", 0},
                    ResumeCase{"StoppedPlainTrayStartUpCutShort", "0", "0",
                               "[GracefulRestart]\nSourceIP=no-such-host.invalid\n", false, 3,
                               "Heartbeat is not running", 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HeartbeatControlTest, StoredPortOpensAtStartUpAndTheUsbHeartbeatResumes) {
    create("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=COM7\n");
    pinCom7(pty.slavePath());
    f->startUp();
    EXPECT_TRUE(f->boxes.errors.empty());
    EXPECT_TRUE(agent().myPort.Open());
    EXPECT_EQ(agent().myPort.ComNumber(), 7);
    EXPECT_TRUE(ser().comFreq.isActive());
    EXPECT_EQ(pty.read(7), "NorvaHB");
}

TEST_F(HeartbeatControlTest, StoredPortGoneAtStartUpShowsOneErrorAndTheStoppedDisplay) {
    create("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=COM7\nShowStatusInTray=1\n");
    pinCom7(f->dir / "unplugged");
    f->startUp();
    ASSERT_EQ(f->boxes.errors.size(), 1u);
    EXPECT_EQ(f->boxes.errors[0], "Com7 is no longer available\rPlease select another comport");
    expectStoppedDisplay();
    EXPECT_EQ(tray(), "tray 3 Heartbeat is not running");
    EXPECT_FALSE(agent().myPort.Open());
    EXPECT_EQ(agent().myPort.ComNumber(), 0);
    EXPECT_FALSE(anyTimerActive());
    EXPECT_EQ(ser().comSentCount, 0u);
}

TEST_F(HeartbeatControlTest, PortNameInOtherCaseOpensNothingAndSaysNothing) {
    create("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=com7\n");
    pinCom7(pty.slavePath());
    f->startUp();
    EXPECT_TRUE(f->boxes.errors.empty());
    EXPECT_FALSE(agent().myPort.Open());
    EXPECT_FALSE(ser().comFreq.isActive());
}

TEST_F(HeartbeatControlTest, NetworkFailureCarriesOverToUsbUntilTheFirstSerialReply) {
    create(netSetup("1", "ComPort=COM7\nShowStatusInTray=1\n"));
    pinCom7(pty.slavePath());
    f->startUp();
    ASSERT_TRUE(agent().myPort.Open());
    agent().startHeartbeat();
    net().Timer2Timer();
    ASSERT_TRUE(agent().status.failed);
    ASSERT_EQ(hint(), "tray 1 hint Norva is not responding");

    // The user switches to USB and applies: the heartbeat restarts over the serial port.
    choose(false, false, true);
    f->apply([](norva::SettingsFile& ini) {
        ini.WriteBool("Setup", "Network", false);
        ini.WriteBool("Setup", "USB", true);
    });
    EXPECT_FALSE(net().Timer1.isActive());
    EXPECT_TRUE(ser().comFreq.isActive());
    EXPECT_EQ(pty.read(7), "NorvaHB");
    EXPECT_TRUE(agent().status.failed) << "a start leaves the failure flag";
    EXPECT_EQ(hint(), "tray 1 hint Norva is not responding");

    pty.write("NorvaACK");
    ASSERT_TRUE(f->serveUntil([&] { return serialEvents > 0; }, 5000ms));
    EXPECT_FALSE(agent().status.failed);
    EXPECT_EQ(f->log.last("icon "), "icon 1");
    EXPECT_EQ(status(), "status OK");
    EXPECT_EQ(tray(), "tray 0 hint Norva is responding");
    EXPECT_FALSE(ser().comResp.isActive());
}

TEST_F(HeartbeatControlTest, ApplyWhileRunningRestartsWithTheNewSettingsAndKeepsCounters) {
    build(netSetup());
    agent().startHeartbeat();
    ASSERT_TRUE(waitForHeartbeats(1)); // before the restart closes the endpoint's sockets
    net().Timer2Timer();
    net().Timer1Timer();
    ASSERT_EQ(net().FailCntr, 2);
    f->apply([](norva::SettingsFile& ini) {
        ini.WriteString("Setup", "Freq", "2");
        ini.WriteString("Setup", "FailCount", "4");
    });
    EXPECT_EQ(f->setting("Setup", "Freq"), "2");
    EXPECT_TRUE(net().Timer1.isActive());
    EXPECT_EQ(net().Reload, 2);
    EXPECT_EQ(net().countDown, 2);
    EXPECT_EQ(net().FailCntr, 4) << "the count of misses before an alert starts over";
    EXPECT_EQ(net().sentCount, 2u) << "kept, plus the heartbeat of the restart";
    EXPECT_EQ(net().missedCount, 1u);
    EXPECT_EQ(f->setting("Run", "IsStarted"), "1");
    EXPECT_TRUE(waitForHeartbeats(2));
}

TEST_F(HeartbeatControlTest, ApplyWhileStoppedStartsNothing) {
    build(netSetup());
    f->apply([](norva::SettingsFile& ini) { ini.WriteString("Setup", "Freq", "2"); });
    EXPECT_EQ(f->setting("Setup", "Freq"), "2");
    EXPECT_FALSE(anyTimerActive());
    EXPECT_EQ(net().sentCount, 0u);
    EXPECT_EQ(f->setting("Run", "IsStarted"), "<missing>");
}

TEST_F(HeartbeatControlTest, ApplyWhenTheUserStartedButTheHeartbeatIsNotRunningStartsIt) {
    // "IsStarted" decides, not the timers: a heartbeat that is not running (here stopped by
    // hand) is started by Apply all the same.
    build("[Run]\nIsStarted=1\n" + netSetup());
    net().Timer1.stop();
    net().Timer2.stop();
    f->apply([](norva::SettingsFile&) {});
    EXPECT_TRUE(net().Timer1.isActive());
    EXPECT_EQ(net().sentCount, 2u);
}

// ---- The page's values through PageValues ---------------------------------------------------

struct ModeCase {
    const char* name;
    bool none, network, usb, fieldsFilled;
    bool networkRuns, serialRuns;
    const char* isStarted;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

// A heartbeat control that reads the page through values of its own, on the started agent's
// monitors and port. The agent's page says "None" with an empty field and the opposite tray
// choice, so whatever starts was chosen by the values handed in.
class FromPageValues : public ControlHarness, public testing::TestWithParam<ModeCase> {
protected:
    void SetUp() override {
        build(netSetup());
        choose(true, false, false);
        page().fieldsFilled = false;
    }

    norva::test::FakePageValues values;
    std::optional<norva::HeartbeatControl> control;
    void make() {
        control.emplace(agent().MyIni, agent().status, f->boxes, values, net(), ser(),
                        agent().myPort);
    }
};

TEST_P(FromPageValues, ChooseWhatStartStarts) {
    const ModeCase& c = GetParam();
    values.none = c.none;
    values.network = c.network;
    values.usb = c.usb;
    values.fieldsFilled = c.fieldsFilled;
    make();
    control->Start();
    EXPECT_EQ(net().Timer1.isActive(), c.networkRuns);
    EXPECT_EQ(ser().comFreq.isActive(), c.serialRuns);
    EXPECT_EQ(f->setting("Run", "IsStarted"), c.isStarted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FromPageValues,
    testing::Values(ModeCase{"None", true, false, false, true, false, false, "<missing>"},
                    ModeCase{"Network", false, true, false, true, true, false, "1"},
                    ModeCase{"Usb", false, false, true, true, false, true, "1"},
                    ModeCase{"FieldMissing", false, true, false, false, false, false, "1"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HeartbeatControlTest, StopShowsTheTrayStateThePageValuesChoose) {
    build(netSetup());
    norva::test::FakePageValues values;
    norva::HeartbeatControl control(agent().MyIni, agent().status, f->boxes, values, net(), ser(),
                                    agent().myPort);
    for (const bool inTray : {true, false}) {
        SCOPED_TRACE(inTray ? "status in tray" : "plain tray");
        values.tray = inTray;
        page().tray = !inTray;
        control.StopSending();
        EXPECT_EQ(tray(), inTray ? "tray 3 Heartbeat is not running" : "tray 2 Norva utility");
    }
}

} // namespace

// Sleep and wake. The clocks are made up: `boot` runs ahead of the monotonic clock by the time
// the machine slept, which is all the sleep watch looks at.
class SleepWakeTest : public ControlHarness, public testing::Test {
protected:
    void startWithClocks(const std::string& fail = "3") {
        build(netSetup(fail));
        agent().control.sleepWatch = norva::SleepWatch([this] { return boot; }, [] { return 0; });
        agent().startHeartbeat();
        ASSERT_EQ(net().sentCount, 1u);
    }
    std::int64_t boot = 1000;
};

// Every order in which a sleep can be told and seen: by the login manager before and after,
// by the clocks at a tick or at the answer watchdog, or both, and a wake told twice. Whatever
// the order, the wake sends exactly one heartbeat, counts no miss and raises no alert.
struct WakeOrder {
    const char* name;
    std::vector<std::string>
        steps;        // sleep, wake, jump (the clocks show 10 s slept), tick, watchdog
    bool unannounced; // the wake's line says the clocks found it
};

class SleepWakeOrder : public SleepWakeTest, public testing::WithParamInterface<WakeOrder> {};

TEST_P(SleepWakeOrder, OneHeartbeatAtTheWakeNoMissNoAlert) {
    startWithClocks();
    net().Timer2Timer(); // one miss before the sleep: it stays counted
    const auto fail = net().FailCntr;
    const auto missed = net().missedCount;
    net().SendNetHeartbeat(); // the watchdog armed as the sleep comes
    const auto sent = net().sentCount;
    f->log.take();

    for (const std::string& step : GetParam().steps) {
        if (step == "sleep")
            agent().control.Sleep();
        else if (step == "wake")
            agent().control.Wake();
        else if (step == "jump")
            boot += 10000;
        else if (step == "tick")
            net().Timer1Timer();
        else if (step == "watchdog")
            net().Timer2Timer();
    }

    EXPECT_EQ(net().sentCount, sent + 1) << "one heartbeat at the wake";
    EXPECT_EQ(net().missedCount, missed) << "no miss from the sleep";
    EXPECT_EQ(net().FailCntr, fail);
    EXPECT_EQ(f->log.count("alert "), 0u);
    EXPECT_EQ(f->log.count("sleep woke"), 1u);
    EXPECT_EQ(f->log.count("sleep woke unannounced"), GetParam().unannounced ? 1u : 0u);
    EXPECT_FALSE(agent().control.sleeping());
    EXPECT_EQ(agent().state().state, norva::HeartbeatState::Responding);
    EXPECT_EQ(status(), "status OK");
    EXPECT_TRUE(net().Timer1.isActive());
    EXPECT_TRUE(net().Timer2.isActive()) << "the wake's heartbeat waits for its answer";
    EXPECT_EQ(net().countDown, net().Reload) << "the next heartbeat a full period later";

    // What follows is the ordinary heartbeat: no second burst from the same sleep.
    net().Timer1Timer();
    net().Timer1Timer();
    agent().control.Wake();
    EXPECT_EQ(net().sentCount, sent + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, SleepWakeOrder,
    testing::Values(WakeOrder{"SleepThenWake", {"sleep", "tick", "tick", "wake"}, false},
                    WakeOrder{"SleepJumpThenWake", {"sleep", "jump", "wake"}, false},
                    WakeOrder{"SleepJumpTickThenWake", {"sleep", "jump", "tick", "wake"}, false},
                    WakeOrder{"SleepWithoutWakeSeenAtTheTick", {"sleep", "jump", "tick"}, false},
                    WakeOrder{"WakeToldTwice", {"sleep", "jump", "wake", "wake"}, false},
                    WakeOrder{"UnannouncedSeenAtTheTick", {"jump", "tick", "wake"}, true},
                    WakeOrder{"UnannouncedSeenByTheWatchdog", {"jump", "watchdog"}, true}),
    [](const testing::TestParamInfo<WakeOrder>& p) { return std::string(p.param.name); });

TEST_F(SleepWakeTest, AsleepNothingIsSentOrMissedAndTheStateSaysSleeping) {
    startWithClocks();
    ASSERT_TRUE(net().Timer2.isActive());
    agent().control.Sleep();
    EXPECT_TRUE(agent().control.sleeping());
    EXPECT_FALSE(net().Timer2.isActive()) << "the answer watchdog is disarmed";
    EXPECT_EQ(status(), "status sleeping");
    EXPECT_EQ(f->log.count("sleep sleeping"), 1u);
    EXPECT_EQ(agent().state().state, norva::HeartbeatState::Sleeping);
    for (int i = 0; i < 12; ++i)
        net().Timer1Timer();
    net().Timer2Timer(); // a watchdog that fires late anyway
    EXPECT_EQ(net().sentCount, 1u);
    EXPECT_EQ(net().missedCount, 0u);
    EXPECT_EQ(f->log.count("alert "), 0u);
    agent().control.Sleep(); // told twice: one line
    EXPECT_EQ(f->log.count("sleep sleeping"), 1u);
}

TEST_F(SleepWakeTest, AStopWhileAsleepStopsAndAStoppedHeartbeatNeitherSleepsNorWakes) {
    startWithClocks();
    agent().control.Sleep();
    agent().stopHeartbeat();
    EXPECT_FALSE(agent().control.sleeping());
    EXPECT_EQ(agent().state().state, norva::HeartbeatState::Stopped);
    agent().control.Sleep();
    boot += 10000;
    agent().control.Wake();
    EXPECT_FALSE(agent().control.sleeping());
    EXPECT_EQ(net().sentCount, 1u);
    EXPECT_EQ(f->log.count("sleep "), 1u) << "only the first sleep was said";
    expectStoppedDisplay();
}

TEST_F(SleepWakeTest, ClocksDriftingTwoSecondsOrLessAreNoSleep) {
    startWithClocks();
    boot += 2000;
    net().Timer1Timer();
    net().Timer2Timer();
    EXPECT_EQ(net().missedCount, 1u) << "an ordinary miss";
    EXPECT_EQ(net().sentCount, 1u);
    EXPECT_EQ(f->log.count("sleep "), 0u);
    boot += 2001;
    net().Timer1Timer();
    EXPECT_EQ(net().sentCount, 2u);
    EXPECT_EQ(f->log.last("sleep "), "sleep woke unannounced 2 s");
}

TEST_F(SleepWakeTest, AFailureBeforeTheSleepStaysAndTheCountToTheAlertGoesOn) {
    startWithClocks("2");
    net().Timer2Timer();
    ASSERT_EQ(net().FailCntr, 1);
    agent().control.Sleep();
    agent().control.Wake();
    EXPECT_EQ(net().FailCntr, 1);
    net().Timer2Timer(); // the wake's heartbeat goes unanswered: the alert, as without a sleep
    EXPECT_EQ(f->log.count("alert "), 1u);
}

TEST_F(SleepWakeTest, TheSerialHeartbeatPausesAndResumesAsTheNetworkOneDoes) {
    create("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=COM7\ncomFreq=2\n");
    pinCom7(pty.slavePath());
    agent().control.sleepWatch = norva::SleepWatch([this] { return boot; }, [] { return 0; });
    f->startUp();
    ASSERT_EQ(pty.read(7), "NorvaHB");
    ASSERT_TRUE(ser().comResp.isActive());

    agent().control.Sleep();
    EXPECT_FALSE(ser().comResp.isActive()) << "the answer watchdog is disarmed";
    for (int i = 0; i < 6; ++i)
        ser().comFreqTimer();
    ser().comRespTimer();
    EXPECT_EQ(ser().comSentCount, 1u) << "nothing written while asleep";
    EXPECT_EQ(ser().comMissedCount, 0u);

    boot += 30000; // hibernation: no wake is told, the clocks show it at the next tick
    ser().comFreqTimer();
    EXPECT_EQ(ser().comSentCount, 2u);
    EXPECT_EQ(pty.read(7), "NorvaHB");
    EXPECT_EQ(ser().comCountDown, 2) << "the next heartbeat a full period later";
    agent().control.Wake(); // told late: no second heartbeat
    EXPECT_EQ(ser().comSentCount, 2u);
    EXPECT_EQ(ser().comMissedCount, 0u);
    EXPECT_EQ(f->log.count("sleep woke"), 1u);
}
