// Heartbeat control: the Start and Stop buttons, what the program resumes at start-up, the
// stored serial port, and the stop-and-restart bracket of Apply.
#include "support/FakePageValues.h"
#include "support/FormFixture.h"
#include "support/PseudoTerminal.h"
#include "ui/CEditIPAddr.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <termios.h>
#include <unistd.h>
#include <vector>

using norva::test::FormFixture;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using norva::test::PseudoTerminal;

using norva::test::bytes;
using norva::test::visible;

namespace {

// The application with its heartbeat on loopback: "Port" is free, IPAddr 127.0.0.1, so the
// program's datagrams come back to its own socket, where a recorder counts them instead of
// the monitor. COM7 can be pinned to a pseudo-terminal or to a missing device. The timers
// are lengthened so that only the test ticks.
class ControlHarness {
public:
    std::string netSetup(const std::string& fail = "3", const std::string& extra = "") const {
        return "[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=" + std::to_string(port) +
               "\nFreq=5\nFailCount=" + fail + "\n" + extra;
    }

    void create(const std::string& settings) {
        f = std::make_unique<FormFixture>(settings);
        auto& form = *f->form;
        for (QTimer* t : {&form.agent.network.Timer1, &form.agent.network.Timer2,
                          &form.agent.serial.comFreq, &form.agent.serial.comResp})
            t->setInterval(1h);
        form.agent.UDPServer.OnUDPRead = [this](std::thread::id, const std::vector<std::uint8_t>& d,
                                                const norva::UdpEndpoint::Binding&) {
            wire.emplace_back(d.begin(), d.end());
        };
        // A port without a number asks the user; here nobody picks one.
        form.agent.myPort.PromptForPort = [this](const std::vector<std::string>&) {
            ++prompts;
            return std::optional<std::uint16_t>();
        };
        form.agent.myPort.OnTriggerAvail = [this](norva::SerialPort& cp, std::uint16_t count) {
            ++serialEvents;
            f->form->agent.serial.myPortTriggerAvail(cp, count);
        };
    }
    void pinCom7(const fs::path& target) {
        fs::create_directories(f->dir / "NorvaHB-ports");
        fs::create_symlink(target, f->dir / "NorvaHB-ports" / "COM7");
    }
    void build(const std::string& settings) {
        create(settings);
        f->start();
    }

    norva::TForm1& form() { return *f->form; }
    norva::TForm1Ui& ui() { return f->form->ui; }
    norva::NetworkMonitor& net() { return f->form->agent.network; }
    norva::SerialMonitor& ser() { return f->form->agent.serial; }

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
        EXPECT_TRUE(visible(ui().Image3));
        EXPECT_FALSE(visible(ui().Image1));
        EXPECT_FALSE(visible(ui().Image2));
        EXPECT_EQ(ui().Label1->text(), "Stopped");
    }

    std::uint16_t port = norva::test::FreePort();
    PseudoTerminal pty; // outlives the form, whose port may have it open
    std::unique_ptr<FormFixture> f;
    std::vector<std::string> wire;
    int serialEvents = 0;
    int prompts = 0;
};

class HeartbeatControlTest : public ControlHarness, public testing::Test {};

TEST_F(HeartbeatControlTest, StartInNoneModeClearsAndReloadsButStartsAndWritesNothing) {
    build("[Run]\nIsStarted=1\n[Setup]\nFreq=7\n");
    ASSERT_TRUE(ui().noneRB->isChecked());
    net().sentCount = 4;
    net().badCount = 2;
    ser().comSentCount = 3;
    ser().comMissedCount = 1;
    ui().Freq->setText("9"); // typed and chosen on the page, not applied
    ui().usbRB->setChecked(true);
    const QString labelBefore = ui().Label1->text();

    form().agent.control.Button2Click();
    EXPECT_EQ(net().sentCount + net().badCount, 0u);
    EXPECT_EQ(ser().comSentCount + ser().comMissedCount, 0u);
    EXPECT_EQ(ui().Sent->text(), "0");
    EXPECT_EQ(ui().comSent->text(), "0");
    EXPECT_EQ(ui().Freq->text(), "7") << "the page was refilled from the settings";
    EXPECT_TRUE(ui().noneRB->isChecked());
    EXPECT_FALSE(anyTimerActive());
    EXPECT_EQ(prompts, 0) << "no serial heartbeat was tried";
    EXPECT_EQ(ui().Label1->text(), labelBefore);
    EXPECT_EQ(f->setting("Run", "IsStarted"), "1");
    EXPECT_TRUE(f->boxes.errors.empty());
}

