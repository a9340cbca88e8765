// The window as the front end of the real norvahbd on a private bus of the test's own, with
// the fake login manager and the fake polkit authority (ServiceBed): it must show what the
// service does, through the service's life, send its commands there, and never take the
// service's ports itself.
#include "bus/BusContract.h"
#include "bus/ServiceBed.h"
#include "bus/ServiceClient.h"
#include "settings/SettingsRules.h"
#include "support/FormFixture.h"
#include "support/FreePort.h"
#include "support/WaitFor.h"
#include "ui/CEditIPAddr.h"
#include "ui/Twarning.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDBusMessage>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace norva {
using test::ServiceBed;
using test::visible;
using test::WaitFor;
namespace {

constexpr int kWaitMs = 20000;
constexpr const char* kUser = test::kServiceUser;
constexpr const char* kPassword = test::kServicePassword;
using test::NotAllowed;

std::string Settings(quint16 udpPort, bool usb = false) {
    return test::ServiceSettings(udpPort, usb, /*statusInTray=*/true);
}

class FrontEndTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(bed_.startBus());
        // The window's user may change the settings without a prompt, so the service gives the
        // pages its command user name (a test that refuses says so itself).
        bed_.setPolkit(std::string(bus::action::Configure) + " allow\n");
        udpPort_ = test::FreePort();
        commandPort_ = test::FreePort();
        client_ = std::make_unique<ServiceClient>(bed_.bus());
    }

    void startService() {
        ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
        ASSERT_NO_FATAL_FAILURE(bed_.waitServiceOnBus());
    }

    // The window as main() builds it for a front end: a settings folder of its own (where
    // nothing may be written: the pages hold no file), the service's command port as its own
    // (so a bind of it would collide), scripted boxes and a recording power backend.
    void startWindow(bool balloons = false) {
        env_.settingsFolder = ownFolder_.path();
        env_.commandPort = commandPort_;
        env_.boxes = &boxes_;
        env_.power = &power_;
        env_.balloonsAvailable = balloons;
        env_.trayAvailable = true;
        env_.service = client_.get();
        form_ = std::make_unique<TForm1>(env_);
        ASSERT_TRUE(form_->StartUp());
        form_->ShowAtStart();
    }

    TForm1Ui& ui() { return form_->ui; }

    // What the window shows, for a failure message.
    std::string shown() {
        std::string out = "status '" + ui().Label1->text().toStdString() + "', picture " +
                          (visible(ui().Image1)   ? "bad"
                           : visible(ui().Image2) ? "good"
                           : visible(ui().Image3) ? "stopped"
                                                  : "none") +
                          ", tray " + std::to_string(form_->tray.iconIndex()) + " hint '" +
                          form_->tray.hint().toStdString() + "' balloon text '" +
                          form_->tray.balloonText().toStdString() + "'";
        for (const auto& e : boxes_.errors)
            out += "\n  box: " + e;
        return out + "\n" + bed_.serviceLog();
    }

    bool showsResponding() {
        return ui().Label1->text() == "OK" && visible(ui().Image2) && !visible(ui().Image1) &&
               !visible(ui().Image3) && form_->tray.iconIndex() == 0 &&
               form_->tray.hint() == "Norva is responding";
    }
    bool showsStopped() {
        return ui().Label1->text() == "Stopped" && visible(ui().Image3) &&
               form_->tray.iconIndex() == 3 &&
               form_->tray.balloonText() == "Heartbeat is not running";
    }
    bool showsNotRunning() {
        return ui().Label1->text() == "service not running" && visible(ui().Image3) &&
               !visible(ui().Image1) && !visible(ui().Image2) && form_->tray.iconIndex() == 3;
    }
    // The pages show the service's settings as the test wrote them, and no password.
    // `userName`: the service gives its command user name (this user may configure); else
    // the field is empty.
    bool pagesShowTheService(bool userName = true) {
        return ui().IPAddr->Text() == "127.0.0.1" &&
               ui().Port->text() == QString::number(udpPort_) && ui().Freq->text() == "1" &&
               ui().Fail->text() == "3" && ui().showStatusInTrayCB->isChecked() &&
               ui().usermane->text() == (userName ? QString(kUser) : QString()) &&
               ui().password->text().isEmpty() && ui().alaertPendingActionCB->isChecked();
    }

    int deviceSendsRestart(const char* password) {
        return bed_.deviceSendsRestart(commandPort_, password);
    }

    // Declared first, destroyed last: the window and the client go before the service.
    ServiceBed bed_;
    quint16 udpPort_ = 0;
    quint16 commandPort_ = 0;
    test::TempDir ownFolder_;
    test::ScriptedMessageBoxes boxes_;
    test::RecordingPowerBackend power_;
    AppEnvironment env_;
    std::unique_ptr<ServiceClient> client_;
    std::unique_ptr<TForm1> form_;
};

