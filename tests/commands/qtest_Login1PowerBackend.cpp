// End to end: the backend's calls travel over a private system bus, started here, to a fake
// login manager that records them. This test must never reach the machine's own system bus,
// where the same calls would really restart or power off the machine: it fails, loudly,
// whenever it cannot prove that the bus it is about to use is the private one.
#include "commands/Login1PowerBackend.h"
#include "support/WaitFor.h"

#include "support/TempDir.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#ifndef NORVA_FAKE_LOGIN1
#error "NORVA_FAKE_LOGIN1 (the fake-login1 program) must be defined by the build"
#endif

namespace norva {
using test::WaitFor;
namespace {

// Reads the first line a child process prints, waiting for it.
QString FirstLine(QProcess& process) {
    WaitFor([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; });
    return QString::fromLocal8Bit(process.readLine()).trimmed();
}

class Login1PowerBackendTest : public testing::Test {
protected:
    ~Login1PowerBackendTest() override {
        for (QProcess* process : {&fakeLogin1_, &busDaemon_}) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
        }
    }

    // Starts the private bus and the fake login manager on it. Any step that fails is a test
    // failure, never a skip: without the private bus this test must not run.
    void StartPrivateBus() {
        QProcess config;
        config.start(QStringLiteral(NORVA_PYTHON),
                     {QStringLiteral(NORVA_TESTBED), QStringLiteral("bus-config"),
                      QString::fromStdString(dir_.path().string())});
        ASSERT_TRUE(config.waitForFinished(10000) && config.exitCode() == 0)
            << "cannot write the private bus configuration: "
            << config.readAllStandardError().toStdString();
        const QString configPath = QString::fromLocal8Bit(config.readAllStandardOutput()).trimmed();

        busDaemon_.setProcessChannelMode(QProcess::SeparateChannels);
        busDaemon_.start(QStringLiteral("dbus-daemon"),
                         {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                          QStringLiteral("--print-address=1")});
        ASSERT_TRUE(busDaemon_.waitForStarted(10000))
            << "PRIVATE BUS NOT STARTED (is dbus-daemon installed?)";
        address_ = FirstLine(busDaemon_);
        const QString socketPrefix =
            QStringLiteral("unix:path=") + QString::fromStdString(dir_.path().string()) + "/";
        ASSERT_TRUE(address_.startsWith(socketPrefix))
            << "PRIVATE BUS NOT IN PLACE, got address '" << address_.toStdString()
            << "': " << busDaemon_.readAllStandardError().toStdString();

        // From here on the program's "system bus" is the private one.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toLocal8Bit());

        fakeLogin1_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        fakeLogin1_.start(QStringLiteral(NORVA_FAKE_LOGIN1), {logPath()});
        ASSERT_TRUE(fakeLogin1_.waitForStarted(10000)) << "cannot start fake-login1";
        ASSERT_EQ(FirstLine(fakeLogin1_), QStringLiteral("ready"))
            << "fake-login1 did not come up: " << fakeLogin1_.readAllStandardError().toStdString();
    }

    // Proves that QDBusConnection::systemBus() is our private bus and that the login manager
    // on it is our fake, before anything is sent there.
    void ExpectSystemBusIsPrivate() {
        ASSERT_EQ(qgetenv("DBUS_SYSTEM_BUS_ADDRESS"), address_.toLocal8Bit())
            << "DBUS_SYSTEM_BUS_ADDRESS IS NOT THE PRIVATE BUS: REFUSING TO CALL";
        QDBusConnection bus = QDBusConnection::systemBus();
        ASSERT_TRUE(bus.isConnected()) << "system bus not connected: REFUSING TO CALL";
        // The bus daemon answers for its own name with its process id.
        const auto daemon = bus.interface()->servicePid(QStringLiteral("org.freedesktop.DBus"));
        ASSERT_TRUE(daemon.isValid()) << daemon.error().message().toStdString();
        ASSERT_EQ(static_cast<qint64>(daemon.value()), busDaemon_.processId())
            << "THE SYSTEM BUS IS NOT THE PRIVATE BUS: REFUSING TO CALL";
        const auto owner = bus.interface()->servicePid(QStringLiteral("org.freedesktop.login1"));
        ASSERT_TRUE(owner.isValid());
        ASSERT_EQ(static_cast<qint64>(owner.value()), fakeLogin1_.processId())
            << "org.freedesktop.login1 IS NOT THE FAKE: REFUSING TO CALL";
    }

