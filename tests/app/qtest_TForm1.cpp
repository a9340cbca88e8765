// The application object: start-up sequence, tray states, alerts and closing.
#include "commands/CommandPacket.h"
#include "support/FormFixture.h"
#include "ui/CEditIPAddr.h"
#include "ui/QtMessageBoxes.h"
#include "ui/Twarning.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

using norva::test::FormFixture;

using norva::test::visible;

namespace {

// COM7 pinned to a device that is not there, so the start-up shows
// "Com7 is no longer available".
void PinMissingCom7(const std::filesystem::path& settingsFolder) {
    std::filesystem::create_directories(settingsFolder / "NorvaHB-ports");
    std::filesystem::create_symlink("/nonexistent/norva-test-tty",
                                    settingsFolder / "NorvaHB-ports" / "COM7");
}

// A close before the program's event loop runs ends every event loop of this thread for good
// (Qt keeps a "quit now" flag until its main loop runs). One pass through the application's
// own loop clears it, so the tests after this one can run nested loops again.
struct ClearQuitNowAtEnd {
    ~ClearQuitNowAtEnd() {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();
    }
};

// The device: sends one restart command with the default credentials to the command port
// on loopback and returns the reply bytes it got before the PC closed the connection.
std::vector<std::uint8_t> SendRestart(std::uint16_t port) {
    std::string packet(norva::kCommandPacketSize, '\0');
    packet[0] = static_cast<char>(norva::eCmnd_get);
    packet.replace(1, 5, "Ostra");
    packet.replace(22, 5, "ferno");
    packet[43] = static_cast<char>(norva::kCommandRestart);
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<std::uint8_t> reply;
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::send(s, packet.data(), packet.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(packet.size())) {
        pollfd p{s, POLLIN, 0};
        std::uint8_t buffer[16];
        while (::poll(&p, 1, 5000) == 1) {
            const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            reply.insert(reply.end(), buffer, buffer + n);
        }
    }
    ::close(s);
    return reply;
}

TEST(StartUp, WithoutSettingsFileEverythingTakesItsDefault) {
    FormFixture f;
    f.start();
    auto& ui = f.form->ui;
    EXPECT_TRUE(f.boxes.errors.empty());
    EXPECT_TRUE(ui.noneRB->isChecked());
    EXPECT_EQ(ui.Freq->text(), "5");
    EXPECT_EQ(ui.Fail->text(), "3");
    EXPECT_EQ(ui.Port->text(), "9100");
    EXPECT_EQ(ui.usermane->text(), "Ostra");
    EXPECT_EQ(ui.password->text(), "ferno");
    // Not started: the stopped display; the plain tray picture since status-in-tray is off.
    EXPECT_TRUE(visible(ui.Image3));
    EXPECT_EQ(ui.Label1->text(), "Stopped");
    EXPECT_EQ(f.form->tray.iconIndex(), 2);
    EXPECT_EQ(f.form->tray.balloonText(), "Norva utility");
    EXPECT_TRUE(f.form->tray.hint().isEmpty());
    // No stored address: the label and, after LoadVars, the control are empty.
    EXPECT_EQ(ui.IPADD->text(), "");
    EXPECT_EQ(ui.IPAddr->Text(), "");
    EXPECT_TRUE(visible(ui.comDetails));
    EXPECT_FALSE(visible(ui.Details));
    EXPECT_FALSE(std::filesystem::exists(f.dir / "NorvaHB")) << "reads must not create the file";
}

TEST(StartUp, IsStartedWithNoModeStartsNothing) {
    FormFixture f("[Run]\nIsStarted=1\n[Setup]\nShowStatusInTray=1\n");
    f.start();
    auto& ui = f.form->ui;
    EXPECT_FALSE(f.form->agent().network.Timer1.isActive());
    EXPECT_FALSE(f.form->agent().serial.comFreq.isActive());
    // The display keeps what the window was built with.
    EXPECT_TRUE(visible(ui.Image1));
    EXPECT_FALSE(visible(ui.Image3));
    EXPECT_EQ(ui.Label1->text(), "OK");
    EXPECT_EQ(f.form->tray.iconIndex(), 0);
}

TEST(StartUp, StoppedHeartbeatWithStatusInTrayShowsPictureThree) {
    FormFixture f("[Setup]\nShowStatusInTray=1\nNetwork=1\nIPAddr=10.1.2.3\n");
    f.start();
    EXPECT_EQ(f.form->tray.iconIndex(), 3);
    EXPECT_EQ(f.form->tray.balloonText(), "Heartbeat is not running");
    EXPECT_TRUE(visible(f.form->ui.Details));
    EXPECT_EQ(f.form->ui.IPADD->text(), "10.1.2.3");
    EXPECT_EQ(f.form->ui.IPAddr->Text(), "10.1.2.3");
}

TEST(StartUp, BadNumberEndsTheSequenceAtThatStep) {
    const auto port = norva::test::FreePort();
    FormFixture f("[Run]\nIsStarted=1\n[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nFreq=abc\nPort=" +
                  std::to_string(port) + "\n[GracefulRestart]\nSourceIP=127.0.0.1\n");
    f.start();
    ASSERT_EQ(f.boxes.errors.size(), 1u);
    EXPECT_EQ(f.boxes.errors[0], "''abc'' is not a valid integer value.");
    EXPECT_FALSE(f.form->agent().network.Timer1.isActive());
    // The steps after the failed one did not run: the restart notice is still pending.
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "127.0.0.1");
}