TEST_F(FrontEndTest, ShowsARunningServiceItsCountersAndItsPages) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());

    EXPECT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();
    EXPECT_TRUE(WaitFor([&] { return pagesShowTheService(); }, kWaitMs));
    EXPECT_TRUE(std::filesystem::is_empty(ownFolder_.path()))
        << "the window wrote the service's settings into a file of its own";

    // The counters follow the service's, which move with every heartbeat.
    EXPECT_TRUE(WaitFor(
        [&] {
            return client_->networkSent() >= 3 &&
                   ui().Sent->text() == QString::number(client_->networkSent()) &&
                   ui().Received->text() == QString::number(client_->networkReceived());
        },
        kWaitMs))
        << ui().Sent->text().toStdString() << " sent shown, " << client_->networkSent()
        << " in the service";
    EXPECT_EQ(ui().Missed->text(), "0");
    EXPECT_TRUE(boxes_.errors.empty()) << shown();
    EXPECT_EQ(form_->localAgent(), nullptr) << "the window runs a heartbeat of its own";
}

// The PC goes to sleep and wakes (the login manager's PrepareForSleep, as for a lid closed): the
// window says "sleeping" as a window of its own does, keeps the picture and the tray, and says
// "OK" again after the wake, with no alert and no box.
TEST_F(FrontEndTest, ASleepShowsSleepingAndTheWakeShowsOKAgain) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();
    const QString hint = form_->tray.hint();
    const int icon = form_->tray.iconIndex();

    auto prepareForSleep = [&](bool start) {
        QDBusMessage emitIt =
            QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "EmitPrepareForSleep");
        emitIt << start;
        const QDBusMessage reply = bed_.bus().call(emitIt);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    };
    ASSERT_NO_FATAL_FAILURE(prepareForSleep(true));
    EXPECT_TRUE(WaitFor([&] { return ui().Label1->text() == "sleeping"; }, kWaitMs)) << shown();
    EXPECT_TRUE(visible(ui().Image2)) << "the picture changed for the sleep: " << shown();
    EXPECT_EQ(form_->tray.hint(), hint);
    EXPECT_EQ(form_->tray.iconIndex(), icon);

    ASSERT_NO_FATAL_FAILURE(prepareForSleep(false));
    EXPECT_TRUE(WaitFor([&] { return ui().Label1->text() == "OK"; }, kWaitMs)) << shown();
    EXPECT_TRUE(showsResponding()) << shown();
    EXPECT_TRUE(boxes_.errors.empty()) << shown();
    EXPECT_NE(form_->tray.hint(), "Norva is not responding") << shown();
}

// The device stops answering: the alert comes once, as this desktop shows it. The heartbeat
// alerts once per start, so between rows the device answers again and the window stops and
// starts the service's heartbeat.
TEST_F(FrontEndTest, TheNoResponseAlertComesOnceAsThisDesktopShowsIt) {
    ASSERT_NO_FATAL_FAILURE(bed_.startSerialDevice());
    bed_.writeSettings(Settings(udpPort_, /*usb=*/true));
    bed_.setPolkit("* allow\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow(/*balloons=*/true));
    ASSERT_TRUE(WaitFor([&] { return showsResponding() && pagesShowTheService(); }, kWaitMs))
        << shown();

    struct Row {
        const char* name;
        bool balloons; // the desktop shows balloons
        bool inTray;   // the window was put away into the tray
        bool expectBalloon;
    };
    for (const Row& row : {Row{"in the tray, balloons", true, true, true},
                           Row{"window shown, balloons", true, false, false},
                           Row{"in the tray, no balloons", false, true, false}}) {
        SCOPED_TRACE(row.name);
        form_->view.useBalloon = row.balloons;
        if (row.inTray)
            form_->Minimizetotray1Click();
        else
            form_->Open1Click();
        const std::size_t boxes = boxes_.errors.size();
        const int beeps = boxes_.beeps;
        const int balloons = form_->tray.balloonsShown();

        bed_.deviceSays("silent");
        ASSERT_TRUE(
            WaitFor([&] { return ui().Label1->text() == "Fail" && visible(ui().Image1); }, kWaitMs))
            << shown();
        EXPECT_EQ(form_->tray.iconIndex(), 1);
        EXPECT_EQ(form_->tray.hint(), "Norva is not responding");
        // Two more misses in the service, and still one alert.
        const uint missed = client_->usbMissed();
        ASSERT_TRUE(WaitFor([&] { return client_->usbMissed() >= missed + 2; }, kWaitMs));
        EXPECT_EQ(ui().comMissed->text(), QString::number(client_->usbMissed()));
        if (row.expectBalloon) {
            EXPECT_EQ(form_->tray.balloonsShown(), balloons + 1);
            EXPECT_EQ(form_->tray.balloonTitle(), "No Response");
            EXPECT_EQ(form_->tray.balloonText(),
                      "Your Norva is not responding to the Heartbeat (USB)");
            EXPECT_EQ(boxes_.errors.size(), boxes);
        } else {
            EXPECT_EQ(form_->tray.balloonsShown(), balloons);
            EXPECT_EQ(boxes_.beeps, beeps + 1);
            ASSERT_EQ(boxes_.errors.size(), boxes + 1);
            EXPECT_EQ(boxes_.errors.back(), "Your Norva is not responding to the Heartbeat");
        }

        bed_.deviceSays("whole");
        ASSERT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();
        ui().Button4->click();
        ASSERT_TRUE(WaitFor([&] { return showsStopped(); }, kWaitMs)) << shown();
        ui().Button2->click();
        ASSERT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();
    }
}

// The serial device comes after the service (as a USB device enumerated late at boot): the
// service waits for it instead of giving up, the window says so with the stopped picture,
// and the heartbeat runs as soon as the device is there.
TEST_F(FrontEndTest, AServiceWaitingForItsSerialDeviceSaysSoUntilItComes) {
    bed_.writeSettings(Settings(udpPort_, /*usb=*/true));
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor(
        [&] {
            return ui().Label1->text() == "waiting for the serial device" && visible(ui().Image3) &&
                   !visible(ui().Image1) && !visible(ui().Image2);
        },
        kWaitMs))
        << shown();
    EXPECT_EQ(client_->state(), bus::state::WaitingForSerialDevice);
    EXPECT_TRUE(boxes_.errors.empty()) << shown();

    ASSERT_NO_FATAL_FAILURE(bed_.startSerialDevice());
    EXPECT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();
}