    QString logPath() const { return QString::fromStdString((dir_ / "calls.log").string()); }
    std::string log() const { return dir_.read("calls.log"); }

    test::TempDir dir_;
    QProcess busDaemon_;
    QProcess fakeLogin1_;
    QString address_;
};

// What the backend asks of each kind of login manager, and what it reports. The device's
// command has to win over a desktop's block inhibitor, so the request carries
// SD_LOGIND_SKIP_INHIBITORS (16) wherever the manager knows it, and goes again the old way
// where it does not; only the refusal that remains reaches the caller.
TEST_F(Login1PowerBackendTest, AsksWithTheSkipInhibitorsFlagFirstAndReportsWhatIsRefused) {
    ASSERT_NO_FATAL_FAILURE(StartPrivateBus());
    ASSERT_NO_FATAL_FAILURE(ExpectSystemBusIsPrivate());

    struct Case {
        const char* behaviour;
        const char* rebootLog;
        const char* powerOffLog;
        const char* error; // part of the reported error; empty: accepted
    };
    const Case cases[] = {
        {"modern", "RebootWithFlags 16\n", "PowerOffWithFlags 16\n", ""},
        {"debian12", "RebootWithFlags 16\nReboot false\n", "PowerOffWithFlags 16\nPowerOff false\n",
         ""},
        {"old", "Reboot false\n", "PowerOff false\n", ""},
        {"inhibited", "RebootWithFlags 16\n", "PowerOffWithFlags 16\n", ""},
        {"refuse", "RebootWithFlags 16\n", "PowerOffWithFlags 16\n",
         "Permission denied (org.freedesktop.DBus.Error.AccessDenied)"},
    };

    Login1PowerBackend backend; // on QDBusConnection::systemBus(), as the program uses it
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        dir_.write("calls.log.behaviour", std::string(c.behaviour) + "\n");
        for (bool reboot : {true, false}) {
            SCOPED_TRACE(reboot ? "reboot" : "powerOff");
            dir_.write("calls.log", "");
            int answers = 0;
            std::string error = "(none)";
            auto done = [&](const std::string& e) {
                ++answers;
                error = e;
            };
            reboot ? backend.reboot(done) : backend.powerOff(done);
            ASSERT_TRUE(WaitFor([&] { return answers > 0; })) << "no answer; log: " << log();
            EXPECT_EQ(log(), reboot ? c.rebootLog : c.powerOffLog);
            if (*c.error)
                EXPECT_NE(error.find(c.error), std::string::npos) << error;
            else
                EXPECT_EQ(error, "");
            // Exactly one answer per request.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
            EXPECT_EQ(answers, 1);
        }
    }

    // An answer that comes after the backend is gone is dropped.
    dir_.write("calls.log.behaviour", "refuse\n");
    dir_.write("calls.log", "");
    bool lateAnswer = false;
    {
        Login1PowerBackend gone;
        gone.reboot([&](const std::string&) { lateAnswer = true; });
    }
    ASSERT_TRUE(WaitFor([&] { return log() == "RebootWithFlags 16\n"; })) << log();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
    EXPECT_FALSE(lateAnswer);

    // No login manager on the bus at all. (The system bus is one connection per process, so
    // this comes last, in the same test, rather than on a bus of its own.)
    fakeLogin1_.terminate();
    ASSERT_TRUE(fakeLogin1_.waitForFinished(5000));
    std::string error;
    backend.reboot([&](const std::string& e) { error = e.empty() ? "(accepted)" : e; });
    ASSERT_TRUE(WaitFor([&] { return !error.empty(); }));
    EXPECT_NE(error.find("org.freedesktop.DBus.Error.ServiceUnknown"), std::string::npos) << error;
}

} // namespace
} // namespace norva