TEST_F(HeartbeatControlTest, StartWhileRunningClearsCountersAndSendsAtOnceInTheStoredMode) {
    build(netSetup());
    form().agent.control.Button2Click();
    EXPECT_EQ(f->setting("Run", "IsStarted"), "1");
    EXPECT_EQ(net().sentCount, 1u);
    EXPECT_EQ(ui().Label1->text(), "OK");
    // Received before the next start, which closes the endpoint's sockets: a datagram still
    // waiting in a closed socket is lost.
    ASSERT_TRUE(waitForHeartbeats(1));
    net().Timer1Timer();
    net().Timer1Timer();
    net().Timer2Timer();
    net().UDPServerUDPRead(bytes("NorvaNAK"));
    ASSERT_EQ(net().countDown, 3);

    ui().usbRB->setChecked(true); // not applied: the network heartbeat starts again
    form().agent.control.Button2Click();
    EXPECT_TRUE(ui().networkRB->isChecked());
    EXPECT_FALSE(ser().comFreq.isActive());
    EXPECT_EQ(net().sentCount, 1u) << "cleared, then one heartbeat at once";
    EXPECT_EQ(net().missedCount + net().rcvdCount + net().badCount, 0u);
    EXPECT_EQ(ui().Missed->text(), "0");
    EXPECT_EQ(net().countDown, 5) << "the next heartbeat is a full period away";
    EXPECT_EQ(net().FailCntr, 3) << "the start reloads the fail counter";
    EXPECT_TRUE(net().Timer2.isActive());
    EXPECT_TRUE(waitForHeartbeats(2));
}

TEST_F(HeartbeatControlTest, StartWithAnEmptyPageFieldStartsNothingButStillWritesIsStarted) {
    build(netSetup(""));
    ASSERT_TRUE(ui().Fail->text().isEmpty());
    form().agent.control.Button2Click();
    EXPECT_FALSE(anyTimerActive());
    EXPECT_EQ(ui().Label1->text(), "Stopped");
    EXPECT_EQ(f->setting("Run", "IsStarted"), "1");
}

TEST_F(HeartbeatControlTest, StartThatFailsShowsTheErrorAndWritesNothing) {
    build("[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=9x\n");
    norva::RunGuarded(f->boxes, [&] { form().agent.control.Button2Click(); });
    ASSERT_EQ(f->boxes.errors.size(), 1u);
    EXPECT_EQ(f->boxes.errors[0], "''9x'' is not a valid integer value.");
    EXPECT_EQ(ui().Label1->text(), "Stopped");
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
    form().agent.control.Button2Click();
    net().Timer2Timer(); // the alert
    net().Timer1Timer();
    ser().comFreq.start();
    ser().comResp.start();
    ui().showStatusInTrayCB->setChecked(c.statusInTray);
    const QString hint = form().tray.hint();

    form().agent.control.Button4Click();
    EXPECT_FALSE(anyTimerActive());
    expectStoppedDisplay();
    EXPECT_EQ(form().tray.iconIndex(), c.picture);
    EXPECT_EQ(form().tray.balloonText(), c.balloon);
    EXPECT_EQ(form().tray.hint(), hint) << "the hint is left as it was";
    EXPECT_EQ(f->setting("Run", "IsStarted"), "0");
    EXPECT_TRUE(form().agent.status.failed);
    EXPECT_EQ(net().sentCount, 1u);
    EXPECT_EQ(net().missedCount, 1u);
    EXPECT_EQ(net().FailCntr, 0);
    EXPECT_TRUE(form().agent.UDPServer.Active()) << "the endpoint stays bound for late answers";
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
        EXPECT_TRUE(visible(ui().Image2));
        EXPECT_EQ(ui().Label1->text(), "OK");
        EXPECT_TRUE(waitForHeartbeats(1));
    } else {
        EXPECT_EQ(net().sentCount, 0u);
        expectStoppedDisplay();
        EXPECT_EQ(form().tray.iconIndex(), c.picture);
        EXPECT_EQ(form().tray.balloonText(), c.balloon);
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
    f->start();
    EXPECT_TRUE(f->boxes.errors.empty());
    EXPECT_TRUE(form().agent.myPort.Open());
    EXPECT_EQ(form().agent.myPort.ComNumber(), 7);
    EXPECT_TRUE(ser().comFreq.isActive());
    EXPECT_EQ(pty.read(7), "NorvaHB");
}