TEST_F(FrontEndTest, ARestartCommandShowsTheServicesWarningAndItsLines) {
    bed_.writeSettings(Settings(udpPort_));
    bed_.setPolkit(std::string(bus::action::Control) + " allow\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();

    // What the service said, to hold the window against (connected after the window's
    // own connections, so each check runs once the window has drawn the value).
    QStringList captions, statusLines, logLines;
    std::vector<int> counts;
    Twarning& warning = *form_->warning;
    QObject::connect(client_.get(), &ServiceClient::caption,
                     [&](const QString& t) { captions << t; });
    QObject::connect(client_.get(), &ServiceClient::statusLine,
                     [&](const QString& t) { statusLines << t; });
    QObject::connect(client_.get(), &ServiceClient::logLine,
                     [&](const QString& t) { logLines << t; });
    QObject::connect(client_.get(), &ServiceClient::warningTicked, [&](int countdown) {
        counts.push_back(countdown);
        EXPECT_EQ(warning.windowTitle(), QStringLiteral("Timer = %1").arg(countdown));
    });

    // The lines come to a front end polkit lets control the heartbeat.
    ASSERT_TRUE(WaitFor([&] { return client_->followsLines(); }, kWaitMs));
    // A wrong password first, for a status line; then the right one.
    deviceSendsRestart("wrong");
    ASSERT_TRUE(WaitFor([&] { return !statusLines.isEmpty(); }, kWaitMs)) << shown();
    EXPECT_EQ(statusLines.back(), "Bad Password");
    EXPECT_EQ(ui().Label4->text(), "Bad Password");
    ASSERT_EQ(deviceSendsRestart(kPassword), 0) << shown();
    ASSERT_TRUE(WaitFor([&] { return warning.isVisible() && !counts.empty(); }, kWaitMs))
        << shown();
    EXPECT_EQ(form_->localAgent(), nullptr) << "the window counts by itself";

    // Closed by the user after the first tick: hidden, and the service hears it: its warning
    // is off screen while its count goes on, so the next command's warning counts from 10
    // again, as a window of its own shows it.
    warning.close();
    EXPECT_FALSE(warning.isVisible());
    ASSERT_TRUE(WaitFor([&] { return !client_->warningOnScreen(); }, 3000))
        << "the close did not reach the service";
    const std::size_t shownBefore = counts.size();
    ASSERT_EQ(deviceSendsRestart(kPassword), 0) << shown();
    ASSERT_TRUE(
        WaitFor([&] { return warning.isVisible() && counts.size() > shownBefore; }, kWaitMs))
        << shown();
    EXPECT_EQ(counts[shownBefore], 9) << "the warning went on from where it was";

    // Closed again, and the service counts on to 0.
    warning.close();
    EXPECT_FALSE(warning.isVisible());
    ASSERT_TRUE(WaitFor([&] { return bed_.loginCalls() == "Reboot false\n"; }, 30000))
        << bed_.loginCalls() << shown();
    EXPECT_TRUE(WaitFor([&] { return !client_->warningOnScreen(); }, kWaitMs));
    EXPECT_FALSE(warning.isVisible()) << "a tick brought the closed warning back";
    // The last tick's signal may come after the request reached the login manager.
    EXPECT_TRUE(WaitFor([&] { return !counts.empty() && counts.back() == 0; }, kWaitMs))
        << "the count stopped when the window was closed";
    EXPECT_TRUE(power_.calls.empty()) << "the window restarted the machine itself";

    // Label4, Memo1 and the caption show the service's lines.
    ASSERT_FALSE(logLines.isEmpty());
    ASSERT_FALSE(captions.isEmpty());
    EXPECT_EQ(ui().Label4->text(), statusLines.back());
    for (const QString& line : logLines)
        EXPECT_TRUE(ui().Memo1->toPlainText().contains(line)) << line.toStdString();
    EXPECT_TRUE(ui().Memo1->toPlainText().contains("Recived eCmnd_get"));
    EXPECT_EQ(form_->windowTitle(), captions.back());
}

// The login manager refuses the service's restart: the window shows what a window of its own
// would, one box and the Memo1 line, and the caption the service showed stays.
TEST_F(FrontEndTest, ARestartTheLoginManagerRefusesShowsOneBoxAndTheLine) {
    std::string settings = Settings(udpPort_);
    settings.replace(settings.find("AlertPedningAction=1"), 20, "AlertPedningAction=0");
    bed_.writeSettings(settings);
    bed_.setLogin1Behaviour("refuse");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();
    QStringList failures;
    QObject::connect(
        client_.get(), &ServiceClient::powerRequestFailed,
        [&](const QString& action, const QString& error) { failures << action + " | " + error; });

    ASSERT_EQ(deviceSendsRestart(kPassword), 0) << shown();
    ASSERT_TRUE(WaitFor([&] { return !boxes_.errors.empty(); }, kWaitMs)) << shown();
    const QString reason = "Permission denied (org.freedesktop.DBus.Error.AccessDenied)";
    EXPECT_EQ(failures, QStringList{"restart | " + reason});
    EXPECT_EQ(boxes_.errors,
              std::vector<std::string>{"The restart was refused: " + reason.toStdString()});
    EXPECT_TRUE(
        ui().Memo1->toPlainText().contains("The login manager refused the restart: " + reason))
        << ui().Memo1->toPlainText().toStdString();
    EXPECT_EQ(form_->windowTitle(), "DO restart");
    EXPECT_EQ(bed_.loginCalls(), "RebootWithFlags 16\n");
    EXPECT_TRUE(power_.calls.empty()) << "the window restarted the machine itself";
}

// Every command refused by polkit: one box with the client's text, nothing changed in the
// service, and the pages back to the service's values.
TEST_F(FrontEndTest, RefusedCommandsShowOneBoxAndChangeNothing) {
    bed_.writeSettings(Settings(udpPort_));
    const std::string stored = bed_.readSettings();
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding() && pagesShowTheService(); }, kWaitMs))
        << shown();
    bed_.setPolkit("* deny\n");

    struct Row {
        const char* name;
        std::function<void()> act;
        QString error;
    };
    const Row rows[] = {
        {"tray Start", [&] { form_->Start1->trigger(); }, NotAllowed("start the heartbeat")},
        {"Stop", [&] { ui().Button4->click(); }, NotAllowed("stop the heartbeat")},
        {"Clear", [&] { ui().Button3->click(); }, NotAllowed("clear the counters")},
        {"Button9", [&] { ui().Button9->click(); }, NotAllowed("show the test warning")},
        {"heartbeat Apply",
         [&] {
             ui().Freq->setText("7");
             ui().showStatusInTrayCB->setChecked(false);
             ui().Button6->click();
         },
         NotAllowed("change the settings")},
        {"shutdown Apply",
         [&] {
             ui().usermane->setText("Mallory");
             ui().password->setText("typed");
             ui().alaertPendingActionCB->setChecked(false);
             ui().Button7->click();
         },
         NotAllowed("change the settings")},
    };
    std::size_t boxes = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.act();
        ++boxes;
        ASSERT_TRUE(WaitFor([&] { return boxes_.errors.size() >= boxes; }, kWaitMs)) << shown();
        EXPECT_EQ(boxes_.errors.back(), row.error.toStdString());
        // Read again after a refused Apply by a user who may not configure, the user name is not
        // given (the field empty); never the refused values.
        EXPECT_TRUE(WaitFor([&] { return pagesShowTheService(true) || pagesShowTheService(false); },
                            kWaitMs))
            << "the pages keep the refused values";
        EXPECT_EQ(bed_.readSettings(), stored);
    }
    // One more answer from the service would have come by now.
    ASSERT_TRUE(WaitFor([&] { return client_->networkSent() >= 3; }, kWaitMs));
    EXPECT_EQ(boxes_.errors.size(), boxes) << shown();
    EXPECT_TRUE(showsResponding()) << shown();
    EXPECT_EQ(client_->state(), bus::state::Responding);
    EXPECT_FALSE(form_->warning->isVisible());
    EXPECT_EQ(bed_.readSettings(), stored);
}

