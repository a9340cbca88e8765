// The serial heartbeat monitor on a pseudo-terminal pinned as COM7: heartbeats written, the
// ways an answer may arrive, the failure state, the settings it reads, and writes that fail.
#include "support/FormFixture.h"
#include "support/PseudoTerminal.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
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

using norva::test::FormFixture;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using norva::test::PseudoTerminal;

using norva::test::visible;

namespace {

std::string usbSettings(const std::string& extra = "") {
    return "[Setup]\nUSB=1\nComPort=COM7\nShowStatusInTray=1\n" + extra;
}

// The application with COM7 pinned to `target` (the pseudo-terminal unless told otherwise).
// The timers are lengthened so that only the test ticks, and a recorder in front of the
// data-available handler keeps the Count of every event.
class SerialHarness {
public:
    void build(const std::string& settings, std::optional<fs::path> target = std::nullopt) {
        f = std::make_unique<FormFixture>(settings);
        fs::create_directories(f->dir / "NorvaHB-ports");
        fs::create_symlink(target.value_or(fs::path(pty.slavePath())),
                           f->dir / "NorvaHB-ports" / "COM7");
        ser().comFreq.setInterval(1h);
        ser().comResp.setInterval(1h);
        // Never the real port prompt: it is a modal dialog.
        f->form->agent.myPort.PromptForPort = [](const std::vector<std::string>&) {
            return std::optional<std::uint16_t>();
        };
        f->form->agent.myPort.OnTriggerAvail = [this](norva::SerialPort& cp, std::uint16_t count) {
            counts.push_back(count);
            ser().myPortTriggerAvail(cp, count);
        };
        f->start();
    }

    norva::SerialMonitor& ser() { return f->form->agent.serial; }
    norva::TForm1Ui& ui() { return f->form->ui; }

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

