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

TEST_F(Login1PowerBackendTest, CallsRebootAndPowerOffWithoutInteraction) {
    ASSERT_NO_FATAL_FAILURE(StartPrivateBus());
    ASSERT_NO_FATAL_FAILURE(ExpectSystemBusIsPrivate());

    Login1PowerBackend backend; // on QDBusConnection::systemBus(), as the program uses it

    backend.reboot();
    ASSERT_TRUE(WaitFor([&] { return log() == "Reboot false\n"; })) << "log: " << log();

    backend.powerOff();
    ASSERT_TRUE(WaitFor([&] { return log() == "Reboot false\nPowerOff false\n"; }))
        << "log: " << log();
}

} // namespace
} // namespace norva