TEST(StartUp, BadStoredAddressStopsTheStartUp) {
    FormFixture f("[Setup]\nIPAddr=300.1.1.1\n[GracefulRestart]\nSourceIP=127.0.0.1\n");
    f.start();
    ASSERT_GE(f.boxes.errors.size(), 1u);
    EXPECT_EQ(f.boxes.errors[0].rfind("Bad IP address string given to component", 0), 0u)
        << f.boxes.errors[0];
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "127.0.0.1");
}

TEST(StartUp, ExitDuringAStartUpBoxEndsTheProgram) {
    ClearQuitNowAtEnd clear;
    FormFixture f("[Run]\nIsStarted=1\n[Setup]\nUSB=1\nComPort=COM7\n"
                  "[GracefulRestart]\nSourceIP=127.0.0.1\n");
    PinMissingCom7(f.dir.path());
    int boxLoop = -2;
    f.boxes.onShow = [&](const std::string&) {
        if (boxLoop != -2)
            return;
        // Exit from the tray menu, answered Yes, while the box is open.
        f.boxes.answers = {true};
        QTimer::singleShot(0, f.form.get(), [&] { f.form->exit1Click(); });
        QEventLoop box; // the box's own loop, which the close must end
        QTimer::singleShot(3000, &box, [&] { box.exit(1); });
        boxLoop = box.exec();
    };
    EXPECT_FALSE(f.start()) << "the program would go on into its event loop";
    EXPECT_EQ(boxLoop, 0) << "the close left the start-up box open";
    EXPECT_EQ(f.boxes.errors, std::vector<std::string>{
                                  "Com7 is no longer available\rPlease select another comport"});
    EXPECT_EQ(f.form->SetupFrm, nullptr) << "the start went on after the close";
    EXPECT_FALSE(f.form->agent().MyIni.isOpen());
    EXPECT_FALSE(f.form->agent().theServer.Active());
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "127.0.0.1");
}

TEST(StartUp, CommandDuringAStartUpBoxWarnsAndActs) {
    FormFixture f("[Setup]\nComPort=COM7\n[GSD]\nAlertPedningAction=1\n");
    PinMissingCom7(f.dir.path());
    std::vector<std::uint8_t> reply;
    std::string stored;
    bool warned = false;
    f.boxes.onShow = [&](const std::string&) {
        // The box runs its own event loop, so the command is served while it is open.
        std::thread device(
            [&, port = f.form->agent().theServer.Port()] { reply = SendRestart(port); });
        f.serveUntil([&] { return f.setting("GracefulRestart", "SourceIP", "") != ""; });
        stored = f.setting("GracefulRestart", "SourceIP", "");
        warned = f.form->warning && f.form->warning->isVisible();
        f.serveUntil([] { return false; }, std::chrono::milliseconds(200));
        device.join();
    };
    f.start();
    EXPECT_EQ(f.boxes.errors.size(), 1u);
    EXPECT_EQ(reply, std::vector<std::uint8_t>{0x01});
    EXPECT_EQ(stored, "127.0.0.1");
    ASSERT_TRUE(warned) << "the command was acknowledged but no warning came";
    EXPECT_EQ(f.form->agent().pending.mode, 0);
    EXPECT_TRUE(f.power.calls.empty());
    for (int tick = 0; tick < 10; ++tick)
        f.form->agent().pending.Timer1Timer();
    EXPECT_EQ(f.power.calls, std::vector<std::string>{"reboot"});
    // The restart is still to come: its notice belongs to the next start, so the start-up's
    // notice step must leave the address stored.
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP", ""), "127.0.0.1");
}