    PseudoTerminal pty; // outlives the form, whose port has it open
    std::unique_ptr<FormFixture> f;
    std::vector<std::uint16_t> counts;
};

class SerialMonitorTest : public SerialHarness, public testing::Test {};

TEST(SerialMonitorTimers, TickEverySecondWatchdogHalfASecondBothIdleAtCreation) {
    FormFixture f;
    EXPECT_EQ(f.form->agent.serial.comFreq.interval(), 1000);
    EXPECT_EQ(f.form->agent.serial.comResp.interval(), 500);
    EXPECT_FALSE(f.form->agent.serial.comFreq.isActive());
    EXPECT_FALSE(f.form->agent.serial.comResp.isActive());
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
    ASSERT_TRUE(f->form->agent.myPort.Open());
    f->form->agent.control.Button2Click();
    expectHeartbeats(1);
    ASSERT_TRUE(ser().comResp.isActive());
    std::uint32_t misses = 0;
    if (c.failedBefore) {
        ser().comRespTimer();
        ++misses;
        ASSERT_TRUE(f->form->agent.status.failed);
        ASSERT_EQ(ui().Label1->text(), "Fail");
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
    EXPECT_EQ(ui().comRcvd->text(), QString::number(c.received));
    EXPECT_EQ(ser().comResp.isActive(), !c.watchdogStopped);
    if (c.failedBefore) {
        EXPECT_FALSE(f->form->agent.status.failed);
        EXPECT_TRUE(visible(ui().Image2));
        EXPECT_EQ(ui().Label1->text(), "OK");
        EXPECT_EQ(f->form->tray.iconIndex(), 0);
        EXPECT_EQ(f->form->tray.hint(), "Norva is responding");
    }
    if (ser().comResp.isActive()) {
        ser().comRespTimer();
        ++misses;
    }
    EXPECT_EQ(ser().comMissedCount, misses);
    EXPECT_EQ(ui().comMissed->text(), QString::number(misses));
    // comFail 1: the alert comes with the first miss and not with a later one.
    EXPECT_EQ(f->boxes.errors.size(), misses > 0 ? 1u : 0u);
    EXPECT_EQ(ui().Label13->text(), "0") << "the USB panel has no NAK count";
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
    ASSERT_EQ(ui().Label1->text(), "Stopped");
    ASSERT_TRUE(answer("NorvaACK", 8));
    EXPECT_EQ(ser().comrcvdCount, 1u);
    EXPECT_EQ(ui().Label1->text(), "Stopped");
    EXPECT_TRUE(visible(ui().Image3));
    EXPECT_EQ(f->form->tray.iconIndex(), 3);
}

TEST_F(SerialMonitorTest, AlertAfterComFailMissesSaysUsbInTheBalloon) {
    build(usbSettings("comFreq=1\ncomFail=2\n"));
    f->form->agent.control.Button2Click();
    f->form->Minimizetotray1Click();
    f->form->view.useBalloon = true;
    ser().comRespTimer();
    EXPECT_FALSE(f->form->agent.status.failed);
    ser().comFreqTimer();
    ser().comRespTimer();
    EXPECT_TRUE(f->form->agent.status.failed);
    EXPECT_TRUE(visible(ui().Image1));
    EXPECT_EQ(ui().Label1->text(), "Fail");
    EXPECT_EQ(f->form->tray.iconIndex(), 1);
    EXPECT_EQ(f->form->tray.hint(), "Norva is not responding");
    EXPECT_EQ(f->form->tray.balloonsShown(), 1);
    EXPECT_EQ(f->form->tray.balloonText(), "Your Norva is not responding to the Heartbeat (USB)");
    EXPECT_EQ(f->form->tray.balloonTitle(), "No Response");
    EXPECT_TRUE(f->boxes.errors.empty());
    EXPECT_EQ(f->boxes.beeps, 0);
    ser().comFreqTimer();
    ser().comRespTimer();
    EXPECT_EQ(f->form->tray.balloonsShown(), 1) << "no second alert";
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
    f->form->agent.control.Button2Click();
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
    norva::RunGuarded(f->boxes, [&] { f->form->agent.control.StartSending(); });
    ASSERT_EQ(f->boxes.errors.size(), 1u);
    EXPECT_EQ(f->boxes.errors[0], "''five'' is not a valid integer value.");
    EXPECT_FALSE(ser().comFreq.isActive());
    EXPECT_EQ(ser().comSentCount, 0u);
}

TEST_F(SerialMonitorTest, ComClearStatsZeroesTheThreeCountersAndKeepsFailCounter) {
    build(usbSettings("comFail=5\n"));
    f->form->agent.control.Button2Click();
    ser().comRespTimer();
    ASSERT_TRUE(answer("NorvaACK", 8));
    ser().ComClearStats();
    EXPECT_EQ(ser().comSentCount + ser().comrcvdCount + ser().comMissedCount, 0u);
    for (auto* label : {ui().comSent, ui().comRcvd, ui().comMissed})
        EXPECT_EQ(label->text(), "0");
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

    f->form->agent.control.Button2Click(); // the start heartbeat
    ser().comRespTimer();                  // its answer never came
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
        f->form->agent.myPort.setComNumber(7);
    } else {
        // Resumed at start-up only when the port is open, which it is not.
        build("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=None\ncomFail=2\n");
        EXPECT_FALSE(ser().comFreq.isActive());
    }
    f->form->agent.myPort.PromptForPort = [&](const std::vector<std::string>&) {
        ++prompts;
        return std::optional<std::uint16_t>();
    };

    f->form->agent.control.Button2Click();
    EXPECT_FALSE(f->form->agent.myPort.Open());
    EXPECT_TRUE(ser().comFreq.isActive());
    EXPECT_EQ(ser().comSentCount, 1u);
    EXPECT_EQ(ui().comSent->text(), "1");
    EXPECT_TRUE(ser().comResp.isActive());
    EXPECT_EQ(ui().Label1->text(), "OK");
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
