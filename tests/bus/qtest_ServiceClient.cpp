// ServiceClient against the real norvahbd on a private bus of the test's own, with the fake
// login manager and the fake polkit authority (ServiceBed): the client must follow whatever
// the service does, through its life, and report every answer of a guarded call.
#include "bus/BusContract.h"
#include "bus/ServiceBed.h"
#include "bus/ServiceClient.h"
#include "support/FreePort.h"
#include "support/WaitFor.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace norva {
using test::ServiceBed;
using test::WaitFor;
namespace {

constexpr int kWaitMs = 20000;
constexpr const char* kUser = test::kServiceUser;
constexpr const char* kPassword = test::kServicePassword;
using test::NotAllowed;

std::string Settings(quint16 udpPort, bool usb = false) {
    return test::ServiceSettings(udpPort, usb);
}

// Every signal of a client, in order, as text; and a check at each value signal that the
// getters already hold the value it announces.
class Events {
public:
    explicit Events(ServiceClient& client) {
        auto add = [this](std::string e) { list.push_back(std::move(e)); };
        auto text = [](const QString& s) { return s.toStdString(); };
        auto num = [](auto n) { return std::to_string(n); };
        QObject::connect(&client, &ServiceClient::serviceAppeared, [add] { add("appeared"); });
        QObject::connect(&client, &ServiceClient::serviceVanished, [add] { add("vanished"); });
        QObject::connect(&client, &ServiceClient::stateChanged, [=, &client](const QString& s) {
            EXPECT_EQ(client.state(), s);
            add("state " + text(s));
        });
        QObject::connect(&client, &ServiceClient::modeChanged, [=, &client](const QString& s) {
            EXPECT_EQ(client.mode(), s);
            add("mode " + text(s));
        });
        QObject::connect(&client, &ServiceClient::deviceAddressChanged,
                         [=, &client](const QString& s) {
                             EXPECT_EQ(client.deviceAddress(), s);
                             add("address " + text(s));
                         });
        QObject::connect(&client, &ServiceClient::networkCountersChanged,
                         [=, &client](uint s, uint r, uint n, uint m) {
                             EXPECT_EQ(client.networkSent(), s);
                             EXPECT_EQ(client.networkReceived(), r);
                             EXPECT_EQ(client.networkNak(), n);
                             EXPECT_EQ(client.networkMissed(), m);
                             add("network " + num(s) + " " + num(r) + " " + num(n) + " " + num(m));
                         });
        QObject::connect(&client, &ServiceClient::usbCountersChanged,
                         [=, &client](uint s, uint r, uint m) {
                             EXPECT_EQ(client.usbSent(), s);
                             EXPECT_EQ(client.usbReceived(), r);
                             EXPECT_EQ(client.usbMissed(), m);
                             add("usb " + num(s) + " " + num(r) + " " + num(m));
                         });
        QObject::connect(&client, &ServiceClient::noResponse,
                         [=](const QString& s) { add("noResponse " + text(s)); });
        QObject::connect(&client, &ServiceClient::answered, [=, &client] {
            EXPECT_EQ(client.state(), bus::state::Responding);
            add("answered");
        });
        QObject::connect(&client, &ServiceClient::deviceMessage,
                         [=](const QString& s) { add("deviceMessage " + text(s)); });
        QObject::connect(&client, &ServiceClient::commandAccepted,
                         [=](const QString& source, const QString& action) {
                             add("commandAccepted " + text(source) + " " + text(action));
                         });
        QObject::connect(&client, &ServiceClient::warningShown, [=, &client](uchar mode) {
            EXPECT_TRUE(client.warningOnScreen());
            EXPECT_EQ(client.warningMode(), mode);
            add("warningShown " + num(int(mode)));
        });
        // A warning whose window was closed goes on counting off screen.
        QObject::connect(&client, &ServiceClient::warningTicked, [=, &client](int countdown) {
            EXPECT_EQ(client.warningCountdown(), countdown);
            add("warningTicked " + num(countdown) +
                (client.warningOnScreen() ? "" : " off screen"));
        });
        QObject::connect(&client, &ServiceClient::warningEnded, [=, &client] {
            EXPECT_FALSE(client.warningOnScreen());
            add("warningEnded");
        });
        QObject::connect(&client, &ServiceClient::caption,
                         [=](const QString& s) { add("caption " + text(s)); });
        QObject::connect(&client, &ServiceClient::statusLine,
                         [=](const QString& s) { add("statusLine " + text(s)); });
        QObject::connect(&client, &ServiceClient::logLine,
                         [=](const QString& s) { add("logLine " + text(s)); });
    }