// A user who may change the settings only after a password prompt is not given the command
// user name by the service (it asks polkit without a prompt): the field is empty, and an Apply
// that leaves it so keeps the service's user name while it stores the typed password.
TEST_F(FrontEndTest, AnApplyWithTheUserNameNotGivenKeepsTheServicesOwn) {
    bed_.writeSettings(Settings(udpPort_));
    bed_.setPolkit(std::string(bus::action::Configure) + " authenticate\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return pagesShowTheService(false); }, kWaitMs)) << shown();
    ui().password->setText("n3w");
    ui().Button7->click();
    ASSERT_TRUE(WaitFor(
        [&] { return bed_.readSettings().find("Password=n3w\n") != std::string::npos; }, kWaitMs))
        << bed_.readSettings() << shown();
    EXPECT_NE(bed_.readSettings().find(std::string("Username=") + kUser + "\n"), std::string::npos)
        << bed_.readSettings();
    EXPECT_TRUE(boxes_.errors.empty()) << shown();
}

// A service without a command password of its own (the built-in default commands) is told
// once in the window's log, however often the service comes back.
TEST_F(FrontEndTest, AServiceWithoutItsOwnPasswordIsToldOnce) {
    std::string settings = Settings(udpPort_);
    const std::string line = std::string("Password=") + kPassword + "\n";
    settings.replace(settings.find(line), line.size(), "");
    bed_.writeSettings(settings);
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    const QString said = QString::fromStdString("The NorvaHB service: " +
                                                StoredPasswordProblem(StoredPassword::Missing));
    ASSERT_TRUE(WaitFor([&] { return ui().Memo1->toPlainText().contains(said); }, kWaitMs))
        << shown();
    ASSERT_NO_FATAL_FAILURE(bed_.stopService());
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_TRUE(WaitFor([&] { return client_->serviceRunning() && showsResponding(); }, kWaitMs));
    EXPECT_EQ(ui().Memo1->toPlainText().count(said), 1) << shown();
}

TEST_F(FrontEndTest, AuthorizedCommandsChangeTheService) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding() && pagesShowTheService(); }, kWaitMs))
        << shown();
    ASSERT_TRUE(WaitFor([&] { return ui().Sent->text().toUInt() >= 2; }, kWaitMs));
    bed_.setPolkit("* allow\n");
    auto storedHas = [&](const std::string& line) {
        return bed_.readSettings().find(line + "\n") != std::string::npos;
    };

    // The heartbeat page while the service's heartbeat runs: stored by the service, and the
    // window goes on showing the service's state; nothing of its own runs the heartbeat.
    // COM7 is the service's own port, not one this desktop lists: the user picks it as an
    // entry, or the page would store no port, as the standalone page does.
    ui().comPort->addItem("COM7");
    ui().comPort->setCurrentIndex(ui().comPort->count() - 1);
    ui().Freq->setText("2");
    ui().Button6->click();
    EXPECT_TRUE(showsResponding()) << "the Apply drew a heartbeat of the window's own: " << shown();
    ASSERT_TRUE(WaitFor([&] { return storedHas("Freq=2"); }, kWaitMs))
        << bed_.readSettings() << shown();
    EXPECT_TRUE(storedHas("ComPort=COM7")) << "the service's port was lost";
    EXPECT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();
    EXPECT_EQ(form_->localAgent(), nullptr) << "the window runs a heartbeat of its own";

    // Stop from the tray menu, then Clear: both counters panels go to 0 and stay there.
    form_->Stop1->trigger();
    ASSERT_TRUE(WaitFor([&] { return showsStopped(); }, kWaitMs)) << shown();
    EXPECT_TRUE(WaitFor([&] { return storedHas("IsStarted=0"); }, kWaitMs)) << bed_.readSettings();
    ui().Button1->click();
    EXPECT_TRUE(WaitFor(
        [&] {
            for (const QLabel* l : {ui().Sent, ui().Received, ui().NAK, ui().Missed, ui().comSent,
                                    ui().comRcvd, ui().comMissed})
                if (l->text() != "0")
                    return false;
            return true;
        },
        kWaitMs))
        << ui().Sent->text().toStdString();

    // The heartbeat page with the status no longer in the tray: the tray follows the new
    // setting as an Apply in a desktop copy does.
    ui().Fail->setText("4");
    ui().showStatusInTrayCB->setChecked(false);
    ui().Button6->click();
    ASSERT_TRUE(WaitFor([&] { return storedHas("FailCount=4") && storedHas("ShowStatusInTray=0"); },
                        kWaitMs))
        << bed_.readSettings() << shown();
    EXPECT_TRUE(WaitFor([&] { return form_->tray.iconIndex() == 2; }, kWaitMs)) << shown();
    EXPECT_EQ(form_->tray.balloonText(), "Norva utility");
    EXPECT_EQ(ui().Fail->text(), "4");

    // Start with the button: responding, the tray plain as the page now says.
    ui().Button2->click();
    ASSERT_TRUE(
        WaitFor([&] { return ui().Label1->text() == "OK" && visible(ui().Image2); }, kWaitMs))
        << shown();
    EXPECT_TRUE(WaitFor([&] { return storedHas("IsStarted=1"); }, kWaitMs));
    // The tray waits for the device's first reply after the start (the counters start at 0).
    EXPECT_TRUE(WaitFor([&] { return ui().Received->text().toUInt() >= 1; }, kWaitMs)) << shown();
    EXPECT_EQ(form_->tray.iconIndex(), 2);
    EXPECT_EQ(form_->tray.hint(), "Norva utility");

    // The shutdown page: the typed password goes to the service, which keeps it.
    ui().usermane->setText("Norv");
    ui().password->setText("n3w");
    ui().Button7->click();
    ASSERT_TRUE(WaitFor([&] { return storedHas("username=Norv"); }, kWaitMs))
        << bed_.readSettings() << shown();
    EXPECT_TRUE(storedHas("Password=n3w")) << bed_.readSettings();
    EXPECT_EQ(ui().usermane->text(), "Norv");
    // Sent, it leaves the field, and it never passed through a file of the window's.
    EXPECT_TRUE(ui().password->text().isEmpty());
    EXPECT_TRUE(std::filesystem::is_empty(ownFolder_.path()));

    // The test warning: the service's count in the window, shown modally as the standalone
    // Button9 shows it. The modal showing holds the event loop, so the window is looked at
    // from within it, at a tick, and then closed.
    bool seen = false, modal = false;
    QObject::connect(client_.get(), &ServiceClient::warningTicked, form_.get(), [&] {
        if (seen)
            return;
        seen = form_->warning->isVisible() && client_->warningOnScreen() &&
               form_->warning->windowTitle() ==
                   QStringLiteral("Timer = %1").arg(client_->warningCountdown());
        modal = form_->warning->isModal();
        if (seen)
            form_->warning->close();
    });
    ui().Button9->click();
    ASSERT_TRUE(WaitFor([&] { return seen; }, kWaitMs)) << shown();
    EXPECT_TRUE(modal) << "the test warning was not shown modally";
    EXPECT_TRUE(power_.calls.empty()) << "the window restarted the machine itself";
    EXPECT_TRUE(boxes_.errors.empty()) << shown();
}

