// The serial heartbeat monitor on a pseudo-terminal pinned as COM7: heartbeats written, the
// ways an answer may arrive, the failure state, the settings it reads, and writes that fail.
// No window: what a window would draw is judged by the agent's announcements.
#include "support/AgentFixture.h"
#include "support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

using norva::test::AgentFixture;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using norva::test::PseudoTerminal;

namespace {

std::string usbSettings(const std::string& extra = "") {
    return "[Setup]\nUSB=1\nComPort=COM7\nShowStatusInTray=1\n" + extra;
}

// The agent with COM7 pinned to `target` (the pseudo-terminal unless told otherwise), the page
// in USB mode with "Show Status In Tray". The fixture lengthens the timers so that only the
// test ticks, and a recorder in front of the data-available handler keeps the Count of every
// event.
class SerialHarness {
public:
    void build(const std::string& settings, std::optional<fs::path> target = std::nullopt) {
        f = std::make_unique<AgentFixture>(settings);
        f->pages.none = false;
        f->pages.usb = true;
        f->pages.tray = true;
        fs::create_directories(f->dir / "NorvaHB-ports");
        fs::create_symlink(target.value_or(fs::path(pty.slavePath())),
                           f->dir / "NorvaHB-ports" / "COM7");
        // Never the real port prompt: it is a modal dialog.
        agent().myPort.PromptForPort = [](const std::vector<std::string>&) {
            return std::optional<std::uint16_t>();
        };
        agent().myPort.OnTriggerAvail = [this](norva::SerialPort& cp, std::uint16_t count) {
            counts.push_back(count);
            ser().myPortTriggerAvail(cp, count);
        };
        f->startUp();
    }

    norva::SerialMonitor& ser() { return f->agent->serial; }
    norva::Agent& agent() { return *f->agent; }
    // The counters as last announced: "usb counters sent received missed".
    std::string counters() const { return f->log.last("usb counters "); }

    // Plays bytes of the device and serves the port's events until one with `count` came.
    bool answer(const std::string& bytes, std::uint16_t count) {
        const auto before = counts.size();
        pty.write(bytes);
        return f->serveUntil([&] { return counts.size() > before && counts.back() == count; },
                             5000ms);
    }

    void expectHeartbeats(std::size_t n) { EXPECT_EQ(pty.read(7 * n), repeat("NorvaHB", n)); }
    static std::string repeat(const std::string& s, std::size_t n) {
        std::string out;
        while (n-- > 0)
            out += s;
        return out;
    }

