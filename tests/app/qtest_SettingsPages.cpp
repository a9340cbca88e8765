// The two settings pages of the main window: filling them from the settings file, Apply and
// Cancel, the Apply bracket around a running heartbeat, and the start-up reload of the
// address and port (LoadVars).
#include "support/FormFixture.h"
#include "transport/ComPortMap.h"
#include "ui/CEditIPAddr.h"
#include "ui/TAboutBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <vector>

using norva::SettingsFile;
using norva::test::FormFixture;
using norva::test::FreePort;

namespace {

const char* const kBadAddress = "Bad IP address string given to component";

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Which of the three mode buttons is checked, as one word; "?" when not exactly one.
std::string mode(const norva::TForm1Ui& ui) {
    const int n =
        int(ui.networkRB->isChecked()) + int(ui.usbRB->isChecked()) + int(ui.noneRB->isChecked());
    if (n != 1)
        return "?";
    return ui.networkRB->isChecked() ? "Network" : ui.usbRB->isChecked() ? "USB" : "None";
}

QStringList entries(const QComboBox* box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

// Settings that make the network heartbeat run at start-up, on a free loopback port.
std::string runningNetwork(const std::string& extra = "") {
    return "[Run]\nIsStarted=1\n[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nFreq=5\nFailCount=3\nPort=" +
           std::to_string(FreePort()) + "\n" + extra;
}

// ---------------------------------------------------------------------------------------
// Filling the heartbeat page

TEST(HeartbeatPage, WithoutSetupSectionEveryControlTakesItsDefault) {
    FormFixture f("[GSD]\nUsername=alice\n");
    f.start();
    auto& ui = f.form->ui;
    EXPECT_TRUE(f.boxes.errors.empty());
    // Start-up ends with LoadVars, whose address default is empty.
    EXPECT_EQ(ui.IPAddr->Text(), "");
    EXPECT_EQ(ui.Port->text(), "9100");

    // Everything on the page differs from the defaults before the fill.
    ui.Freq->setText("77");
    ui.Fail->setText("9");
    ui.Port->setText("1");
    ui.usbRB->setChecked(true);
    ui.startInTrayCB->setChecked(true);
    ui.showStatusInTrayCB->setChecked(true);
    f.form->pages.loadSetup(f.form->agent().settings(true));

    EXPECT_TRUE(f.boxes.errors.empty());
    EXPECT_EQ(ui.Freq->text(), "5");
    EXPECT_EQ(ui.Fail->text(), "3");
    EXPECT_EQ(ui.IPAddr->Text(), "0.0.0.0");
    EXPECT_EQ(ui.Port->text(), "9100");
    EXPECT_EQ(mode(ui), "None");
    EXPECT_EQ(ui.comPort->currentIndex(), -1);
    EXPECT_FALSE(ui.startInTrayCB->isChecked());
    EXPECT_FALSE(ui.showStatusInTrayCB->isChecked());
}

TEST(HeartbeatPage, BuildingTheDialogsReloadsOnlyTheAddressAndPort) {
    FormFixture f("[Setup]\nIPAddr=10.20.30.40\nFreq=8\n");
    norva::RunGuarded(f.boxes, [&] { f.form->FormCreate(); });
    ASSERT_EQ(f.form->ui.IPAddr->Text(), "10.20.30.40");
    SettingsFile ini(f.dir.path());
    ini.WriteString("Setup", "IPAddr", "1.2.3.4");
    ini.WriteString("Setup", "Port", "123");
    ini.WriteString("Setup", "Freq", "9");
    f.form->BuildDialogs();
    EXPECT_TRUE(f.boxes.errors.empty());
    EXPECT_EQ(f.form->ui.IPAddr->Text(), "1.2.3.4");
    EXPECT_EQ(f.form->ui.Port->text(), "123");
    EXPECT_EQ(f.form->ui.Freq->text(), "8");
}

struct ModeCase {
    const char* name;
    const char* usb;     // nullptr: key missing
    const char* network; // nullptr: key missing
    const char* expected;
};

class ModeFill : public testing::TestWithParam<ModeCase> {};

// Each case is filled twice, from each of the other two buttons, so a button that the fill
// fails to uncheck shows up whichever one the user had picked.
TEST_P(ModeFill, FollowsTheTwoStoredBooleans) {
    const auto& c = GetParam();
    std::string setup = "[Setup]\n";
    if (c.usb)
        setup += std::string("USB=") + c.usb + "\n";
    if (c.network)
        setup += std::string("Network=") + c.network + "\n";
    FormFixture f(setup);
    f.start();
    auto& ui = f.form->ui;
    EXPECT_EQ(mode(ui), c.expected);
    for (QRadioButton* before : {ui.networkRB, ui.usbRB, ui.noneRB}) {
        if (before->text() == c.expected)
            continue;
        before->setChecked(true);
        f.form->pages.loadSetup(f.form->agent().settings(true));
        EXPECT_EQ(mode(ui), c.expected) << "picked " << before->text().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ModeFill,
                         testing::Values(ModeCase{"UsbOnly", "1", "0", "USB"},
                                         ModeCase{"BothFalse", "0", "0", "None"},
                                         ModeCase{"BothMissing", nullptr, nullptr, "None"},
                                         ModeCase{"BothTrueNetworkWins", "1", "1", "Network"},
                                         ModeCase{"AnyNonZeroIsTrue", "2", nullptr, "USB"},
                                         ModeCase{"HexIsANumber", "0", "0x1", "Network"},
                                         ModeCase{"WordTrueIsNoInteger", "true", "0", "None"},
                                         ModeCase{"EmptyIsFalse", "", "", "None"}),
                         [](const auto& p) { return std::string(p.param.name); });

// Two pseudo-terminals pinned as COM3 and COM7 in the settings folder.
class PortList : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(f.dir / "NorvaHB-ports");
        for (int n : {3, 7}) {
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_GE(master, 0);
            masters.push_back(master);
            ASSERT_EQ(::grantpt(master), 0);
            ASSERT_EQ(::unlockpt(master), 0);
            std::filesystem::create_symlink(::ptsname(master),
                                            f.dir / "NorvaHB-ports" / ("COM" + std::to_string(n)));
        }
    }
    void TearDown() override {
        f.form.reset(); // closes the serial port before its device goes away
        for (int m : masters)
            ::close(m);
    }

    // The entries the page must list: the two pins among whatever ports the machine has.
    QStringList expectedEntries() const {
        const norva::ComPortMap map(f.dir.path());
        QStringList list;
        for (unsigned n = 1; n <= 50; ++n)
            if (n == 3 || n == 7 || map.IsComPortAvailable(static_cast<std::uint16_t>(n)))
                list << QString("COM%1").arg(n);
        return list;
    }

    FormFixture f{"[Setup]\nUSB=1\nComPort=COM7\n"};
    std::vector<int> masters;
};

TEST_F(PortList, ListsPresentPortsAndSelectsTheStoredOneIncludingTheOpenOne) {
    f.start();
    auto& ui = f.form->ui;
    ASSERT_TRUE(f.boxes.errors.empty()) << f.boxes.errors[0];
    // Start-up opened COM7 for the serial heartbeat; it is listed all the same.
    EXPECT_TRUE(f.form->agent().myPort.Open());
    f.form->pages.loadSetup(f.form->agent().settings(true));
    EXPECT_EQ(entries(ui.comPort), expectedEntries());
    EXPECT_EQ(ui.comPort->currentText(), "COM7");

    // A second fill does not pile up entries.
    f.form->pages.loadSetup(f.form->agent().settings(true));
    EXPECT_EQ(entries(ui.comPort), expectedEntries());
}

TEST_F(PortList, OtherLetterCaseSelectsNothingAndApplyStoresEmpty) {
    f.start();
    auto& ui = f.form->ui;
    SettingsFile(f.dir.path()).WriteString("Setup", "ComPort", "com7");
    f.form->pages.loadSetup(f.form->agent().settings(true));
    EXPECT_EQ(entries(ui.comPort), expectedEntries());
    EXPECT_EQ(ui.comPort->currentIndex(), -1);

    ui.Button6->click();
    EXPECT_TRUE(f.boxes.errors.empty());
    EXPECT_EQ(f.setting("Setup", "ComPort"), "");

    // A selection made on the page is what Apply stores.
    ui.comPort->setCurrentIndex(static_cast<int>(entries(ui.comPort).indexOf("COM3")));
    ui.Button6->click();
    EXPECT_EQ(f.setting("Setup", "ComPort"), "COM3");
}

// ---------------------------------------------------------------------------------------
// Heartbeat Apply

struct WrittenCase {
    const char* name;
    QRadioButton* norva::TForm1Ui::*button;
    bool startInTray;
    bool statusInTray;
    const char* network;
    const char* usb;
};

class ApplyWrites : public testing::TestWithParam<WrittenCase> {};

TEST_P(ApplyWrites, EveryKeyHoldsWhatThePageShowed) {
    const auto& c = GetParam();
    FormFixture f("[Setup]\nNetwork=1\nUSB=1\nFreq=8\nStartInTray=1\nShowStatusInTray=1\n");
    f.start();
    auto& ui = f.form->ui;
    ui.Freq->setText("12");
    ui.Fail->setText("");
    ui.Port->setText("99999"); // beyond a port number, stored as typed
    // Fields 10, -, -, 5: read as 10.0.0.5, and the empty fields then show 0.
    ui.IPAddr->triplet(0)->setText("10");
    ui.IPAddr->triplet(1)->clear();
    ui.IPAddr->triplet(2)->clear();
    ui.IPAddr->triplet(3)->setText("5");
    (ui.*c.button)->setChecked(true);
    ui.startInTrayCB->setChecked(c.startInTray);
    ui.showStatusInTrayCB->setChecked(c.statusInTray);

    ui.Button6->click();
    ASSERT_TRUE(f.boxes.errors.empty()) << f.boxes.errors[0];
    EXPECT_EQ(ui.IPAddr->triplet(1)->text(), "0");

    const SettingsFile ini(f.dir.path());
    auto key = [&](const char* k) { return ini.ReadString("Setup", k, "<missing>"); };
    EXPECT_EQ(key("ComPort"), "");
    EXPECT_EQ(key("Freq"), "12");
    EXPECT_EQ(key("FailCount"), "");
    EXPECT_EQ(key("IPAddr"), "10.0.0.5");
    EXPECT_EQ(key("Port"), "99999");
    EXPECT_EQ(key("StartInTray"), c.startInTray ? "1" : "0");
    EXPECT_EQ(key("ShowStatusInTray"), c.statusInTray ? "1" : "0");
    EXPECT_EQ(key("Network"), c.network);
    EXPECT_EQ(key("USB"), c.usb);
    EXPECT_EQ(ini.ReadString("Run", "IsStarted", "<missing>"), "<missing>")
        << "Apply never writes IsStarted";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApplyWrites,
    testing::Values(WrittenCase{"Usb", &norva::TForm1Ui::usbRB, true, false, "0", "1"},
                    WrittenCase{"Network", &norva::TForm1Ui::networkRB, false, true, "1", "0"},
                    WrittenCase{"None", &norva::TForm1Ui::noneRB, false, false, "0", "0"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(HeartbeatApply, WhileRunningRestartsWithTheNewValuesAndKeepsTheCounters) {
    FormFixture f(runningNetwork());
    f.start();
    auto& net = f.form->agent().network;
    ASSERT_TRUE(f.boxes.errors.empty()) << f.boxes.errors[0];
    ASSERT_TRUE(net.Timer1.isActive());
    ASSERT_EQ(net.Reload, 5);
    net.sentCount = 41;
    net.rcvdCount = 30;
    net.badCount = 2;
    net.missedCount = 7;
    net.FailCntr = 1;

    f.form->ui.Freq->setText("9");
    f.form->ui.Fail->setText("4");
    f.form->ui.Button6->click();

    ASSERT_TRUE(f.boxes.errors.empty()) << f.boxes.errors[0];
    EXPECT_TRUE(net.Timer1.isActive());
    EXPECT_EQ(net.Reload, 9);
    EXPECT_EQ(net.countDown, 9);
    EXPECT_EQ(net.FailCntr, 4) << "the miss budget starts over";
    EXPECT_EQ(net.sentCount, 42u) << "one heartbeat at the restart, counted on";
    // On loopback the endpoint also receives its own heartbeat, whenever it gets delivered.
    EXPECT_GE(net.rcvdCount, 30u);
    EXPECT_EQ(net.badCount, 2u);
    EXPECT_EQ(net.missedCount, 7u);
    EXPECT_EQ(f.form->ui.Sent->text(), "42");
    EXPECT_EQ(f.form->ui.Label1->text(), "OK");
    EXPECT_EQ(f.setting("Run", "IsStarted"), "1");
}

struct TrayCase {
    const char* name;
    bool isStarted;
    bool statusInTray;
    int picture;
    const char* balloon;
};

class ApplyTray : public testing::TestWithParam<TrayCase> {};

// Network mode with settings that would run: Apply on its own starts nothing, and the tray
// follows the box on the page and the stored running state.
TEST_P(ApplyTray, StoppedHeartbeatStaysStoppedAndTrayIsSet) {
    const auto& c = GetParam();
    FormFixture f("[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=" + std::to_string(FreePort()) +
                  "\n");
    f.start();
    auto& ui = f.form->ui;
    if (c.isStarted) // started in an earlier run, but this one stopped it; mode None now
        SettingsFile(f.dir.path()).WriteBool("Run", "IsStarted", true);
    if (c.isStarted)
        ui.noneRB->setChecked(true);
    ui.showStatusInTrayCB->setChecked(c.statusInTray);
    f.form->tray.setIconIndex(1);
    f.form->tray.setBalloonText("before");

    ui.Button6->click();

    EXPECT_TRUE(f.boxes.errors.empty());
    EXPECT_FALSE(f.form->agent().network.Timer1.isActive());
    EXPECT_FALSE(f.form->agent().serial.comFreq.isActive());
    EXPECT_EQ(f.form->agent().network.sentCount, 0u);
    EXPECT_EQ(f.form->tray.iconIndex(), c.picture);
    EXPECT_EQ(f.form->tray.balloonText(), c.balloon);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApplyTray,
    testing::Values(TrayCase{"StatusInTray", false, true, 3, "Heartbeat is not running"},
                    TrayCase{"Plain", false, false, 2, "Norva utility"},
                    TrayCase{"StartedStatusInTray", true, true, 0, "Norva is responding"},
                    TrayCase{"StartedPlain", true, false, 2, "Norva utility"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(HeartbeatApply, NoneWhileStartedStopsTheHeartbeatAndKeepsIsStarted) {
    FormFixture f(runningNetwork());
    f.start();
    ASSERT_TRUE(f.form->agent().network.Timer1.isActive());
    f.form->ui.noneRB->setChecked(true);
    f.form->ui.Button6->click();
    EXPECT_TRUE(f.boxes.errors.empty());
    EXPECT_FALSE(f.form->agent().network.Timer1.isActive());
    EXPECT_FALSE(f.form->agent().network.Timer2.isActive());
    EXPECT_EQ(f.form->ui.Label1->text(), "Stopped");
    EXPECT_EQ(f.setting("Run", "IsStarted"), "1");
    EXPECT_EQ(f.setting("Setup", "Network"), "0");
    EXPECT_EQ(f.setting("Setup", "USB"), "0");
}

TEST(HeartbeatApply, EmptyFrequencyIsStoredEmptyAndTheRestartDoesNothing) {
    FormFixture f(runningNetwork());
    f.start();
    ASSERT_TRUE(f.form->agent().network.Timer1.isActive());
    const auto sent = f.form->agent().network.sentCount;
    f.form->ui.Freq->clear();
    f.form->ui.Button6->click();
    EXPECT_TRUE(f.boxes.errors.empty()) << f.boxes.errors[0];
    EXPECT_EQ(f.setting("Setup", "Freq"), "");
    EXPECT_FALSE(f.form->agent().network.Timer1.isActive());
    EXPECT_EQ(f.form->agent().network.sentCount, sent);
}

TEST(HeartbeatApply, RefusedWriteShowsTheErrorLeavesTheFileAndSkipsTheRest) {
    FormFixture f(runningNetwork());
    f.start();
    ASSERT_TRUE(f.form->agent().network.Timer1.isActive());
    const std::string before = f.dir.read("NorvaHB");
    std::filesystem::permissions(f.dir / "NorvaHB", std::filesystem::perms::owner_read);
    f.form->ui.showStatusInTrayCB->setChecked(true);

    f.form->ui.Freq->setText("9");
    f.form->ui.Button6->click();

    ASSERT_EQ(f.boxes.errors.size(), 1u);
    EXPECT_EQ(f.boxes.errors[0], "Unable to write to NorvaHB.");
    EXPECT_EQ(f.dir.read("NorvaHB"), before);
    // Stopped by the bracket and, with the remaining steps skipped, not started again.
    EXPECT_FALSE(f.form->agent().network.Timer1.isActive());
    // The tray shows the stop, not step 6 ("Norva is responding").
    EXPECT_EQ(f.form->tray.iconIndex(), 3);
    EXPECT_EQ(f.form->tray.balloonText(), "Heartbeat is not running");
}

// ---------------------------------------------------------------------------------------
// Cancel, tab switches and the input rules

TEST(HeartbeatPage, CancelAndComingBackToTheTabDiscardUnappliedEdits) {
    FormFixture f("[Setup]\nFreq=7\nUSB=1\n");
    f.start();
    f.form->show();
    auto& ui = f.form->ui;
    ui.theTabs->setCurrentIndex(1);
    ui.Freq->setText("99");
    ui.networkRB->setChecked(true);
    ui.Button5->click();
    EXPECT_EQ(ui.Freq->text(), "7");
    EXPECT_EQ(mode(ui), "USB");

    ui.Freq->setText("99");
    ui.noneRB->setChecked(true);
    ui.theTabs->setCurrentIndex(0);
    ui.theTabs->setCurrentIndex(1);
    EXPECT_EQ(ui.Freq->text(), "7");
    EXPECT_EQ(mode(ui), "USB");
}

// Start refills the page from the stored settings, dropping what was typed or chosen and not
// applied, and both counter panels show the cleared counts. (What Start does with the heartbeat
// is tested without a window, tests/heartbeat.)
TEST(HeartbeatPage, StartRefillsThePageAndClearsBothCounterPanels) {
    FormFixture f("[Run]\nIsStarted=1\n[Setup]\nFreq=7\n");
    f.start();
    auto& ui = f.form->ui;
    ui.Sent->setText("4"); // counted before
    ui.comSent->setText("3");
    ui.Freq->setText("9");
    ui.usbRB->setChecked(true);
    f.form->ui.Button2->click();
    EXPECT_EQ(ui.Freq->text(), "7");
    EXPECT_EQ(mode(ui), "None");
    EXPECT_EQ(ui.Sent->text(), "0");
    EXPECT_EQ(ui.comSent->text(), "0");
}

struct DigitsCase {
    const char* name;
    QLineEdit* norva::TForm1Ui::*field;
    const char* expected;
};

class DigitsOnly : public testing::TestWithParam<DigitsCase> {};

TEST_P(DigitsOnly, TypingKeepsDigitsUpToTheLimit) {
    const auto& c = GetParam();
    FormFixture f;
    f.start();
    f.form->show();
    f.form->ui.theTabs->setCurrentIndex(1);
    QLineEdit* field = f.form->ui.*c.field;
    field->clear();
    field->setFocus();
    QTest::keyClicks(field, "a1 b2.c3-d4e5f6");
    EXPECT_EQ(field->text().toStdString(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Fields, DigitsOnly,
                         testing::Values(DigitsCase{"Freq", &norva::TForm1Ui::Freq, "123"},
                                         DigitsCase{"Fail", &norva::TForm1Ui::Fail, "12"},
                                         DigitsCase{"Port", &norva::TForm1Ui::Port, "12345"}),
                         [](const auto& p) { return std::string(p.param.name); });

// The limits hold typing only: a value edited into the file by hand is shown whole, and an
// Apply that changes something else stores it unchanged.
TEST(HeartbeatPage, StoredValuesBeyondTheTypingLimitsAreShownAndAppliedWhole) {
    FormFixture f("[Setup]\nFreq=1000\nFailCount=123\nPort=123456\n");
    f.start(); // the fill, then LoadVars, which sets the port again
    auto& ui = f.form->ui;
    ASSERT_TRUE(f.boxes.errors.empty()) << f.boxes.errors[0];
    EXPECT_EQ(ui.Freq->text().toStdString(), "1000");
    EXPECT_EQ(ui.Fail->text().toStdString(), "123");
    EXPECT_EQ(ui.Port->text().toStdString(), "123456");

    ui.startInTrayCB->setChecked(true);
    ui.Button6->click();
    ASSERT_TRUE(f.boxes.errors.empty()) << f.boxes.errors[0];
    EXPECT_EQ(f.setting("Setup", "Freq"), "1000");
    EXPECT_EQ(f.setting("Setup", "FailCount"), "123");
    EXPECT_EQ(f.setting("Setup", "Port"), "123456");
    EXPECT_EQ(f.setting("Setup", "StartInTray"), "1");

    f.form->pages.loadSetup(f.form->agent().settings(true));
    EXPECT_EQ(ui.Freq->text().toStdString(), "1000");
    EXPECT_EQ(ui.Port->text().toStdString(), "123456");
}

struct OverlongCase {
    const char* name;
    QLineEdit* norva::TForm1Ui::*field;
    const char* key;
    const char* stored; // one character beyond the field's limit
};

void PrintTo(const OverlongCase& c, std::ostream* os) {
    *os << c.name;
}

class TypingOnAnOverlongValue : public testing::TestWithParam<OverlongCase> {};

// A field showing more than its limit can be shortened but never lengthened, and once
// within the limit it takes digits up to the limit again.
TEST_P(TypingOnAnOverlongValue, ShortensButNeverGrows) {
    const auto& c = GetParam();
    FormFixture f(std::string("[Setup]\n") + c.key + "=" + c.stored + "\n");
    f.start();
    f.form->show();
    f.form->ui.theTabs->setCurrentIndex(1);
    QLineEdit* field = f.form->ui.*c.field;
    const std::string stored = c.stored;
    auto text = [field] { return field->text().toStdString(); };
    ASSERT_EQ(text(), stored);
    field->setFocus();
    field->end(false);

    QTest::keyClicks(field, "9x");
    EXPECT_EQ(text(), stored) << "nothing is added to an overlong value";
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(text(), stored.substr(0, stored.size() - 1));
    QTest::keyClicks(field, "9");
    EXPECT_EQ(text(), stored.substr(0, stored.size() - 1)) << "at the limit";
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, "x8y7");
    EXPECT_EQ(text(), stored.substr(0, stored.size() - 2) + "8");

    // Selecting the whole value and typing over it starts again within the limit.
    field->selectAll();
    QTest::keyClicks(field, "4321x0987");
    EXPECT_EQ(text(), std::string("4321098").substr(0, stored.size() - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, TypingOnAnOverlongValue,
    testing::Values(OverlongCase{"Freq", &norva::TForm1Ui::Freq, "Freq", "1000"},
                    OverlongCase{"Fail", &norva::TForm1Ui::Fail, "FailCount", "123"},
                    OverlongCase{"Port", &norva::TForm1Ui::Port, "Port", "123456"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------------------
// Keyboard focus

// Where each Tab press moves the focus, starting at the tab strip, until the focus comes
// back to the strip (at most 40 presses).
std::vector<QWidget*> tabbingFromTheStrip(QTabWidget* tabs) {
    QWidget* strip = tabs->tabBar();
    strip->setFocus(Qt::TabFocusReason);
    std::vector<QWidget*> visited;
    for (int i = 0; i < 40; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        if (now == strip || now == nullptr)
            break;
        visited.push_back(now);
    }
    return visited;
}

class TabOrder : public testing::TestWithParam<int> {};

// The off-screen Button9 starts a ten-second restart from the keyboard; it is third among the
// window's own controls (Memo1, the pages, Button9), so the Tab key reaches it only after
// every control of the page on show.
TEST_P(TabOrder, ReachesButton9OnlyAfterThePageControls) {
    FormFixture f;
    f.start();
    auto& ui = f.form->ui;
    f.form->show();
    QApplication::setActiveWindow(f.form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.form.get()));
    ui.theTabs->setCurrentIndex(GetParam());
    QWidget* page = ui.theTabs->currentWidget();

    const std::vector<QWidget*> visited = tabbingFromTheStrip(ui.theTabs);
    std::vector<std::string> names; // for the failure messages
    for (QWidget* w : visited) {
        const auto* b = qobject_cast<QAbstractButton*>(w);
        names.push_back(b ? b->text().toStdString() : w->metaObject()->className());
    }
    const auto button9 = std::find(visited.begin(), visited.end(), ui.Button9) - visited.begin();
    ASSERT_LT(button9, std::ssize(visited)) << testing::PrintToString(names);
    ASSERT_GT(button9, 0) << "first Tab from the strip: " << names[0];
    for (std::ptrdiff_t i = 0; i < button9; ++i)
        EXPECT_TRUE(page->isAncestorOf(visited[i])) << testing::PrintToString(names);
    // After Button9: Memo1, then the strip again.
    EXPECT_EQ(std::vector<std::string>(names.begin() + button9, names.end()),
              (std::vector<std::string>{"Button9", "QPlainTextEdit"}));

    // The chain itself, whichever page shows: Memo1, the page control with all its pages,
    // then Button9.
    std::vector<QWidget*> chain;
    for (QWidget* w = ui.Memo1->nextInFocusChain(); w != ui.Memo1 && chain.size() < 500;
         w = w->nextInFocusChain())
        chain.push_back(w);
    const auto at = [&](QWidget* w) { return std::find(chain.begin(), chain.end(), w); };
    ASSERT_LT(at(ui.theTabs), at(ui.Button9));
    for (QWidget* control : {static_cast<QWidget*>(ui.Button4), static_cast<QWidget*>(ui.Button6),
                             static_cast<QWidget*>(ui.Button8), static_cast<QWidget*>(ui.Freq)})
        EXPECT_LT(at(control), at(ui.Button9));
}

INSTANTIATE_TEST_SUITE_P(Pages, TabOrder, testing::Values(0, 1, 2));

// ---------------------------------------------------------------------------------------
// A stored address that is not one

TEST(BadStoredAddress, FillStopsAtTheAddressAndKeepsTheLaterControls) {
    FormFixture f("[Setup]\nIPAddr=10.0.0.1\n");
    f.start();
    auto& ui = f.form->ui;
    ASSERT_TRUE(f.boxes.errors.empty());
    SettingsFile(f.dir.path()).WriteString("Setup", "IPAddr", "300.1.1.1");
    for (const char* k : {"Port", "Freq"})
        SettingsFile(f.dir.path()).WriteString("Setup", k, "42");
    for (const char* k : {"USB", "StartInTray", "ShowStatusInTray"})
        SettingsFile(f.dir.path()).WriteBool("Setup", k, true);

    ui.Button5->click(); // Cancel: the fill, with the general error box

    ASSERT_EQ(f.boxes.errors.size(), 1u);
    EXPECT_TRUE(startsWith(f.boxes.errors[0], kBadAddress)) << f.boxes.errors[0];
    EXPECT_EQ(ui.Freq->text(), "42") << "the step before the address ran";
    EXPECT_EQ(ui.IPAddr->Text(), "10.0.0.1");
    EXPECT_EQ(ui.Port->text(), "9100");
    EXPECT_EQ(mode(ui), "None");
    EXPECT_FALSE(ui.startInTrayCB->isChecked());
    EXPECT_FALSE(ui.showStatusInTrayCB->isChecked());
}

TEST(BadStoredAddress, EndsTheStartUpSequenceEarly) {
    FormFixture f("[Setup]\nIPAddr=300.1.1.1\n[GracefulRestart]\nSourceIP=127.0.0.1\n");
    const QString statusBefore = f.form->ui.Label1->text();
    f.start();
    ASSERT_FALSE(f.boxes.errors.empty());
    EXPECT_TRUE(startsWith(f.boxes.errors[0], kBadAddress)) << f.boxes.errors[0];
    // Neither the resume step (which would show "Stopped") nor the restart notice ran.
    EXPECT_EQ(f.form->ui.Label1->text(), statusBefore);
    EXPECT_EQ(f.setting("GracefulRestart", "SourceIP"), "127.0.0.1");
}

// ---------------------------------------------------------------------------------------
// Shutdown page

TEST(ShutdownPage, ApplyWritesLowerCaseUsernameThatTheFillFinds) {
    FormFixture f;
    f.start();
    auto& ui = f.form->ui;
    EXPECT_EQ(ui.usermane->text(), "Ostra");
    EXPECT_EQ(ui.password->text(), "ferno");
    EXPECT_FALSE(ui.alaertPendingActionCB->isChecked());

    ui.usermane->setText("bob");
    ui.password->setText("s3cret");
    ui.alaertPendingActionCB->setChecked(true);
    ui.Button7->click();
    ASSERT_TRUE(f.boxes.errors.empty()) << f.boxes.errors[0];
    const std::string text = f.dir.read("NorvaHB");
    EXPECT_NE(text.find("[GSD]"), std::string::npos) << text;
    EXPECT_NE(text.find("username=bob"), std::string::npos) << text;
    EXPECT_NE(text.find("Password=s3cret"), std::string::npos) << text;
    EXPECT_NE(text.find("AlertPedningAction=1"), std::string::npos) << text;

    ui.usermane->setText("typed");
    ui.password->setText("typed");
    ui.alaertPendingActionCB->setChecked(false);
    ui.Button8->click(); // Cancel
    EXPECT_EQ(ui.usermane->text(), "bob");
    EXPECT_EQ(ui.password->text(), "s3cret");
    EXPECT_TRUE(ui.alaertPendingActionCB->isChecked());
}

TEST(ShutdownPage, ApplyReplacesAStoredUsernameOfOtherCase) {
    FormFixture f("[GSD]\nUsername=alice\n");
    f.start();
    f.form->ui.usermane->setText("bob");
    f.form->ui.Button7->click();
    EXPECT_EQ(f.setting("GSD", "Username"), "bob");
    const QString text = QString::fromStdString(f.dir.read("NorvaHB"));
    EXPECT_EQ(text.count("username=", Qt::CaseInsensitive), 1) << text.toStdString();
}

TEST(ShutdownPage, PasswordShowsStars) {
    FormFixture f("[GSD]\nPassword=abc12\n");
    f.start();
    EXPECT_EQ(f.form->ui.password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(f.form->ui.password->displayText(), "*****");
}

TEST(ShutdownPage, SwitchingTabsShowsTheStoredNameAgain) {
    FormFixture f("[GSD]\nUsername=alice\n");
    f.start();
    f.form->show();
    auto& ui = f.form->ui;
    ui.theTabs->setCurrentIndex(2);
    ui.usermane->selectAll();
    ui.usermane->setFocus();
    QTest::keyClicks(ui.usermane, "mallory");
    ASSERT_EQ(ui.usermane->text(), "mallory");
    ui.theTabs->setCurrentIndex(0);
    ui.theTabs->setCurrentIndex(2);
    EXPECT_EQ(ui.usermane->text(), "alice");
}

// ---------------------------------------------------------------------------------------
// The About command

TEST(AboutCommand, OpensOneNonBlockingWindowAndReusesIt) {
    FormFixture f;
    f.start();
    f.form->show();
    f.form->ui.About1->trigger();
    ASSERT_NE(f.form->AboutBox, nullptr);
    EXPECT_TRUE(f.form->AboutBox->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    f.form->ui.About1->trigger();
    int boxes = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<norva::TAboutBox*>(w) && w->isVisible())
            ++boxes;
    EXPECT_EQ(boxes, 1);
}

} // namespace