// An error in the service reaches the window as the standalone window's error box, once for
// a fault that recurs at every heartbeat; the heartbeats it stops bring the alert.
TEST_F(FrontEndTest, AnErrorInTheServiceShowsOneBoxWhileItLasts) {
    const std::string bind = "Could not bind socket. Address and port are already in use.";
    bed_.writeSettings(Settings(udpPort_));
    bed_.setPolkit("* allow\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding() && pagesShowTheService(); }, kWaitMs))
        << shown();

    // Another program holds a UDP port, and the service is told to heartbeat from it. The
    // call's own failure goes to its caller (here the test, not the window).
    const quint16 held = test::FreePort();
    const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(held);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    QString applied = "unanswered";
    client_->applySettings({{"Setup/Port", QString::number(held)}},
                           [&](const QString& error) { applied = error; });
    ASSERT_TRUE(WaitFor([&] { return applied != "unanswered"; }, kWaitMs));
    EXPECT_NE(applied.toStdString().find(bind), std::string::npos) << applied.toStdString();

    // FailCount 3: the failed send in the call and two failed heartbeats bring the alert;
    // a few more fail meanwhile.
    ASSERT_TRUE(WaitFor([&] { return ui().Label1->text() == "Fail"; }, kWaitMs)) << shown();
    WaitFor([] { return false; }, 2500);
    EXPECT_EQ(boxes_.errors,
              (std::vector<std::string>{bind, "Your Norva is not responding to the Heartbeat"}))
        << shown();
    EXPECT_EQ(boxes_.beeps, 1);
    ::close(holder);
}

TEST_F(FrontEndTest, FollowsTheServiceThroughStopAndReturnAndNeverTakesItsPorts) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NO_FATAL_FAILURE(bed_.stopService());
        ASSERT_TRUE(WaitFor([&] { return showsNotRunning(); }, kWaitMs)) << shown();
        EXPECT_EQ(form_->tray.balloonText(), "The NorvaHB service is not running");
        // The hint says it too: the last one ("Norva is responding") would claim a
        // protection that nothing gives now.
        EXPECT_EQ(form_->tray.hint(), "The NorvaHB service is not running");
        // The service's ports are free: the window took neither of them.
        for (const int family : {AF_INET, AF_INET6}) {
            EXPECT_TRUE(test::detail::PortFree(SOCK_STREAM, family, commandPort_))
                << "the command port is bound, family " << family;
            EXPECT_TRUE(test::detail::PortFree(SOCK_DGRAM, family, udpPort_))
                << "the heartbeat port is bound, family " << family;
        }

        ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
        ASSERT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();
        EXPECT_TRUE(WaitFor([&] { return pagesShowTheService(); }, kWaitMs));
    }
    EXPECT_TRUE(boxes_.errors.empty()) << shown();
}

