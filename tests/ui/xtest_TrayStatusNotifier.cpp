// The tray icon on a desktop whose notification area is a StatusNotifierItem host (KDE Plasma,
// GNOME with the AppIndicator extension, most current panels). Qt puts the icon on D-Bus there,
// and a click on it arrives as the item's Activate call: never as a double click. The tray menu
// goes to the host over D-Bus too (com.canonical.dbusmenu), and the host draws it: a panel on
// Wayland cannot place a menu that the program pops up at the pointer itself.
//
// Runs on an X display with a session bus of its own (with-display-and-session-bus.sh), with
// sni-watcher as the desktop's watcher; the test calls the item over the bus as a panel does.
// The window as the service's front end follows the real norvahbd on a private system bus of
// the test's own (ServiceBed).
#include "bus/BusContract.h"
#include "bus/ServiceBed.h"
#include "bus/ServiceClient.h"
#include "support/FormFixture.h"
#include "support/FreePort.h"
#include "support/WaitFor.h"
#include "ui/TrayIcon.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#ifndef NORVA_SNI_WATCHER
#error "NORVA_SNI_WATCHER (the sni-watcher program) must be defined by the build"
#endif

using norva::TrayIcon;
using norva::test::FormFixture;
using norva::test::WaitFor;

namespace {

// One entry of a menu as the host reads it: its id, and its label or "-" for a separator.
struct MenuEntry {
    int id = 0;
    QString text;
};

// The top-level entries of the layout that com.canonical.dbusmenu's GetLayout returns: a
// (ia{sv}av) root whose children are variants of the same structure.
QList<MenuEntry> TopLevelEntries(const QDBusMessage& reply) {
    QList<MenuEntry> entries;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2)
        return entries;
    const auto root = reply.arguments().at(1).value<QDBusArgument>();
    int rootId = 0;
    QVariantMap rootProperties;
    root.beginStructure();
    root >> rootId >> rootProperties;
    root.beginArray();
    while (!root.atEnd()) {
        QDBusVariant child;
        root >> child;
        const auto item = child.variant().value<QDBusArgument>();
        MenuEntry entry;
        QVariantMap properties;
        item.beginStructure();
        item >> entry.id >> properties;
        item.beginArray();
        while (!item.atEnd()) {
            QDBusVariant grandChild;
            item >> grandChild;
        }
        item.endArray();
        item.endStructure();
        if (!properties.value(QStringLiteral("visible"), true).toBool())
            continue;
        entry.text =
            properties.value(QStringLiteral("type")).toString() == QLatin1String("separator")
                ? QStringLiteral("-")
                : properties.value(QStringLiteral("label")).toString();
        entries << entry;
    }
    root.endArray();
    root.endStructure();
    return entries;
}

// A call answered by this very process (the tray icon's objects): the event loop must run
// while it waits, which a blocking call does not do.
QDBusMessage Call(QDBusConnection& bus, const QDBusMessage& call) {
    QDBusPendingCall pending = bus.asyncCall(call, 10000);
    WaitFor([&] { return pending.isFinished(); }, 15000);
    return pending.reply();
}