    // Index of the first event from `from` on that starts with `prefix`, or -1.
    int find(const std::string& prefix, std::size_t from = 0) const {
        for (std::size_t i = from; i < list.size(); ++i)
            if (list[i].rfind(prefix, 0) == 0)
                return static_cast<int>(i);
        return -1;
    }
    // Waits for such an event; its index, or -1 when none came in time.
    int wait(const std::string& prefix, std::size_t from = 0, int ms = kWaitMs) const {
        int at = -1;
        WaitFor([&] { return (at = find(prefix, from)) >= 0; }, ms);
        return at;
    }
    int count(const std::string& prefix) const {
        return static_cast<int>(std::count_if(
            list.begin(), list.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
    }
    std::string all() const {
        std::string out;
        for (const auto& e : list)
            out += "\n  " + e;
        return out;
    }

    std::vector<std::string> list;
};

// Runs one asynchronous call and waits for its callback; the error it gave. A callback that
// never comes fails the test.
QString Answer(const std::function<void(ServiceClient::Done)>& call) {
    bool done = false;
    QString error;
    call([&](const QString& e) {
        EXPECT_FALSE(done) << "a callback ran twice";
        done = true;
        error = e;
    });
    EXPECT_TRUE(WaitFor([&] { return done; }, kWaitMs)) << "no answer came";
    return error;
}

// The settings ReadSettings gives; a callback that never comes fails the test.
QMap<QString, QString> Read(ServiceClient& client) {
    QMap<QString, QString> values;
    bool done = false;
    client.readSettings([&](const QMap<QString, QString>& v, const QString& error) {
        EXPECT_EQ(error, "");
        values = v;
        done = true;
    });
    EXPECT_TRUE(WaitFor([&] { return done; }, kWaitMs)) << "no answer came";
    return values;
}

// A plain caller on the bus that follows no one's rules but the bus's: it listens for every
// signal of the interface (eavesdropping too, where the bus would let it) and keeps what it
// heard, as a second local user's dbus-monitor-like program would.
class Listener : public QObject {
    Q_OBJECT
public:
    explicit Listener(QDBusConnection bus) : bus_(std::move(bus)) {
        for (const bus::Member& signal : bus::sig::All)
            bus_.connect(QString(), bus::ObjectPath, bus::Interface,
                         QString::fromLatin1(signal.name.data(), qsizetype(signal.name.size())),
                         this, SLOT(heard(QDBusMessage)));
        bus_.connect(QString(), bus::ObjectPath, bus::PropertiesInterface,
                     QStringLiteral("PropertiesChanged"), this, SLOT(heard(QDBusMessage)));
        QDBusMessage eavesdrop = QDBusMessage::createMethodCall(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch");
        eavesdrop << QStringLiteral("interface='com.norva.NorvaHB1',eavesdrop='true'");
        bus_.call(eavesdrop);
    }
    QStringList members;
    uint rejected = 0; // the last RejectedCommands it saw

public slots:
    void heard(const QDBusMessage& message) {
        members << message.member();
        if (message.member() == QLatin1String("PropertiesChanged") &&
            message.arguments().size() >= 2) {
            const QVariantMap changed = qdbus_cast<QVariantMap>(message.arguments().at(1));
            if (changed.contains(bus::prop::RejectedCommands))
                rejected = changed.value(bus::prop::RejectedCommands).toUInt();
        }
    }

private:
    QDBusConnection bus_;
};

class ServiceClientTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(bed_.startBus());
        udpPort_ = test::FreePort();
        commandPort_ = test::FreePort();
    }

    int deviceSendsRestart(const char* password) {
        return bed_.deviceSendsRestart(commandPort_, password);
    }

    ServiceBed bed_;
    quint16 udpPort_ = 0;
    quint16 commandPort_ = 0;
};

TEST_F(ServiceClientTest, FollowsAServiceThatRunsAlreadyFromACompleteSnapshot) {
    ASSERT_NO_FATAL_FAILURE(bed_.startSerialDevice());
    bed_.writeSettings(Settings(udpPort_, /*usb=*/true));
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    ASSERT_NO_FATAL_FAILURE(bed_.waitServiceOnBus());

    ServiceClient client(bed_.bus());
    Events events(client);
    struct {
        bool running = false;
        QString state, mode, address;
        uint usbSent = 0;
        bool warning = true;
    } seen;
    QObject::connect(&client, &ServiceClient::serviceAppeared, [&] {
        seen = {client.serviceRunning(), client.state(),   client.mode(),
                client.deviceAddress(),  client.usbSent(), client.warningOnScreen()};
    });

    ASSERT_EQ(events.wait("appeared"), 0)
        << "a value signal came before the snapshot:" << events.all() << bed_.serviceLog();
    EXPECT_TRUE(seen.running);
    EXPECT_EQ(seen.state, bus::state::Responding);
    EXPECT_EQ(seen.mode, bus::mode::Usb);
    EXPECT_EQ(seen.address, "127.0.0.1");
    EXPECT_GE(seen.usbSent, 1u) << "the heartbeat resumed at start sent one at once";
    EXPECT_FALSE(seen.warning);

    // The counters follow (the getters are checked at every signal).
    const std::string next = "usb " + std::to_string(seen.usbSent + 2);
    ASSERT_GE(events.wait(next), 0) << events.all();

    // The device goes quiet: the alert and the state; it answers again: back to responding.
    bed_.deviceSays("silent");
    const int alert = events.wait("noResponse ");
    ASSERT_GE(alert, 0) << events.all() << bed_.serviceLog();
    EXPECT_EQ(events.list[alert], "noResponse Your Norva is not responding to the Heartbeat (USB)");
    EXPECT_GE(events.wait("state not responding"), 0) << events.all();
    EXPECT_EQ(client.state(), bus::state::NotResponding);
    bed_.deviceSays("whole");
    const int back = events.wait("answered", alert);
    ASSERT_GE(back, 0) << events.all();
    EXPECT_GE(events.wait("state responding", alert), 0) << events.all();
}

TEST_F(ServiceClientTest, PicksTheServiceUpWhenItStartsStopsAndComesBack) {
    bed_.writeSettings(Settings(udpPort_));
    ServiceClient client(bed_.bus());
    Events events(client);
    EXPECT_FALSE(client.serviceRunning());

    // Started after the client: found by watching the name.
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    ASSERT_EQ(events.wait("appeared"), 0) << events.all() << bed_.serviceLog();
    EXPECT_TRUE(client.serviceRunning());
    EXPECT_EQ(client.mode(), bus::mode::Network);
    EXPECT_EQ(client.deviceAddress(), "127.0.0.1");
    EXPECT_EQ(client.state(), bus::state::Responding);
    ASSERT_GE(events.wait("network "), 0) << events.all();

    // Stopped as the service manager stops it.
    ASSERT_NO_FATAL_FAILURE(bed_.stopService());
    const int gone = events.wait("vanished");
    ASSERT_GE(gone, 0) << events.all();
    EXPECT_FALSE(client.serviceRunning());
    EXPECT_EQ(Answer([&](auto done) { client.stop(done); }), ServiceClient::notRunningText());
    bool read = false;
    client.readSettings([&](const QMap<QString, QString>& values, const QString& error) {
        EXPECT_TRUE(values.isEmpty());
        EXPECT_EQ(error, ServiceClient::notRunningText());
        read = true;
    });
    EXPECT_TRUE(WaitFor([&] { return read; }, kWaitMs));

    // Back again: a second complete snapshot, and the values follow again.
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    const int again = events.wait("appeared", gone);
    ASSERT_GT(again, gone) << events.all() << bed_.serviceLog();
    EXPECT_TRUE(client.serviceRunning());
    EXPECT_EQ(client.state(), bus::state::Responding);
    ASSERT_GE(events.wait("network ", again), 0) << events.all();

    // A crash is a vanishing too.
    bed_.killService();
    EXPECT_GE(events.wait("vanished", again), 0) << events.all();
    EXPECT_FALSE(client.serviceRunning());
    EXPECT_EQ(events.count("appeared"), 2) << events.all();
}

TEST_F(ServiceClientTest, GuardedCallsAnswerWithWhatPolkitSaid) {
    bed_.writeSettings(Settings(udpPort_));
    const std::string stored = bed_.readSettings();
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    ServiceClient client(bed_.bus());
    Events events(client);
    ASSERT_GE(events.wait("appeared"), 0) << events.all() << bed_.serviceLog();

    // Every answer but "yes" leaves the service as it was, and says which it was.
    struct Row {
        const char* answer;
        QString error;
    };
    for (const Row& row :
         {Row{"deny", NotAllowed("stop the heartbeat")},
          Row{"challenge", ServiceClient::cancelledText()},
          Row{"error", "Whether you may stop the heartbeat could not be checked ("}}) {
        SCOPED_TRACE(row.answer);
        bed_.setPolkit(std::string("* ") + row.answer + "\n");
        const QString error = Answer([&](auto done) { client.stop(done); });
        EXPECT_TRUE(error.startsWith(row.error)) << error.toStdString();
        EXPECT_EQ(error.count('\n'), 0);
    }
    bed_.setPolkit("* deny\n");
    EXPECT_EQ(Answer([&](auto done) {
                  client.applySettings({{"Setup/IPAddr", "127.0.0.2"}}, done);
              }),
              NotAllowed("change the settings"));
    EXPECT_EQ(Answer([&](auto done) { client.testWarning(done); }),
              NotAllowed("show the test warning"));
    EXPECT_EQ(Answer([&](auto done) { client.clear(done); }), NotAllowed("clear the counters"));
    EXPECT_EQ(Answer([&](auto done) { client.start(done); }), NotAllowed("start the heartbeat"));
    EXPECT_EQ(client.state(), bus::state::Responding);
    EXPECT_EQ(events.find("state "), -1) << events.all();
    EXPECT_EQ(events.find("warningShown"), -1) << events.all();
    EXPECT_EQ(bed_.readSettings(), stored) << "a refused call changed the settings";

    // Allowed (Start and Stop after a password prompt the user answers).
    bed_.setPolkit(std::string(bus::action::Control) + " authenticate\n" + bus::action::Configure +
                   " allow\n");
    std::size_t from = events.list.size();
    EXPECT_EQ(Answer([&](auto done) { client.stop(done); }), "");
    EXPECT_GE(events.wait("state stopped", from), 0) << events.all();
    // Cleared while stopped: the service gathers property changes for a tenth of a second,
    // so with heartbeats running the zeros could go out already overtaken by the next one.
    from = events.list.size();
    EXPECT_EQ(Answer([&](auto done) { client.clear(done); }), "");
    EXPECT_GE(events.wait("network 0 0 0 0", from), 0) << events.all();
    from = events.list.size();
    EXPECT_EQ(Answer([&](auto done) { client.start(done); }), "");
    EXPECT_GE(events.wait("state responding", from), 0) << events.all();

    from = events.list.size();
    EXPECT_EQ(Answer([&](auto done) {
                  client.applySettings({{"Setup/IPAddr", "127.0.0.2"}}, done);
              }),
              "");
    EXPECT_GE(events.wait("address 127.0.0.2", from), 0) << events.all();
    EXPECT_EQ(Answer([&](auto done) {
                  client.applySettings({{"Setup/Port", "12x"}}, done);
              }),
              "The settings were not stored: Setup/Port: up to five digits");
    QMap<QString, QString> values;
    QString readError = "no answer";
    client.readSettings([&](const QMap<QString, QString>& v, const QString& error) {
        values = v;
        readError = error;
    });
    ASSERT_TRUE(WaitFor([&] { return readError != "no answer"; }, kWaitMs));
    EXPECT_EQ(readError, "");
    EXPECT_EQ(values.value("Setup/IPAddr"), "127.0.0.2");
    EXPECT_EQ(values.value("Setup/Port"), QString::number(udpPort_));
    EXPECT_FALSE(values.contains("GSD/Password"));

    from = events.list.size();
    EXPECT_EQ(Answer([&](auto done) { client.applySettings({{"Setup/Network", "0"}}, done); }), "");
    EXPECT_GE(events.wait("mode none", from), 0) << events.all();
}

TEST_F(ServiceClientTest, FollowsTheWarningFromTheServiceSignals) {
    bed_.writeSettings(Settings(udpPort_));
    // The log's lines come to a client that may control the heartbeat.
    bed_.setPolkit(std::string(bus::action::Control) + " allow\n");
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    ServiceClient client(bed_.bus());
    Events events(client);
    ASSERT_GE(events.wait("appeared"), 0) << events.all() << bed_.serviceLog();
    ASSERT_TRUE(WaitFor([&] { return client.followsLines(); }, kWaitMs));

    // A restart command from the device, with the warning first as the settings ask.
    QProcess device;
    device.start(QStringLiteral(NORVA_DEVICE),
                 {"command", "--host", "127.0.0.1", "--port", QString::number(commandPort_),
                  "--user", kUser, "--password", kPassword, "--action", "restart"});
    ASSERT_TRUE(device.waitForFinished(20000));
    EXPECT_EQ(device.exitCode(), 0) << device.readAll().toStdString();
    const int accepted = events.wait("commandAccepted ");
    ASSERT_GE(accepted, 0) << events.all() << bed_.serviceLog();
    EXPECT_EQ(events.list[accepted], "commandAccepted 127.0.0.1 restart after warning");
    const int shown = events.wait("warningShown ");
    ASSERT_GE(shown, 0) << events.all();
    EXPECT_EQ(events.list[shown], "warningShown 0");
    ASSERT_GE(events.wait("warningTicked ", shown), 0) << events.all();
    EXPECT_GE(events.wait("logLine "), 0) << events.all();

    // A follower that arrives now finds the warning on screen in its snapshot.
    ServiceClient late(bed_.bus());
    bool lateSaw = false;
    QObject::connect(&late, &ServiceClient::serviceAppeared, [&] {
        lateSaw = true;
        EXPECT_TRUE(late.warningOnScreen());
        EXPECT_EQ(late.warningMode(), 0);
        EXPECT_GT(late.warningCountdown(), 0);
        EXPECT_LE(late.warningCountdown(), 10);
    });
    EXPECT_TRUE(WaitFor([&] { return lateSaw; }, kWaitMs));

    // At 0 the warning ends and the restart goes to the (fake) login manager.
    const int ended = events.wait("warningEnded", shown, 30000);
    ASSERT_GT(ended, shown) << events.all();
    EXPECT_FALSE(client.warningOnScreen());
    EXPECT_TRUE(WaitFor([&] { return bed_.loginCalls() == "Reboot false\n"; }))
        << bed_.loginCalls();

    // The test button: refused, nothing shows; allowed, the warning shows with the last mode.
    bed_.setPolkit("* deny\n");
    std::size_t from = events.list.size();
    EXPECT_EQ(Answer([&](auto done) { client.testWarning(done); }),
              NotAllowed("show the test warning"));
    bed_.setPolkit(std::string(bus::action::Configure) + " allow\n");
    EXPECT_EQ(Answer([&](auto done) { client.testWarning(done); }), "");
    const int test = events.wait("warningShown ", from);
    ASSERT_GE(test, 0) << events.all();
    EXPECT_EQ(events.list[test], "warningShown 0");
    EXPECT_EQ(events.find("warningShown ", from), test) << "the refused one showed too";
    EXPECT_GE(events.wait("warningTicked ", test), 0) << events.all();
    for (const std::string& e : events.list)
        EXPECT_EQ(e.find("off screen"), std::string::npos) << "never closed, yet " << e;

    // Its window closed: open to every caller (polkit refuses everything here), the warning is
    // off screen while its count goes on, and the next warning counts from 10 again.
    bed_.setPolkit("* deny\n");
    from = events.list.size();
    EXPECT_EQ(Answer([&](auto done) { client.closeWarning(done); }), "");
    const int offScreen = events.wait("warningTicked ", from);
    ASSERT_GE(offScreen, 0) << events.all();
    EXPECT_NE(events.list[offScreen].find(" off screen"), std::string::npos) << events.all();
    EXPECT_EQ(events.find("warningEnded", from), -1) << "the count ended instead" << events.all();
    bed_.setPolkit(std::string(bus::action::Configure) + " allow\n");
    EXPECT_EQ(Answer([&](auto done) { client.testWarning(done); }), "");
    const int again = events.wait("warningShown ", from);
    ASSERT_GE(again, 0) << events.all();
    const int next = events.wait("warningTicked ", again);
    ASSERT_GE(next, 0) << events.all();
    EXPECT_EQ(events.list[next], "warningTicked 9") << events.all();
}

TEST_F(ServiceClientTest, RelaysTheDeviceMessagesOnTheHeartbeatPort) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    ServiceClient client(bed_.bus());
    Events events(client);
    ASSERT_GE(events.wait("appeared"), 0) << events.all() << bed_.serviceLog();