TEST_F(FrontEndTest, AWindowStartedBeforeTheServiceFollowsItWhenItComes) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(startWindow());
    // Once the client's lookup has said so.
    EXPECT_TRUE(WaitFor([&] { return showsNotRunning(); }, kWaitMs)) << shown();
    EXPECT_TRUE(boxes_.errors.empty()) << shown();

    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    EXPECT_TRUE(WaitFor([&] { return showsResponding() && pagesShowTheService(); }, kWaitMs))
        << shown();
    EXPECT_TRUE(WaitFor([&] { return ui().Sent->text().toUInt() >= 1; }, kWaitMs));
}

// A window built while its client still asks the bus whether the service runs: it must not
// say "service not running" of a service that runs, not even for a moment.
TEST_F(FrontEndTest, AWindowBuiltWhileTheLookupIsPendingNeverSaysTheServiceIsNotRunning) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(startService());
    client_ = std::make_unique<ServiceClient>(bed_.bus());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    bool said = false;
    auto saysNotRunning = [&] {
        said = said || ui().Label1->text() == "service not running" ||
               form_->tray.hint() == "The NorvaHB service is not running" ||
               form_->tray.balloonText() == "The NorvaHB service is not running";
        return said;
    };
    EXPECT_FALSE(saysNotRunning()) << shown();
    EXPECT_TRUE(WaitFor([&] { return saysNotRunning() || showsResponding(); }, kWaitMs)) << shown();
    EXPECT_FALSE(said) << shown();
    EXPECT_TRUE(showsResponding()) << shown();
}