QString Texts(const QList<MenuEntry>& entries) {
    QStringList texts;
    for (const MenuEntry& e : entries)
        texts << e.text;
    return texts.join(QLatin1Char(','));
}

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

    // A connection of the test's own, standing in for the panel.
    QDBusConnection Panel() {
        return QDBusConnection::connectToBus(
            QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("panel"));
    }

    // The item's Menu property: the object path of its exported menu.
    QString MenuPath(QDBusConnection& panel) {
        QDBusMessage get = QDBusMessage::createMethodCall(
            RegisteredItem(), QStringLiteral("/StatusNotifierItem"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
        const QDBusMessage reply = Call(panel, get);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments()
            .constFirst()
            .value<QDBusVariant>()
            .variant()
            .value<QDBusObjectPath>()
            .path();
    }

    // The menu's entries as the host reads them before drawing it.
    QList<MenuEntry> MenuEntries(QDBusConnection& panel, const QString& path) {
        QDBusMessage get = QDBusMessage::createMethodCall(RegisteredItem(), path,
                                                          QStringLiteral("com.canonical.dbusmenu"),
                                                          QStringLiteral("GetLayout"));
        get << 0 << -1 << QStringList();
        return TopLevelEntries(Call(panel, get));
    }

    // The host's report that the user chose `id` in the menu it drew.
    void Click(QDBusConnection& panel, const QString& path, int id) {
        QDBusMessage event = QDBusMessage::createMethodCall(
            RegisteredItem(), path, QStringLiteral("com.canonical.dbusmenu"),
            QStringLiteral("Event"));
        event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
        panel.asyncCall(event);
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

// The host reads the tray menu over D-Bus, draws it itself, and reports the entry chosen; the
// entry runs the handler the menu has always run.
TEST_F(TrayOnStatusNotifierHost, TheHostDrawsTheMenuAndItsEntriesRunTheirHandlers) {
    ASSERT_NO_FATAL_FAILURE(StartWatcher());
    // Network heartbeat to a free port on this machine: nothing answers, nothing leaves it.
    FormFixture f("[Setup]\nNetwork=1\nIPAddr=127.0.0.1\nPort=" +
                  std::to_string(norva::test::FreePort()) + "\nFreq=5\nFailCount=3\n");
    ASSERT_TRUE(f.start());
    ASSERT_TRUE(WaitFor([&] { return !RegisteredItem().isEmpty(); }, 20000))
        << "the tray icon did not register with the watcher";
    f.form->Minimizetotray1Click();
    ASSERT_EQ(f.form->ui.Label1->text().toStdString(), "Stopped");

    QDBusConnection panel = Panel();
    ASSERT_TRUE(panel.isConnected());
    const QString path = MenuPath(panel);
    ASSERT_FALSE(path.isEmpty()) << "the item has no Menu property";
    ASSERT_NE(path.toStdString(), "/NO_DBUSMENU") << "the menu was not given to the host";
    const QList<MenuEntry> entries = MenuEntries(panel, path);
    ASSERT_EQ(Texts(entries).toStdString(), "Start,Stop,-,Open,Exit");

    // "Start": the Status page's Start button, with the window left in the tray.
    QSignalSpy started(f.form->ui.Button2, &QPushButton::clicked);
    Click(panel, path, entries.at(0).id);
    EXPECT_TRUE(WaitFor([&] { return started.count() == 1; }, 10000))
        << "the host's Start did not reach the Start button";
    EXPECT_EQ(f.form->ui.Label1->text().toStdString(), "OK");
    EXPECT_EQ(f.setting("Run", "IsStarted"), "1");
    EXPECT_FALSE(f.form->isVisible());

    // "Stop", then "Open".
    Click(panel, path, entries.at(1).id);
    EXPECT_TRUE(WaitFor([&] { return f.form->ui.Label1->text() == "Stopped"; }, 10000));
    EXPECT_EQ(f.setting("Run", "IsStarted"), "0");
    Click(panel, path, entries.at(3).id);
    EXPECT_TRUE(WaitFor([&] { return f.form->isVisible(); }, 10000));
    EXPECT_FALSE(f.form->view.showBalloon);
    QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
}

// The same menu in the window that follows the service: its Stop and Start reach the service.
TEST_F(TrayOnStatusNotifierHost, InTheServicesFrontEndTheHostsMenuCommandsTheService) {
    norva::test::ServiceBed bed;
    ASSERT_NO_FATAL_FAILURE(bed.startBus());
    bed.setPolkit(std::string(norva::bus::action::Control) + " allow\n");
    bed.writeSettings(norva::test::ServiceSettings(norva::test::FreePort(), false, true));
    const quint16 commandPort = norva::test::FreePort();
    ASSERT_NO_FATAL_FAILURE(bed.startService(commandPort));
    ASSERT_NO_FATAL_FAILURE(bed.waitServiceOnBus());
    ASSERT_NO_FATAL_FAILURE(StartWatcher());

    norva::ServiceClient client(bed.bus());
    norva::test::TempDir pagesCopy;
    norva::test::ScriptedMessageBoxes boxes;
    norva::test::RecordingPowerBackend power;
    norva::AppEnvironment env;
    env.settingsFolder = pagesCopy.path();
    env.commandPort = commandPort;
    env.boxes = &boxes;
    env.power = &power;
    env.service = &client;
    norva::TForm1 form(env);
    ASSERT_TRUE(form.StartUp());
    ASSERT_TRUE(WaitFor([&] { return !RegisteredItem().isEmpty(); }, 20000))
        << "the tray icon did not register with the watcher";
    const auto shows = [&](const char* status, const char* state) {
        return form.ui.Label1->text() == QLatin1String(status) &&
               client.state() == QLatin1String(state);
    };
    ASSERT_TRUE(WaitFor([&] { return shows("OK", norva::bus::state::Responding); }, 20000))
        << bed.serviceLog();

    QDBusConnection panel = Panel();
    const QString path = MenuPath(panel);
    ASSERT_NE(path.toStdString(), "/NO_DBUSMENU");
    const QList<MenuEntry> entries = MenuEntries(panel, path);
    ASSERT_EQ(Texts(entries).toStdString(), "Start,Stop,-,Open,Exit");
    Click(panel, path, entries.at(1).id);
    EXPECT_TRUE(WaitFor([&] { return shows("Stopped", norva::bus::state::Stopped); }, 20000));
    Click(panel, path, entries.at(0).id);
    EXPECT_TRUE(WaitFor([&] { return shows("OK", norva::bus::state::Responding); }, 20000));
    EXPECT_TRUE(boxes.errors.empty());
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