    // "NorvaRestart" to the service's heartbeat port, from loopback, as the device sends it.
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(udp, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(udpPort_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string restart = "NorvaRestart";
    EXPECT_EQ(::sendto(udp, restart.data(), restart.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(restart.size()));
    ::close(udp);
    const int message = events.wait("deviceMessage ");
    ASSERT_GE(message, 0) << events.all() << bed_.serviceLog();
    EXPECT_EQ(events.list[message], "deviceMessage Restart");
    EXPECT_GE(events.wait("caption Restart"), 0) << events.all();
}

// What a packet on the command port got ("Bad Password", the log's lines) would tell a local
// user which guess was right: those lines go only to callers polkit allowed to control the
// heartbeat, asked without a prompt; everyone else sees only how many were rejected.
TEST_F(ServiceClientTest, StatusAndLogLinesReachOnlyCallersAllowedToControl) {
    bed_.writeSettings(Settings(udpPort_));
    bed_.setPolkit("* deny\n");
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    Listener other(bed_.otherCaller());

    auto refused = std::make_unique<ServiceClient>(bed_.bus());
    QString followed = "no answer";
    QObject::connect(refused.get(), &ServiceClient::linesFollowed,
                     [&](const QString& error) { followed = error; });
    Events refusedEvents(*refused);
    ASSERT_TRUE(WaitFor([&] { return followed != "no answer"; }, kWaitMs));
    EXPECT_EQ(followed, NotAllowed("follow the service's lines"));
    EXPECT_FALSE(refused->followsLines());

    EXPECT_NE(deviceSendsRestart("wrong"), 0);
    ASSERT_TRUE(WaitFor([&] { return other.rejected == 1; }, kWaitMs)) << bed_.serviceLog();
    refused.reset();

    // Allowed (without a prompt: "authenticate" would need one, and the call asks for none).
    bed_.setPolkit(std::string(bus::action::Control) + " authenticate\n");
    {
        ServiceClient client(bed_.bus());
        QString error = "no answer";
        QObject::connect(&client, &ServiceClient::linesFollowed,
                         [&](const QString& e) { error = e; });
        ASSERT_TRUE(WaitFor([&] { return error != "no answer"; }, kWaitMs));
        EXPECT_FALSE(client.followsLines()) << "a prompt was allowed";
    }
    bed_.setPolkit(std::string(bus::action::Control) + " allow\n");
    ServiceClient client(bed_.bus());
    Events events(client);
    ASSERT_TRUE(WaitFor([&] { return client.followsLines(); }, kWaitMs)) << events.all();
    EXPECT_NE(deviceSendsRestart("wrong"), 0);
    EXPECT_GE(events.wait("statusLine Bad Password"), 0) << events.all();
    EXPECT_GE(events.wait("logLine "), 0) << events.all();
    ASSERT_TRUE(WaitFor([&] { return other.rejected == 2; }, kWaitMs));

    // The other caller heard the counts, never a line; nor did the client polkit refused.
    EXPECT_FALSE(other.members.contains(bus::sig::StatusLine))
        << other.members.join(' ').toStdString();
    EXPECT_FALSE(other.members.contains(bus::sig::LogLine))
        << other.members.join(' ').toStdString();
    EXPECT_EQ(refusedEvents.find("statusLine"), -1) << refusedEvents.all();
    EXPECT_EQ(refusedEvents.find("logLine"), -1) << refusedEvents.all();
}

// The service checks one call of a caller at a time and answers a second Busy; a front end's
// clicks made while a check is under way (a password being typed) wait their turn instead,
// and are carried out in the order they were made.
TEST_F(ServiceClientTest, GuardedCallsMadeTogetherWaitTheirTurn) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    ServiceClient client(bed_.bus());
    Events events(client);
    ASSERT_GE(events.wait("appeared"), 0) << events.all() << bed_.serviceLog();

    bed_.setPolkit("* slow\n");
    std::vector<std::string> order;
    int answers = 0;
    auto note = [&](const char* name) {
        return [&, name](const QString& error) {
            EXPECT_EQ(error, "") << name;
            order.push_back(name);
            ++answers;
        };
    };
    QMap<QString, QString> values;
    client.stop(note("stop"));
    client.clear(note("clear"));
    client.applySettings({{"Setup/FailCount", "4"}}, note("apply"));
    client.readSettings([&](const QMap<QString, QString>& v, const QString& error) {
        EXPECT_EQ(error, "") << "read";
        values = v;
        order.push_back("read");
        ++answers;
    });
    client.start(note("start"));
    ASSERT_TRUE(WaitFor([&] { return answers == 5; }, kWaitMs)) << answers;
    EXPECT_EQ(order, (std::vector<std::string>{"stop", "clear", "apply", "read", "start"}));
    EXPECT_EQ(values.value("Setup/FailCount"), "4");
    EXPECT_EQ(values.value("GSD/username"), QString(kUser));
    EXPECT_GE(events.wait("state responding"), 0) << events.all();
}

// ReadSettings gives the command user name only to a caller that may change the settings,
// asked without a prompt; to others the key is absent and the rest is there.
TEST_F(ServiceClientTest, ReadSettingsGivesTheUserNameOnlyToWhoMayConfigure) {
    bed_.writeSettings(Settings(udpPort_));
    ASSERT_NO_FATAL_FAILURE(bed_.startService(commandPort_));
    ServiceClient client(bed_.bus());
    Events events(client);
    ASSERT_GE(events.wait("appeared"), 0);
    for (const char* answer : {"deny", "authenticate", "error", "allow"}) {
        SCOPED_TRACE(answer);
        bed_.setPolkit(std::string(bus::action::Configure) + " " + answer + "\n");
        const QMap<QString, QString> values = Read(client);
        const bool allowed = std::string(answer) == "allow";
        EXPECT_EQ(values.contains("GSD/username"), allowed);
        EXPECT_EQ(values.value("GSD/username"), allowed ? QString(kUser) : QString());
        EXPECT_EQ(values.value("Setup/IPAddr"), "127.0.0.1");
        EXPECT_FALSE(values.contains("GSD/Password"));
    }
}

} // namespace
} // namespace norva

#include "qtest_ServiceClient.moc"