// The heartbeat page's Apply stores what the standalone page stores, for a service with no
// address (a USB or None user) and a page with no COM entry (the service's port is not one
// this desktop sees): the page shows "0.0.0.0" and stores it, and the empty port is stored as
// it is.
TEST_F(FrontEndTest, TheHeartbeatPageAppliesWithNoAddressAndNoPortSelected) {
    bed_.writeSettings(std::string("[Setup]\nPort=") + std::to_string(udpPort_) +
                       "\nFreq=1\nFailCount=3\nNetwork=0\nUSB=0\nComPort=COM7\n"
                       "[Run]\nIsStarted=0\n[GSD]\nUsername=" +
                       kUser + "\nPassword=" + kPassword + "\n");
    bed_.setPolkit("* allow\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return ui().Port->text() == QString::number(udpPort_); }, kWaitMs))
        << shown();
    EXPECT_EQ(ui().IPAddr->Text(), "0.0.0.0");
    // The client found no service before this one came: the hint said so then, and no longer.
    EXPECT_EQ(form_->tray.hint(), "") << shown();
    ASSERT_EQ(ui().comPort->currentIndex(), -1) << "COM7 is listed on this desktop";

    ui().Freq->setText("2");
    ui().Button6->click();
    auto storedHas = [&](const std::string& line) {
        return bed_.readSettings().find(line + "\n") != std::string::npos;
    };
    EXPECT_TRUE(WaitFor([&] { return storedHas("Freq=2"); }, kWaitMs))
        << bed_.readSettings() << shown();
    EXPECT_TRUE(boxes_.errors.empty()) << shown();
    EXPECT_TRUE(storedHas("IPAddr=0.0.0.0")) << bed_.readSettings();
    EXPECT_TRUE(storedHas("ComPort=")) << bed_.readSettings();
}

// Start as the standalone Start button: the heartbeat page is filled again (unapplied edits
// are gone), the status says "OK" with the good picture, and the tray is left as it was until
// the device answers or fails; here it stays silent, so the tray never says it responds.
TEST_F(FrontEndTest, StartReloadsTheHeartbeatPageAndLeavesTheTrayAlone) {
    ASSERT_NO_FATAL_FAILURE(bed_.startSerialDevice());
    std::string settings = Settings(udpPort_, /*usb=*/true);
    settings.replace(settings.find("IsStarted=1"), 11, "IsStarted=0");
    bed_.writeSettings(settings);
    bed_.setPolkit("* allow\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsStopped() && pagesShowTheService(); }, kWaitMs))
        << shown();
    bed_.deviceSays("silent");
    const QString hint = form_->tray.hint();

    ui().Freq->setText("9");
    ui().Button2->click();
    EXPECT_EQ(ui().Freq->text(), "1") << "the page kept an edit it never applied";
    QStringList hints;
    EXPECT_TRUE(WaitFor(
        [&] {
            if (hints.isEmpty() || hints.back() != form_->tray.hint())
                hints << form_->tray.hint();
            return ui().Label1->text() == "Fail";
        },
        kWaitMs))
        << shown();
    EXPECT_EQ(hints, (QStringList{hint, "Norva is not responding"})) << shown();
    EXPECT_EQ(form_->tray.iconIndex(), 1);
}

// An Apply whose answer has not come yet (polkit still checking) and a Start clicked meanwhile:
// the Start shows the applied values, not the ones the service had before, and both reach the
// service in the order they were clicked.
TEST_F(FrontEndTest, AStartClickedBeforeTheApplyIsAnsweredShowsTheAppliedValues) {
    std::string settings = Settings(udpPort_);
    settings.replace(settings.find("IsStarted=1"), 11, "IsStarted=0");
    bed_.writeSettings(settings);
    bed_.setPolkit("* allow\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsStopped() && pagesShowTheService(); }, kWaitMs))
        << shown();

    auto storedHas = [&](const std::string& line) {
        return bed_.readSettings().find(line + "\n") != std::string::npos;
    };
    bed_.setPolkit("* slow\n");
    ui().Fail->setText("5");
    ui().Button6->click();
    ui().Button2->click();
    EXPECT_EQ(ui().Fail->text(), "5") << "the Start put the old value back on the page";
    EXPECT_TRUE(
        WaitFor([&] { return storedHas("FailCount=5") && storedHas("IsStarted=1"); }, kWaitMs))
        << bed_.readSettings() << shown();
    EXPECT_TRUE(boxes_.errors.empty()) << shown();
    EXPECT_EQ(ui().Fail->text(), "5");
}

// A Start the heartbeat cannot run on (here a network mode with no address stored) says "OK"
// over the picture the heartbeat left, as the standalone Start does once the page's fields are
// filled; the service stays stopped.
TEST_F(FrontEndTest, StartSaysOKOverTheStoppedPictureWhenTheHeartbeatCannotRun) {
    bed_.writeSettings(std::string("[Setup]\nPort=") + std::to_string(udpPort_) +
                       "\nFreq=1\nFailCount=3\nNetwork=1\nShowStatusInTray=1\n"
                       "[Run]\nIsStarted=0\n");
    bed_.setPolkit("* allow\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(
        WaitFor([&] { return showsStopped() && ui().IPAddr->Text() == "0.0.0.0"; }, kWaitMs))
        << shown();

    ui().Button2->click();
    EXPECT_TRUE(WaitFor([&] { return ui().Label1->text() == "OK"; }, kWaitMs)) << shown();
    EXPECT_TRUE(bed_.readSettings().find("IsStarted=1\n") != std::string::npos)
        << bed_.readSettings();
    EXPECT_TRUE(visible(ui().Image3) && !visible(ui().Image2)) << shown();
    EXPECT_EQ(client_->state(), "stopped");
}

TEST_F(FrontEndTest, ExitAsksTheFrontEndQuestionAndLeavesTheServiceRunning) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding(); }, kWaitMs)) << shown();

    boxes_.answers = {true};
    form_->exit1Click();
    ASSERT_EQ(boxes_.questions.size(), 1u);
    EXPECT_EQ(boxes_.questions[0],
              "Closing this program closes this window only: the NorvaHB service goes on with "
              "Heartbeat and Graceful Shutdown\rContinue?");
    EXPECT_FALSE(form_->isVisible());
    form_.reset();

    // The service goes on: on the bus, and its heartbeat still counts.
    const uint sent = client_->networkSent();
    EXPECT_TRUE(WaitFor([&] { return client_->networkSent() > sent; }, kWaitMs))
        << bed_.serviceLog();
    EXPECT_TRUE(client_->serviceRunning());
    EXPECT_EQ(bed_.loginCalls(), "");
}