// The device has its acknowledgement and will cut the power, so a request the system refuses
// must not pass unseen: a Memo1 line and one box naming the action and the reason, the caption
// left as it was. An accepted request shows nothing more.
TEST(PowerRequest, ARefusalShowsAMemoLineAndOneBoxAndLeavesTheCaption) {
    struct Case {
        const char* action;
        void (norva::TForm1::*request)();
        const char* caption;
    };
    for (const Case& c : {Case{"restart", &norva::TForm1::doRestart, "DO restart"},
                          Case{"shutdown", &norva::TForm1::doShutdown, "DO Shutdown"}}) {
        SCOPED_TRACE(c.action);
        FormFixture f;
        f.start();
        const std::string reason = "Permission denied (org.freedesktop.DBus.Error.AccessDenied)";
        (f.form.get()->*c.request)();
        EXPECT_EQ(f.form->windowTitle().toStdString(), c.caption);
        EXPECT_TRUE(f.boxes.errors.empty()) << "nothing is shown before the system has answered";
        ASSERT_TRUE(f.power.answer(reason));

        EXPECT_EQ(f.boxes.errors, std::vector<std::string>{"The " + std::string(c.action) +
                                                           " was refused: " + reason});
        EXPECT_TRUE(f.form->ui.Memo1->toPlainText().contains(QString::fromStdString(
            "The login manager refused the " + std::string(c.action) + ": " + reason)))
            << f.form->ui.Memo1->toPlainText().toStdString();
        EXPECT_EQ(f.form->windowTitle().toStdString(), c.caption);

        const QString memo = f.form->ui.Memo1->toPlainText();
        (f.form.get()->*c.request)();
        ASSERT_TRUE(f.power.answer());
        EXPECT_EQ(f.boxes.errors.size(), 1u);
        EXPECT_EQ(f.form->ui.Memo1->toPlainText(), memo);
    }
}

TEST(StartInTray, HidesTheWindowOnceWhenTheBoxIsTicked) {
    FormFixture f("[Setup]\nStartInTray=1\n");
    f.start();
    f.form->show();
    f.form->Timer3Timer();
    EXPECT_FALSE(f.form->isVisible());
    EXPECT_TRUE(f.form->view.showBalloon);
    EXPECT_FALSE(f.form->Timer3.isActive());
}

TEST(StartInTray, TickingTheBoxLaterHidesTheWindowOnceOnly) {
    FormFixture f;
    f.start();
    f.form->show();
    f.form->Timer3Timer();
    EXPECT_TRUE(f.form->isVisible());
    f.form->ui.startInTrayCB->setChecked(true); // ticked on the page, not applied
    EXPECT_TRUE(f.form->Timer3.isActive()) << "the check must come within 50 ms";
    f.form->Timer3Timer();
    EXPECT_FALSE(f.form->isVisible());

    f.form->Open1Click();
    f.form->ui.startInTrayCB->setChecked(false);
    f.form->ui.startInTrayCB->setChecked(true);
    EXPECT_FALSE(f.form->Timer3.isActive()) << "the window is hidden by the check only once";
    EXPECT_TRUE(f.form->isVisible());
}

// Without a notification area, putting the window away into the tray would leave no way
// back: it goes to the task bar instead, and standard error says so once.
class PutAway : public testing::TestWithParam<bool> {};