    PseudoTerminal pty; // outlives the agent, whose port has it open
    std::unique_ptr<AgentFixture> f;
    std::vector<std::uint16_t> counts;
};

class SerialMonitorTest : public SerialHarness, public testing::Test {};

TEST(SerialMonitorTimers, TickEverySecondWatchdogHalfASecondBothIdleAtCreation) {
    norva::test::TempDir dir;
    norva::test::FakePageValues pages;
    norva::test::ScriptedMessageBoxes boxes;
    norva::test::RecordingPowerBackend power;
    norva::Agent agent(dir.path(), 0, pages, boxes, power);
    EXPECT_EQ(agent.serial.comFreq.interval(), 1000);
    EXPECT_EQ(agent.serial.comResp.interval(), 500);
    EXPECT_FALSE(agent.serial.comFreq.isActive());
    EXPECT_FALSE(agent.serial.comResp.isActive());
    agent.Stop();
}

// What the device sends after a heartbeat, in pieces, and what the monitor makes of it.
struct ReplyCase {
    const char* name;
    bool failedBefore; // the failure alert came with the previous heartbeat
    std::vector<std::string> pieces;
    std::vector<std::uint16_t> counts; // Count of the event each piece brings
    std::uint32_t received;
    bool watchdogStopped;
};

class SerialReply : public SerialHarness, public testing::TestWithParam<ReplyCase> {};

TEST_P(SerialReply, OnlyAnExactAckEndsTheWaitAnyEightBytesEndTheFailure) {
    const auto& c = GetParam();
    build(usbSettings("comFreq=1\ncomFail=1\n"));
    ASSERT_TRUE(agent().myPort.Open());
    agent().startHeartbeat();
    expectHeartbeats(1);
    ASSERT_TRUE(ser().comResp.isActive());
    std::uint32_t misses = 0;
    if (c.failedBefore) {
        ser().comRespTimer();
        ++misses;
        ASSERT_TRUE(agent().status.failed);
        ASSERT_EQ(f->log.last("status "), "status Fail");
        ser().comFreqTimer();
        expectHeartbeats(1);
    }

    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
        ASSERT_TRUE(answer(c.pieces[i], c.counts[i])) << "piece " << i;
        if (i + 1 < c.pieces.size()) {
            EXPECT_EQ(ser().comrcvdCount, 0u) << "too short to be read";
            EXPECT_TRUE(ser().comResp.isActive());
        }
    }
    EXPECT_EQ(counts, c.counts);
    EXPECT_EQ(ser().comrcvdCount, c.received);
    EXPECT_EQ(ser().comResp.isActive(), !c.watchdogStopped);
    if (c.failedBefore) {
        EXPECT_FALSE(agent().status.failed);
        EXPECT_EQ(f->log.last("icon "), "icon 1");
        EXPECT_EQ(f->log.last("status "), "status OK");
        EXPECT_EQ(f->log.last("tray "), "tray 0 hint Norva is responding");
    }
    if (ser().comResp.isActive()) {
        ser().comRespTimer();
        ++misses;
    }
    EXPECT_EQ(ser().comMissedCount, misses);
    EXPECT_EQ(counters(), "usb counters " + std::to_string(ser().comSentCount) + " " +
                              std::to_string(c.received) + " " + std::to_string(misses));
    // comFail 1: the alert comes with the first miss and not with a later one.
    EXPECT_EQ(f->log.count("alert "), misses > 0 ? 1u : 0u);
    // The USB panel has no NAK count: the serial counters are three, and the network's stay
    // as the start cleared them.
    EXPECT_EQ(f->log.last("counters "), "counters 0 0 0 0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialReply,
    testing::Values(ReplyCase{"WholeAck", false, {"NorvaACK"}, {8}, 1, true},
                    ReplyCase{"AckInTwoPieces", false, {"Norv", "aACK"}, {4, 8}, 1, true},
                    ReplyCase{"AckWithCrLf", false, {"NorvaACK\r\n"}, {10}, 1, false},
                    ReplyCase{"ShortAnswerIsNeverRead", false, {"NorvaAC"}, {7}, 0, false},
                    ReplyCase{"NakIsJustEightBytes", false, {"NorvaNAK"}, {8}, 1, false},
                    ReplyCase{"OtherBytesWhileFailed", true, {"ABCDEFGH"}, {8}, 1, false},
                    ReplyCase{"AckWhileFailed", true, {"NorvaACK"}, {8}, 1, true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(SerialMonitorTest, EightBytesWhileNotFailedLeaveTheDisplayAlone) {
    build(usbSettings());
    // Stopped at start-up; the port is open and its handler runs all the same.
    ASSERT_EQ(f->log.last("status "), "status Stopped");
    ASSERT_TRUE(answer("NorvaACK", 8));
    EXPECT_EQ(ser().comrcvdCount, 1u);
    EXPECT_EQ(f->log.last("status "), "status Stopped");
    EXPECT_EQ(f->log.last("icon "), "icon 2");
    EXPECT_EQ(f->log.last("tray "), "tray 3 Heartbeat is not running");
}

// Whether the alert becomes a balloon (titled "No Response") or a box is the window's to draw
// (tests/app, NoResponseAlert); here, what it is told.
TEST_F(SerialMonitorTest, AlertAfterComFailMissesSaysUsbInTheBalloon) {
    build(usbSettings("comFreq=1\ncomFail=2\n"));
    agent().startHeartbeat();
    ser().comRespTimer();
    EXPECT_FALSE(agent().status.failed);
    ser().comFreqTimer();
    ser().comRespTimer();
    EXPECT_TRUE(agent().status.failed);
    EXPECT_EQ(f->log.last("icon "), "icon 0");
    EXPECT_EQ(f->log.last("status "), "status Fail");
    EXPECT_EQ(f->log.last("tray "), "tray 1 hint Norva is not responding");
    EXPECT_EQ(f->log.count("alert "), 1u);
    EXPECT_EQ(f->log.last("alert "), "alert Your Norva is not responding to the Heartbeat (USB)");
    EXPECT_TRUE(f->boxes.errors.empty());
    EXPECT_EQ(f->boxes.beeps, 0);
    ser().comFreqTimer();
    ser().comRespTimer();
    EXPECT_EQ(f->log.count("alert "), 1u) << "no second alert";
    EXPECT_EQ(ser().comFailCntr, 65535);
    expectHeartbeats(3);
}

struct ComFreqCase {
    const char* name;
    const char* extra; // settings besides the mode and port
    std::uint32_t ticks;
    std::vector<std::uint32_t> heartbeatTicks;
    std::uint16_t failCntr;
};

class SerialFrequency : public SerialHarness, public testing::TestWithParam<ComFreqCase> {};

TEST_P(SerialFrequency, ReadsOnlyComFreqAndComFail) {
    const auto& c = GetParam();
    build(usbSettings(c.extra));
    agent().startHeartbeat();
    ASSERT_EQ(ser().comSentCount, 1u) << "the first heartbeat goes out at once";
    EXPECT_EQ(ser().comFailCntr, c.failCntr);
    std::vector<std::uint32_t> sentOn;
    for (std::uint32_t tick = 1; tick <= c.ticks; ++tick) {
        const auto before = ser().comSentCount;
        ser().comFreqTimer();
        if (ser().comSentCount != before)
            sentOn.push_back(tick);
    }
    EXPECT_EQ(sentOn, c.heartbeatTicks);
    expectHeartbeats(c.heartbeatTicks.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialFrequency,
    testing::Values(
        ComFreqCase{
            "AbsentKeysDefaultEvenWithPageFreq10", "Freq=10\nFailCount=7\n", 12, {5, 10}, 3},
        ComFreqCase{"ComFreqZeroWrapsTo65536", "comFreq=0\ncomFail=4\n", 65536, {65536}, 4}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(SerialMonitorTest, ComFreqNotANumberStartsNothing) {
    build(usbSettings("comFreq=five\n"));
    norva::RunGuarded(f->boxes, [&] { agent().control.StartSending(); });
    ASSERT_EQ(f->boxes.errors.size(), 1u);
    EXPECT_EQ(f->boxes.errors[0], "''five'' is not a valid integer value.");
    EXPECT_FALSE(ser().comFreq.isActive());
    EXPECT_EQ(ser().comSentCount, 0u);
}

TEST_F(SerialMonitorTest, ComClearStatsZeroesTheThreeCountersAndKeepsFailCounter) {
    build(usbSettings("comFail=5\n"));
    agent().startHeartbeat();
    ser().comRespTimer();
    ASSERT_TRUE(answer("NorvaACK", 8));
    ser().ComClearStats();
    EXPECT_EQ(ser().comSentCount + ser().comrcvdCount + ser().comMissedCount, 0u);
    EXPECT_EQ(counters(), "usb counters 0 0 0");
    EXPECT_EQ(ser().comFailCntr, 4);
}

// The counters reach the window as announced values: every change is announced with all
// three, in order, and the monitor needs no widget to say them.
TEST_F(SerialMonitorTest, AnnouncesTheThreeCountersOnEverySendAnswerMissAndClear) {
    using Counters = std::array<std::uint32_t, 3>; // sent, received, missed
    build(usbSettings("comFreq=1\ncomFail=5\n"));
    std::vector<Counters> heard;
    QObject::connect(&ser(), &norva::SerialMonitor::countersChanged,
                     [&](std::uint32_t sent, std::uint32_t rcvd, std::uint32_t missed) {
                         heard.push_back({sent, rcvd, missed});
                     });

    agent().startHeartbeat(); // the start heartbeat
    ser().comRespTimer();     // its answer never came
    ASSERT_TRUE(answer("NorvaACK", 8));
    ASSERT_TRUE(answer("NorvaNAK", 8)); // eight bytes count as received, whatever they say
    ser().comFreqTimer();               // comFreq 1: the next heartbeat
    ser().ComClearStats();

    // The start clears the counters first.
    const std::vector<Counters> expected{{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {1, 1, 1},
                                         {1, 2, 1}, {2, 2, 1}, {0, 0, 0}};
    EXPECT_EQ(heard, expected);
}

// Writes to a port that cannot be opened: the failure is swallowed, and the heartbeat is
// counted and watched, so it turns into a miss.
struct UnopenableCase {
    const char* name;
    bool pinnedToMissingDevice; // else no port number at all, and the prompt picks nothing
};

class SerialUnopenable : public SerialHarness, public testing::TestWithParam<UnopenableCase> {};

TEST_P(SerialUnopenable, WriteFailureIsSwallowedButCountedAndWatched) {
    const auto& c = GetParam();
    int prompts = 0;
    if (c.pinnedToMissingDevice) {
        build("[Setup]\nUSB=1\nComPort=None\ncomFail=2\n", fs::path("/nonexistent/norva-tty"));
        agent().myPort.setComNumber(7);
    } else {
        // Resumed at start-up only when the port is open, which it is not.
        build("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=None\ncomFail=2\n");
        EXPECT_FALSE(ser().comFreq.isActive());
    }
    agent().myPort.PromptForPort = [&](const std::vector<std::string>&) {
        ++prompts;
        return std::optional<std::uint16_t>();
    };

    agent().startHeartbeat();
    EXPECT_FALSE(agent().myPort.Open());
    EXPECT_TRUE(ser().comFreq.isActive());
    EXPECT_EQ(ser().comSentCount, 1u);
    EXPECT_EQ(counters(), "usb counters 1 0 0");
    EXPECT_TRUE(ser().comResp.isActive());
    EXPECT_EQ(f->log.last("status "), "status OK");
    for (int tick = 0; tick < 5; ++tick)
        ser().comFreqTimer();
    EXPECT_EQ(ser().comSentCount, 2u);
    ser().comRespTimer();
    EXPECT_EQ(ser().comMissedCount, 1u);
    EXPECT_EQ(prompts, c.pinnedToMissingDevice ? 0 : 2) << "one prompt per heartbeat";
    EXPECT_TRUE(f->boxes.errors.empty()) << f->boxes.errors.front();
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialUnopenable,
                         testing::Values(UnopenableCase{"PinnedToMissingDevice", true},
                                         UnopenableCase{"NoPortChosen", false}),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