// Settings changed elsewhere (another window, a bus call): Cancel and a switch to a settings
// page show the service's current values, as a window of its own shows the file's, and a
// change of mode reaches the window without a click.
TEST_F(FrontEndTest, CancelAndTabSwitchShowTheServicesCurrentValuesAndAModeChangeReachesIt) {
    bed_.writeSettings(Settings(udpPort_));
    bed_.setPolkit("* allow\n");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_NO_FATAL_FAILURE(startWindow());
    ASSERT_TRUE(WaitFor([&] { return showsResponding() && pagesShowTheService(); }, kWaitMs))
        << shown();

    QString applied = "unanswered";
    client_->applySettings({{"Setup/Freq", "7"}, {"GSD/username", "Other"}},
                           [&](const QString& error) { applied = error; });
    ASSERT_TRUE(WaitFor([&] { return applied != "unanswered"; }, kWaitMs));
    ASSERT_TRUE(applied.isEmpty()) << applied.toStdString();

    ui().theTabs->setCurrentIndex(1);
    ui().Freq->setText("9"); // an edit of this page, not applied
    ui().Button5->click();   // Cancel
    EXPECT_TRUE(WaitFor([&] { return ui().Freq->text() == "7"; }, kWaitMs))
        << ui().Freq->text().toStdString();

    ui().theTabs->setCurrentIndex(2);
    EXPECT_TRUE(WaitFor([&] { return ui().usermane->text() == "Other"; }, kWaitMs))
        << ui().usermane->text().toStdString();

    ui().theTabs->setCurrentIndex(0);
    applied = "unanswered";
    client_->applySettings({{"Setup/Network", "0"}, {"Setup/USB", "1"}},
                           [&](const QString& error) { applied = error; });
    ASSERT_TRUE(WaitFor([&] { return applied != "unanswered"; }, kWaitMs));
    ASSERT_TRUE(applied.isEmpty()) << applied.toStdString();
    EXPECT_TRUE(
        WaitFor([&] { return ui().usbRB->isChecked() && !ui().networkRB->isChecked(); }, kWaitMs));
    EXPECT_TRUE(
        WaitFor([&] { return visible(ui().comDetails) && !visible(ui().Details); }, kWaitMs));
    EXPECT_TRUE(boxes_.errors.empty()) << shown();
}

} // namespace
} // namespace norva
