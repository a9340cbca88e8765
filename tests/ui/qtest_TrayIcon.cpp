// The tray icon: what reaches the desktop's notification area, and how its clicks come back.
#include "support/FormFixture.h"
#include "ui/Icons.h"
#include "ui/TrayIcon.h"

#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <gtest/gtest.h>

#include <map>

using norva::TrayIcon;
using norva::test::bytes;
using norva::test::FormFixture;

namespace {

// The Qt icon behind the tray, as the desktop sees it.
QSystemTrayIcon* Native(TrayIcon& tray) {
    return tray.findChild<QSystemTrayIcon*>();
}

// Every answered heartbeat sets the good state again. Rendering the picture anew and handing the
// desktop a new icon each time made the program grow by every answer while docked in a tray.
TEST(TrayPictures, AnswersLeaveTheIconTheDesktopHasAlone) {
    FormFixture f("[Setup]\nShowStatusInTray=1\n");
    f.start();
    auto& network = f.form->agent().network;
    network.UDPServerUDPRead(bytes("NorvaACK"));
    ASSERT_EQ(f.form->tray.iconIndex(), 0);
    const qint64 responding = Native(f.form->tray)->icon().cacheKey();
    const int changes = f.form->tray.iconChanges();
    for (int i = 0; i < 50; ++i)
        network.UDPServerUDPRead(bytes("NorvaACK"));
    EXPECT_EQ(Native(f.form->tray)->icon().cacheKey(), responding);
    EXPECT_EQ(f.form->tray.iconChanges(), changes);

    // A failure and the next answer: two changes, and the responding picture is the one drawn
    // before, not a new one.
    network.FailCntr = 1;
    network.Timer2Timer();
    EXPECT_EQ(f.form->tray.iconIndex(), 1);
    EXPECT_NE(Native(f.form->tray)->icon().cacheKey(), responding);
    network.UDPServerUDPRead(bytes("NorvaACK"));
    EXPECT_EQ(Native(f.form->tray)->icon().cacheKey(), responding);
    EXPECT_EQ(f.form->tray.iconChanges(), changes + 2);
}

TEST(TrayPictures, EachPictureIsDrawnOnceAndGivenToTheDesktopOnlyWhenItChanges) {
    std::map<int, int> drawn;
    TrayIcon tray(TrayIcon::Host::XEmbed, [&](int index) {
        ++drawn[index];
        return norva::Icons::TrayPicture(index);
    });
    EXPECT_EQ(tray.iconChanges(), 1) << "the first picture, 0, when the icon is made";
    for (int index : {0, 0, 1, 1, 0, 2, 2, 3, 0, 1, 3})
        tray.setIconIndex(index);
    EXPECT_EQ(drawn, (std::map<int, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
    // 0 (made) -> 1 -> 0 -> 2 -> 3 -> 0 -> 1 -> 3
    EXPECT_EQ(tray.iconChanges(), 8);
    EXPECT_EQ(tray.iconIndex(), 3);
}

// Qt reports a press of the left button on an X11 tray icon as Trigger and a double click as
// DoubleClick; a StatusNotifierItem host has no double click, its activation arrives as Trigger.
struct ActivationCase {
    const char* name;
    TrayIcon::Host host;
    QSystemTrayIcon::ActivationReason reason;
    int doubleClicks;
    int rightPresses;
};

class TrayActivation : public testing::TestWithParam<ActivationCase> {};

TEST_P(TrayActivation, ReachesTheHandlerOfItsKind) {
    const auto& c = GetParam();
    TrayIcon tray(c.host, norva::Icons::TrayPicture);
    QSignalSpy doubleClicked(&tray, &TrayIcon::doubleClicked);
    QSignalSpy rightPressed(&tray, &TrayIcon::rightButtonPressed);
    emit Native(tray)->activated(c.reason);
    EXPECT_EQ(doubleClicked.count(), c.doubleClicks);
    EXPECT_EQ(rightPressed.count(), c.rightPresses);
}

using Host = TrayIcon::Host;
INSTANTIATE_TEST_SUITE_P(
    Cases, TrayActivation,
    testing::Values(
        ActivationCase{"X11SingleClickDoesNothing", Host::XEmbed, QSystemTrayIcon::Trigger, 0, 0},
        ActivationCase{"X11DoubleClick", Host::XEmbed, QSystemTrayIcon::DoubleClick, 1, 0},
        ActivationCase{"X11RightButton", Host::XEmbed, QSystemTrayIcon::Context, 0, 1},
        ActivationCase{"X11MiddleButton", Host::XEmbed, QSystemTrayIcon::MiddleClick, 0, 0},
        ActivationCase{"SniActivate", Host::StatusNotifier, QSystemTrayIcon::Trigger, 1, 0},
        ActivationCase{"SniContextMenu", Host::StatusNotifier, QSystemTrayIcon::Context, 0, 1},
        ActivationCase{"SniSecondaryActivate", Host::StatusNotifier, QSystemTrayIcon::MiddleClick,
                       0, 0}),
    [](const auto& p) { return std::string(p.param.name); });

// A StatusNotifier host draws the menu itself, so Qt is given it to put on D-Bus. The X11 tray is
// not: Qt would open it itself on the right button's release, while the owner opens it on the
// press.
TEST(TrayMenu, GoesToQtOnlyForAStatusNotifierHost) {
    for (const auto& [host, handedOver] :
         {std::pair{Host::StatusNotifier, true}, std::pair{Host::XEmbed, false}}) {
        TrayIcon tray(host, norva::Icons::TrayPicture);
        QMenu menu;
        menu.addAction("Start");
        tray.setContextMenu(&menu);
        EXPECT_EQ(Native(tray)->contextMenu(), handedOver ? &menu : nullptr)
            << (host == Host::XEmbed ? "XEmbed" : "StatusNotifier");
    }
}

// Without a notification area (the tests' offscreen platform) there is nothing to ask.
TEST(TrayHost, WithoutATrayIsTheX11Kind) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_EQ(TrayIcon::DetectHost(), TrayIcon::Host::XEmbed);
}

} // namespace
