// The tray icon on a desktop whose notification area is a StatusNotifierItem host (KDE Plasma,
// GNOME with the AppIndicator extension, most current panels). Qt puts the icon on D-Bus there,
// and a click on it arrives as the item's Activate call: never as a double click.
//
// Runs on an X display with a session bus of its own (with-display-and-session-bus.sh), with
// sni-watcher as the desktop's watcher; the test calls the item over the bus as a panel does.
#include "support/FormFixture.h"
#include "support/WaitFor.h"
#include "ui/TrayIcon.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcess>
#include <gtest/gtest.h>

#include <functional>

#ifndef NORVA_SNI_WATCHER
#error "NORVA_SNI_WATCHER (the sni-watcher program) must be defined by the build"
#endif

using norva::TrayIcon;
using norva::test::FormFixture;
using norva::test::WaitFor;

namespace {

class TrayOnStatusNotifierHost : public testing::Test {
protected:
    void SetUp() override {
        // Only ever the bus the wrapper started: the panel of a desktop this test might run
        // in must not see a stray icon, nor the test a stray panel.
        const QByteArray pid = qgetenv("NORVA_TEST_SESSION_BUS_PID");
        ASSERT_FALSE(pid.isEmpty()) << "run through with-display-and-session-bus.sh";
        auto* bus = QDBusConnection::sessionBus().interface();
        ASSERT_NE(bus, nullptr) << "no session bus";
        const auto daemon = bus->servicePid(QStringLiteral("org.freedesktop.DBus"));
        ASSERT_TRUE(daemon.isValid());
        ASSERT_EQ(QByteArray::number(daemon.value()), pid) << "not the private session bus";
    }

    ~TrayOnStatusNotifierHost() override { StopWatcher(); }

    // Starts the watcher and waits until it owns its name.
    void StartWatcher(const QStringList& args = {}) {
        StopWatcher();
        watcherOut_.clear();
        watcher_.start(QStringLiteral(NORVA_SNI_WATCHER), args);
        ASSERT_TRUE(watcher_.waitForStarted(10000)) << "cannot start sni-watcher";
        ASSERT_TRUE(WaitFor([&] { return Lines().contains(QStringLiteral("ready")); }, 20000))
            << watcher_.readAllStandardError().toStdString();
    }

    void StopWatcher() {
        if (watcher_.state() == QProcess::NotRunning)
            return;
        watcher_.terminate();
        if (!watcher_.waitForFinished(5000))
            watcher_.kill();
        // The name is gone once the bus has noticed the watcher ended.
        WaitFor(
            [] {
                return !QDBusConnection::sessionBus().interface()->isServiceRegistered(
                    QStringLiteral("org.kde.StatusNotifierWatcher"));
            },
            20000);
    }

    // What the watcher printed so far, a line each.
    QStringList Lines() {
        watcherOut_ += QString::fromLocal8Bit(watcher_.readAllStandardOutput());
        return watcherOut_.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // The bus name of the first item that registered with the watcher.
    QString RegisteredItem() {
        for (const QString& line : Lines())
            if (line.startsWith(QLatin1String("item ")))
                return line.section(QLatin1Char(' '), 1, 1);
        return {};
    }

    QProcess watcher_;
    QString watcherOut_;
};

TEST_F(TrayOnStatusNotifierHost, ActivationShowsTheWindowAndKeepsBalloons) {
    ASSERT_NO_FATAL_FAILURE(StartWatcher());
    FormFixture f("", true);
    f.start();
    f.form->ShowAtStart();
    ASSERT_TRUE(WaitFor([&] { return !RegisteredItem().isEmpty(); }, 20000))
        << "the tray icon did not register with the watcher";
    f.form->Minimizetotray1Click();
    ASSERT_FALSE(f.form->isVisible());
    ASSERT_TRUE(f.form->view.showBalloon);

    // As the panel does on a click, from a connection of its own.
    QDBusConnection panel = QDBusConnection::connectToBus(
        QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("panel"));
    ASSERT_TRUE(panel.isConnected());
    QDBusMessage activate = QDBusMessage::createMethodCall(
        RegisteredItem(), QStringLiteral("/StatusNotifierItem"),
        QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
    activate << 0 << 0;
    panel.asyncCall(activate);

    EXPECT_TRUE(WaitFor([&] { return f.form->isVisible(); }, 10000))
        << "Activate did not bring the window back";
    EXPECT_TRUE(f.form->view.showBalloon) << "only Open ends the balloons";
    QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
}

// The kind of host is what Qt finds when the icon is made: a watcher with a host registered
// means the D-Bus tray; a watcher without a host, or none, the X11 tray. (The case with a host
// comes first: Qt settles on its choice the first time it looks.)
TEST_F(TrayOnStatusNotifierHost, HostKindFollowsTheWatcher) {
    ASSERT_NO_FATAL_FAILURE(StartWatcher());
    EXPECT_EQ(TrayIcon::DetectHost(), TrayIcon::Host::StatusNotifier);
    ASSERT_NO_FATAL_FAILURE(StartWatcher({QStringLiteral("--no-host")}));
    EXPECT_EQ(TrayIcon::DetectHost(), TrayIcon::Host::XEmbed);
    StopWatcher();
    EXPECT_EQ(TrayIcon::DetectHost(), TrayIcon::Host::XEmbed);
}

} // namespace