TEST_P(PutAway, HidesIntoTheTrayOrMinimisesWithoutOne) {
    const bool tray = GetParam();
    FormFixture f("[Setup]\nStartInTray=1\n", false, tray);
    f.start();
    f.form->show();
    testing::internal::CaptureStderr();
    f.form->Timer3Timer(); // the start-in-tray check
    EXPECT_EQ(f.form->isVisible(), !tray);
    EXPECT_EQ(f.form->isMinimized(), !tray);
    EXPECT_TRUE(f.form->view.showBalloon);
    f.form->showNormal();
    f.form->Minimizetotray1Click(); // File > Minimize to tray
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(f.form->isVisible(), !tray);
    EXPECT_EQ(f.form->isMinimized(), !tray);
    std::size_t said = 0;
    for (auto at = err.find("no notification area"); at != std::string::npos;
         at = err.find("no notification area", at + 1))
        ++said;
    EXPECT_EQ(said, tray ? 0u : 1u) << err;
}

INSTANTIATE_TEST_SUITE_P(Desktops, PutAway, testing::Bool(),
                         [](const auto& p) { return p.param ? "WithTray" : "WithoutTray"; });

// Messages mark a line break with a carriage return; on standard error it becomes a new
// line, so a terminal does not overwrite the first line and the journal keeps text.
TEST(StandardError, LineBreaksOfMirroredMessagesAreNewLines) {
    FormFixture f;
    f.start();
    norva::QtMessageBoxes real(f.form.get());
    QTimer closer; // answers the real box as soon as it is up
    closer.callOnTimeout([] {
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    const std::vector<std::pair<const char*, std::function<void()>>> mirrors = {
        {"Label4", [&] { f.form->view.setLabel4("one\rtwo"); }},
        {"Memo1", [&] { f.form->view.appendMemo("one\rtwo"); }},
        {"message box",
         [&] {
             closer.start(10);
             real.showError("one\rtwo");
             closer.stop();
         }},
    };
    for (const auto& [name, show] : mirrors) {
        testing::internal::CaptureStderr();
        show();
        // (The offscreen platform may add a remark of its own after the line.)
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_THAT(err, testing::StartsWith("NorvaHB: one\ntwo\n")) << name;
        EXPECT_EQ(err.find('\r'), std::string::npos) << name;
    }
    EXPECT_EQ(f.form->ui.Label4->text(), "one\rtwo") << "the window shows the text as given";
}

TEST(Exit, NoKeepsRunningYesClosesAndReleasesTheSettings) {
    FormFixture f;
    f.start();
    f.form->show();
    f.boxes.answers = {false};
    f.form->exit1Click();
    ASSERT_EQ(f.boxes.questions.size(), 1u);
    EXPECT_EQ(f.boxes.questions[0],
              "Closing this program will disable Heartbeat and Graceful Shutdown\rContinue?");
    EXPECT_TRUE(f.form->isVisible());
    EXPECT_TRUE(f.form->agent().MyIni.isOpen());

    f.boxes.answers = {true};
    f.form->exit1Click();
    EXPECT_FALSE(f.form->isVisible());
    EXPECT_FALSE(f.form->agent().MyIni.isOpen());
    EXPECT_FALSE(f.form->agent().theServer.Active());
}

struct AlertCase {
    const char* name;
    bool useBalloon;
    bool minimised;
    bool statusInTray;
    bool expectBalloon;
    int expectPicture;
};

class NoResponseAlert : public testing::TestWithParam<AlertCase> {};

TEST_P(NoResponseAlert, GoesToBalloonOnlyWhenInTrayOnADesktopWithBalloons) {
    const auto& c = GetParam();
    FormFixture f("", c.useBalloon);
    f.start();
    f.form->ui.showStatusInTrayCB->setChecked(c.statusInTray);
    if (c.minimised)
        f.form->Minimizetotray1Click();
    f.form->agent().network.FailCntr = 1;
    f.form->agent().network.Timer2Timer();
    EXPECT_TRUE(f.form->agent().status.failed);
    EXPECT_TRUE(visible(f.form->ui.Image1));
    EXPECT_EQ(f.form->ui.Label1->text(), "Fail");
    EXPECT_EQ(f.form->tray.iconIndex(), c.expectPicture);
    EXPECT_EQ(f.form->tray.hint(), c.statusInTray ? "Norva is not responding" : "Norva utility");
    if (c.expectBalloon) {
        EXPECT_EQ(f.form->tray.balloonsShown(), 1);
        EXPECT_EQ(f.form->tray.balloonTitle(), "No Response");
        EXPECT_EQ(f.form->tray.balloonText(),
                  "Your Norva is not responding to the Heartbeat (Network)");
        EXPECT_EQ(f.form->tray.balloonTimeout(), 10000);
        EXPECT_TRUE(f.boxes.errors.empty());
        EXPECT_EQ(f.boxes.beeps, 0);
    } else {
        EXPECT_EQ(f.form->tray.balloonsShown(), 0);
        EXPECT_EQ(f.boxes.beeps, 1);
        ASSERT_EQ(f.boxes.errors.size(), 1u);
        EXPECT_EQ(f.boxes.errors[0], "Your Norva is not responding to the Heartbeat");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoResponseAlert,
    testing::Values(AlertCase{"InTrayWithBalloons", true, true, true, true, 1},
                    AlertCase{"ShownWithBalloons", true, false, true, false, 1},
                    AlertCase{"InTrayWithoutBalloons", false, true, false, false, 2},
                    AlertCase{"ShownNoStatusInTray", true, false, false, false, 2}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Tray, DoubleClickKeepsBalloonsOpenClearsThem) {
    FormFixture f("", true);
    f.start();
    f.form->Minimizetotray1Click();
    f.form->trayDblClick();
    EXPECT_TRUE(f.form->isVisible());
    EXPECT_TRUE(f.form->view.showBalloon);
    f.form->Minimizetotray1Click();
    f.form->Open1Click();
    EXPECT_TRUE(f.form->isVisible());
    EXPECT_FALSE(f.form->view.showBalloon);
}

TEST(Tray, MenuHasItsEntriesInOrder) {
    FormFixture f;
    QStringList texts;
    for (auto* a : f.form->PopupMenu1.actions())
        texts << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(texts.join(","), "Start,Stop,-,Open,Exit");
}

// On the X11 tray the menu stays the window's: the right button's press opens it at the pointer,
// and no other button opens it.
TEST(Tray, OnTheX11TrayOnlyTheRightButtonsPressOpensTheMenu) {
    FormFixture f;
    ASSERT_TRUE(f.start());
    ASSERT_EQ(f.form->tray.host(), norva::TrayIcon::Host::XEmbed);
    auto* native = f.form->tray.findChild<QSystemTrayIcon*>();
    ASSERT_NE(native, nullptr);
    EXPECT_EQ(native->contextMenu(), nullptr) << "Qt would open it itself, on the release";
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::MiddleClick}) {
        emit native->activated(reason);
        EXPECT_FALSE(f.form->PopupMenu1.isVisible()) << reason;
    }
    emit native->activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(f.form->PopupMenu1.isVisible());
    f.form->PopupMenu1.hide();
}

TEST(MainWindow, ClearAndResetClearBothPanels) {
    FormFixture f;
    f.start();
    f.form->agent().network.sentCount = 5;
    f.form->agent().serial.comSentCount = 7;
    f.form->ui.Button1->click(); // Reset on the USB panel
    EXPECT_EQ(f.form->agent().network.sentCount, 0u);
    EXPECT_EQ(f.form->agent().serial.comSentCount, 0u);
    EXPECT_EQ(f.form->ui.Sent->text(), "0");
}

// The window draws what the heartbeat announces: one picture of three, the status text, the
// tray's picture with its hint or balloon text, the counters of both panels (the USB panel has
// no NAK count) and the caption. The core's tests judge the announcements themselves.
TEST(MainWindow, DrawsEachAnnouncementInItsControls) {
    FormFixture f("[Setup]\nShowStatusInTray=1\n");
    f.start();
    auto& ui = f.form->ui;
    auto& status = f.form->agent().status;
    auto pictures = [&] {
        return std::string(visible(ui.Image1) ? "1" : "") + (visible(ui.Image2) ? "2" : "") +
               (visible(ui.Image3) ? "3" : "");
    };

    status.showFailureState();
    EXPECT_EQ(pictures(), "1");
    EXPECT_EQ(ui.Label1->text(), "Fail");
    EXPECT_EQ(f.form->tray.iconIndex(), 1);
    EXPECT_EQ(f.form->tray.hint(), "Norva is not responding");

    status.showAnswered();
    EXPECT_EQ(pictures(), "2");
    EXPECT_EQ(ui.Label1->text(), "OK");
    EXPECT_EQ(f.form->tray.iconIndex(), 0);
    EXPECT_EQ(f.form->tray.hint(), "Norva is responding");

    status.showStopped(true);
    EXPECT_EQ(pictures(), "3");
    EXPECT_EQ(ui.Label1->text(), "Stopped");
    EXPECT_EQ(f.form->tray.iconIndex(), 3);
    EXPECT_EQ(f.form->tray.balloonText(), "Heartbeat is not running");
    EXPECT_EQ(f.form->tray.hint(), "Norva is responding") << "a balloon text leaves the hint";

    emit f.form->agent().network.countersChanged(4, 3, 2, 1);
    emit f.form->agent().serial.countersChanged(7, 6, 5);
    EXPECT_EQ(ui.Sent->text(), "4");
    EXPECT_EQ(ui.Received->text(), "3");
    EXPECT_EQ(ui.NAK->text(), "2");
    EXPECT_EQ(ui.Missed->text(), "1");
    EXPECT_EQ(ui.comSent->text(), "7");
    EXPECT_EQ(ui.comRcvd->text(), "6");
    EXPECT_EQ(ui.comMissed->text(), "5");
    EXPECT_EQ(ui.Label13->text(), "0") << "the USB panel has no NAK count";

    emit f.form->agent().network.captionRequested("Shutdown");
    EXPECT_EQ(f.form->windowTitle(), "Shutdown");
}

// Apply on the shutdown page makes the command port read its guards again, and their warnings
// reach Memo1 (what the guards then do is tested without a window, tests/commands).
TEST(MainWindow, ShutdownPageApplyRereadsTheCommandGuards) {
    FormFixture f;
    f.start();
    f.dir.write("NorvaHB", "[GSD]\nAcceptFrom=198.18.0.2, 10.0.0.0/40\n");
    f.form->ui.Button7->click();
    EXPECT_TRUE(f.form->ui.Memo1->toPlainText().contains(
        "Command port: AcceptFrom: \"10.0.0.0/40\" is ignored"))
        << f.form->ui.Memo1->toPlainText().toStdString();
}

// A datagram on the heartbeat port from anyone but the device: the counters and the caption
// stay as they were, and Memo1 names the sender.
TEST(MainWindow, ADatagramFromAnotherAddressIsAMemoLineAndNothingElse) {
    FormFixture f("[Setup]\nNetwork=1\nIPAddr=127.0.0.1\n");
    f.start();
    const QString title = f.form->windowTitle();
    f.form->agent().network.UDPServerUDPRead(
        {'N', 'o', 'r', 'v', 'a', 'R', 'e', 's', 't', 'a', 'r', 't'}, "127.0.0.9");
    EXPECT_TRUE(f.form->ui.Memo1->toPlainText().contains(
        "Ignored 1 datagram on the heartbeat port from 127.0.0.9: not the device's address"))
        << f.form->ui.Memo1->toPlainText().toStdString();
    EXPECT_EQ(f.form->windowTitle(), title);
    EXPECT_EQ(f.form->agent().network.rcvdCount, 0u);
}

TEST(MainWindow, TabChangeRefillsPagesAndPanelFollowsStoredMode) {
    FormFixture f("[Setup]\nNetwork=1\n[GSD]\nUsername=alice\n");
    f.start();
    auto& ui = f.form->ui;
    ui.usbRB->setChecked(true); // not applied
    ui.usermane->setText("typed");
    f.form->theTabsChange(2);
    EXPECT_EQ(ui.usermane->text(), "alice");
    f.form->theTabsChange(0);
    EXPECT_TRUE(visible(ui.Details));
    f.form->theTabsChange(1);
    EXPECT_TRUE(ui.networkRB->isChecked());
}

} // namespace