TEST_F(HeartbeatControlTest, StoredPortGoneAtStartUpShowsOneErrorAndTheStoppedDisplay) {
    create("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=COM7\nShowStatusInTray=1\n");
    pinCom7(f->dir / "unplugged");
    f->start();
    ASSERT_EQ(f->boxes.errors.size(), 1u);
    EXPECT_EQ(f->boxes.errors[0], "Com7 is no longer available\rPlease select another comport");
    expectStoppedDisplay();
    EXPECT_EQ(form().tray.iconIndex(), 3);
    EXPECT_FALSE(form().agent.myPort.Open());
    EXPECT_EQ(form().agent.myPort.ComNumber(), 0);
    EXPECT_FALSE(anyTimerActive());
    EXPECT_EQ(ser().comSentCount, 0u);
}

TEST_F(HeartbeatControlTest, PortNameInOtherCaseOpensNothingAndSaysNothing) {
    create("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=com7\n");
    pinCom7(pty.slavePath());
    f->start();
    EXPECT_TRUE(f->boxes.errors.empty());
    EXPECT_FALSE(form().agent.myPort.Open());
    EXPECT_FALSE(ser().comFreq.isActive());
}

TEST_F(HeartbeatControlTest, NetworkFailureCarriesOverToUsbUntilTheFirstSerialReply) {
    create(netSetup("1", "ComPort=COM7\nShowStatusInTray=1\n"));
    pinCom7(pty.slavePath());
    f->start();
    ASSERT_TRUE(form().agent.myPort.Open());
    form().agent.control.Button2Click();
    net().Timer2Timer();
    ASSERT_TRUE(form().agent.status.failed);
    ASSERT_EQ(form().tray.hint(), "Norva is not responding");

    // The user switches to USB and applies: the heartbeat restarts over the serial port.
    ui().usbRB->setChecked(true);
    form().pages.Button6Click();
    EXPECT_FALSE(net().Timer1.isActive());
    EXPECT_TRUE(ser().comFreq.isActive());
    EXPECT_EQ(pty.read(7), "NorvaHB");
    EXPECT_TRUE(form().agent.status.failed) << "a start leaves the failure flag";
    EXPECT_EQ(form().tray.hint(), "Norva is not responding");

    pty.write("NorvaACK");
    ASSERT_TRUE(f->serveUntil([&] { return serialEvents > 0; }, 5000ms));
    EXPECT_FALSE(form().agent.status.failed);
    EXPECT_TRUE(visible(ui().Image2));
    EXPECT_EQ(ui().Label1->text(), "OK");
    EXPECT_EQ(form().tray.iconIndex(), 0);
    EXPECT_EQ(form().tray.hint(), "Norva is responding");
    EXPECT_FALSE(ser().comResp.isActive());
}

TEST_F(HeartbeatControlTest, ApplyWhileRunningRestartsWithTheNewSettingsAndKeepsCounters) {
    build(netSetup());
    form().agent.control.Button2Click();
    ASSERT_TRUE(waitForHeartbeats(1)); // before the restart closes the endpoint's sockets
    net().Timer2Timer();
    net().Timer1Timer();
    ASSERT_EQ(net().FailCntr, 2);
    ui().Freq->setText("2");
    ui().Fail->setText("4");

    form().pages.Button6Click();
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
    ui().Freq->setText("2");
    form().pages.Button6Click();
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
    form().pages.Button6Click();
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

// A heartbeat control that reads the page through plain values, on the started program's
// monitors and port. The window's page says "None" with an empty "Port" field and the
// opposite tray choice, so whatever starts was chosen by the values handed in.
class FromPageValues : public ControlHarness, public testing::TestWithParam<ModeCase> {
protected:
    void SetUp() override {
        build(netSetup());
        ui().noneRB->setChecked(true);
        ui().Port->clear();
    }

    norva::test::FakePageValues values;
    std::optional<norva::HeartbeatControl> control;
    void make() {
        control.emplace(form().agent.MyIni, form().agent.status, *form().env.boxes, values, net(),
                        ser(), form().agent.myPort);
    }
};

TEST_P(FromPageValues, ChooseWhatStartStarts) {
    const ModeCase& c = GetParam();
    values.none = c.none;
    values.network = c.network;
    values.usb = c.usb;
    values.fieldsFilled = c.fieldsFilled;
    make();
    control->Button2Click();
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
    norva::HeartbeatControl control(form().agent.MyIni, form().agent.status, *form().env.boxes,
                                    values, net(), ser(), form().agent.myPort);
    for (const bool tray : {true, false}) {
        SCOPED_TRACE(tray ? "status in tray" : "plain tray");
        values.tray = tray;
        ui().showStatusInTrayCB->setChecked(!tray);
        control.StopSending();
        EXPECT_EQ(form().tray.iconIndex(), tray ? 3 : 2);
        EXPECT_EQ(form().tray.balloonText(), tray ? "Heartbeat is not running" : "Norva utility");
    }
}

} // namespace
