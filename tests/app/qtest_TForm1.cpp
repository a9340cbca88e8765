// The application object: start-up sequence, tray states, alerts and closing.
#include "commands/Twarning.h"
#include "support/FormFixture.h"
#include "ui/CEditIPAddr.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <gtest/gtest.h>

using norva::test::FormFixture;

using norva::test::visible;

namespace {

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
    EXPECT_FALSE(f.form->network.Timer1.isActive());
    EXPECT_FALSE(f.form->serial.comFreq.isActive());
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
    const auto port = norva::test::FreeUdpPort();
    FormFixture f("[Run]\nIsStarted=1\n[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nFreq=abc\nPort=" +
                  std::to_string(port) + "\n[GracefulRestart]\nSourceIP=127.0.0.1\n");
    f.start();
    ASSERT_EQ(f.boxes.errors.size(), 1u);
    EXPECT_EQ(f.boxes.errors[0], "''abc'' is not a valid integer value.");
    EXPECT_FALSE(f.form->network.Timer1.isActive());
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
    EXPECT_NE(f.form->MyIni, nullptr);

    f.boxes.answers = {true};
    f.form->exit1Click();
    EXPECT_FALSE(f.form->isVisible());
    EXPECT_EQ(f.form->MyIni, nullptr);
    EXPECT_FALSE(f.form->theServer.Active());
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
    f.form->network.FailCntr = 1;
    f.form->network.Timer2Timer();
    EXPECT_TRUE(f.form->view.failed);
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

TEST(MainWindow, ClearAndResetClearBothPanels) {
    FormFixture f;
    f.start();
    f.form->network.sentCount = 5;
    f.form->serial.comSentCount = 7;
    f.form->ui.Button1->click(); // Reset on the USB panel
    EXPECT_EQ(f.form->network.sentCount, 0u);
    EXPECT_EQ(f.form->serial.comSentCount, 0u);
    EXPECT_EQ(f.form->ui.Sent->text(), "0");
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
