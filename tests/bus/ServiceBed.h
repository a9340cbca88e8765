#pragma once

#include <ostream>
#include <string>

// The real norvahbd on a private bus of the test's own, for tests of whatever follows the
// service: a dbus-daemon started here (configured by the test bed, tests/testbed), the fake
// login manager and the fake polkit authority on it, the service's settings in a temporary
// folder, and a simulated device on a serial line (norva-device serial on a pseudo-terminal)
// when the test wants one.
//
// The service and the fakes get the private bus as their system bus, and nothing else: before
// norvahbd starts, requirePrivateBus() proves that the bus is the dbus-daemon started here,
// listening in this test's folder, and that the login manager and the polkit authority on it
// are the fakes started here. A test that cannot prove it fails; it never skips, and never
// goes on to the machine's own system bus, where a restart command would restart the machine.
//
// The programs come from the build as compile definitions: NORVA_NORVAHBD, NORVA_FAKE_LOGIN1,
// NORVA_FAKE_POLKIT, NORVA_DEVICE, NORVA_PYTHON and NORVA_TESTBED (see
// tests/bus/CMakeLists.txt). Each step reports failures with gtest assertions, so call
// the steps under ASSERT_NO_FATAL_FAILURE.

#include "bus/BusContract.h"
#include "support/PrivateBusCheck.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#if !defined(NORVA_NORVAHBD) || !defined(NORVA_FAKE_LOGIN1) || !defined(NORVA_FAKE_POLKIT) ||      \
    !defined(NORVA_DEVICE) || !defined(NORVA_PYTHON) || !defined(NORVA_TESTBED)
#error "the build must define the programs ServiceBed starts (tests/bus/CMakeLists.txt)"
#endif

// Failures show texts as texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace norva::test {

// The command credentials of ServiceSettings.
inline constexpr const char* kServiceUser = "Ostra";
inline constexpr const char* kServicePassword = "s3cret";

// Settings of a service that resumes its heartbeat at start. The network heartbeat goes to
// 127.0.0.1 on `udpPort`, where the service's own socket listens: each heartbeat comes back
// to it and counts as received, so the counters move and the state stays "responding"
// without a device and without a datagram leaving the machine. With `usb` the serial
// heartbeat runs on COM7 (ServiceBed::startSerialDevice) once a second, failing at the first
// miss. Commands wait for the warning.
inline std::string ServiceSettings(quint16 udpPort, bool usb = false, bool statusInTray = false) {
    return std::string("[Setup]\nIPAddr=127.0.0.1\nPort=") + std::to_string(udpPort) +
           "\nFreq=1\nFailCount=3\nNetwork=" + (usb ? "0" : "1") + "\nUSB=" + (usb ? "1" : "0") +
           "\nComPort=COM7\ncomFreq=1\ncomFail=1\n" + (statusInTray ? "ShowStatusInTray=1\n" : "") +
           "[Run]\nIsStarted=1\n[GSD]\nUsername=" + kServiceUser +
           "\nPassword=" + kServicePassword + "\nAlertPedningAction=1\n";
}

// What the service's client says when polkit refuses `what`.
inline QString NotAllowed(const char* what) {
    return QStringLiteral("You are not allowed to %1; nothing was changed.").arg(what);
}

class ServiceBed {
public:
    ServiceBed() {
        std::filesystem::create_directories(settingsFolder());
        answersPath_ = QString::fromStdString((dir_ / "polkit-answers").string());
        dir_.write("polkit-answers", "");
    }

    ~ServiceBed() {
        // The service first: it may still be talking to the fakes.
        for (QProcess* p : {&service_, &device_, &polkit_, &login1_, &busDaemon_})
            stop(*p);
        if (connected_)
            QDBusConnection::disconnectFromBus(connectionName());
        if (otherConnected_)
            QDBusConnection::disconnectFromBus(connectionName() + "-other");
    }

    ServiceBed(const ServiceBed&) = delete;
    ServiceBed& operator=(const ServiceBed&) = delete;

    // The private bus and the two fakes on it.
    void startBus() {
        QProcess config;
        config.start(QStringLiteral(NORVA_PYTHON),
                     {QStringLiteral(NORVA_TESTBED), QStringLiteral("bus-config"),
                      QString::fromStdString((dir_ / "bus").string())});
        ASSERT_TRUE(config.waitForFinished(10000) && config.exitCode() == 0)
            << "cannot write the private bus configuration: "
            << config.readAllStandardError().toStdString();
        const QString configPath = QString::fromLocal8Bit(config.readAllStandardOutput()).trimmed();

        busDaemon_.start(QStringLiteral("dbus-daemon"),
                         {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                          QStringLiteral("--print-address=1")});
        ASSERT_TRUE(busDaemon_.waitForStarted(10000))
            << "PRIVATE BUS NOT STARTED (is dbus-daemon installed?)";
        address_ = firstLine(busDaemon_);
        const QString socketPrefix =
            QStringLiteral("unix:path=") + QString::fromStdString(dir_.path().string()) + "/bus/";
        ASSERT_TRUE(address_.startsWith(socketPrefix) && !IsRealSystemBus(address_))
            << "PRIVATE BUS NOT IN PLACE, got address '" << address_.toStdString()
            << "': " << busDaemon_.readAllStandardError().toStdString();

        startFake(login1_, QStringLiteral(NORVA_FAKE_LOGIN1),
                  {QString::fromStdString((dir_ / "login1-calls.log").string())});
        startFake(polkit_, QStringLiteral(NORVA_FAKE_POLKIT),
                  {answersPath_, QString::fromStdString((dir_ / "polkit-calls.log").string())});
    }

    // A connection of this test to the private bus (for the client under test).
    QDBusConnection bus() {
        connected_ = true;
        return QDBusConnection::connectToBus(address_, connectionName());
    }

    // A second connection to the private bus: another caller, with a unique name of its own,
    // as a second local user's program would be.
    QDBusConnection otherCaller() {
        otherConnected_ = true;
        return QDBusConnection::connectToBus(address_, connectionName() + "-other");
    }

    // The guard: the bus is the dbus-daemon started here, and the login manager and the
    // polkit authority on it are the fakes started here.
    void requirePrivateBus() {
        ASSERT_FALSE(address_.isEmpty()) << "NO PRIVATE BUS: REFUSING TO START norvahbd";
        ASSERT_FALSE(IsRealSystemBus(address_))
            << "THE MACHINE'S SYSTEM BUS: REFUSING TO START norvahbd";
        QDBusConnection check = bus();
        ASSERT_TRUE(check.isConnected()) << "private bus not connected: REFUSING";
        const auto pidOf = [&check](const char* name) -> qint64 {
            const auto reply = check.interface()->servicePid(QString::fromLatin1(name));
            return reply.isValid() ? static_cast<qint64>(reply.value()) : -1;
        };
        ASSERT_EQ(pidOf("org.freedesktop.DBus"), busDaemon_.processId())
            << "THE BUS IS NOT THE PRIVATE BUS STARTED HERE: REFUSING TO START norvahbd";
        ASSERT_EQ(pidOf("org.freedesktop.login1"), login1_.processId())
            << "org.freedesktop.login1 IS NOT THE FAKE: REFUSING TO START norvahbd";
        ASSERT_EQ(pidOf("org.freedesktop.PolicyKit1"), polkit_.processId())
            << "org.freedesktop.PolicyKit1 IS NOT THE FAKE: REFUSING TO START norvahbd";
    }

    // The fake authority's answers from now on: "ACTION-ID ANSWER" lines, "*" for any other
    // (the format is in tests/support/fake-polkit/FakePolkitAuthority.h).
    void setPolkit(const std::string& answers) {
        dir_.write("polkit-answers.new", answers);
        std::filesystem::rename(dir_ / "polkit-answers.new", dir_ / "polkit-answers");
    }

    std::string loginCalls() const { return dir_.read("login1-calls.log"); }
    // The fake polkit authority's log, one JSON object per call.
    std::string polkitCalls() const { return dir_.read("polkit-calls.log"); }
    // How the fake login manager answers from now on: "modern", "debian12", "old" (its
    // default), "refuse" or "inhibited" (tests/support/fake-login1/FakeLogin1Manager.h).
    void setLogin1Behaviour(const std::string& behaviour) {
        dir_.write("login1-calls.log.behaviour.new", behaviour + "\n");
        std::filesystem::rename(dir_ / "login1-calls.log.behaviour.new",
                                dir_ / "login1-calls.log.behaviour");
    }

    std::filesystem::path settingsFolder() const { return dir_ / "settings"; }

    void writeSettings(const std::string& ini) {
        const auto path = settingsFolder() / "NorvaHB";
        dir_.write("settings/NorvaHB", ini);
        std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::owner_write);
    }

    std::string readSettings() const { return dir_.read("settings/NorvaHB"); }

    // norva-device on a pseudo-terminal linked where the service looks for COM7.
    void startSerialDevice() {
        device_.setProcessChannelMode(QProcess::MergedChannels);
        device_.start(QStringLiteral(NORVA_DEVICE),
                      {QStringLiteral("serial"), QStringLiteral("--link"),
                       QString::fromStdString((settingsFolder() / "NorvaHB-ports/COM7").string())});
        ASSERT_TRUE(device_.waitForStarted(10000)) << "cannot start norva-device";
        ASSERT_TRUE(WaitFor([this] {
                        deviceLog_ += device_.readAll().toStdString();
                        return deviceLog_.find(" info serial on ") != std::string::npos ||
                               device_.state() == QProcess::NotRunning;
                    }) &&
                    device_.state() == QProcess::Running)
            << "norva-device serial did not start: " << deviceLog_;
    }

    // A restart command to the service's command port from a simulated device run from
    // outside, as the real one would be, with the service's user name and `password`; the event
    // loop runs meanwhile. Its exit code.
    int deviceSendsRestart(quint16 commandPort, const char* password) {
        QProcess device;
        device.setProcessChannelMode(QProcess::MergedChannels);
        device.start(QStringLiteral(NORVA_DEVICE),
                     {"command", "--host", "127.0.0.1", "--port", QString::number(commandPort),
                      "--user", kServiceUser, "--password", password, "--action", "restart"});
        EXPECT_TRUE(WaitFor([&] { return device.state() == QProcess::NotRunning; }, 20000));
        return device.exitCode();
    }

    // How the running device answers from now on ("silent", "whole", ...): returns once the
    // device says it took the command, so the next heartbeat already gets the new answer.
    void deviceSays(const char* answer) {
        deviceLog_ += device_.readAll().toStdString();
        const std::size_t from = deviceLog_.size();
        device_.write(QByteArray(answer) + '\n');
        device_.waitForBytesWritten(5000);
        const std::string said = std::string(" info answer ") + answer;
        EXPECT_TRUE(WaitFor([&] {
            deviceLog_ += device_.readAll().toStdString();
            return deviceLog_.find(said, from) != std::string::npos;
        })) << "norva-device did not take '"
            << answer << "': " << deviceLog_.substr(from);
    }

    // norvahbd as its unit starts it, on the private bus, after the guard.
    void startService(quint16 commandPort) {
        ASSERT_NO_FATAL_FAILURE(requirePrivateBus());
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH", "/usr/bin:/bin"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address_);
        for (const QString& name : QProcessEnvironment::systemEnvironment().keys())
            if (name.endsWith(QLatin1String("SAN_OPTIONS")))
                env.insert(name, qEnvironmentVariable(name.toLocal8Bit().constData()));
        service_.setProcessEnvironment(env);
        service_.setProcessChannelMode(QProcess::MergedChannels);
        service_.start(QStringLiteral(NORVA_NORVAHBD),
                       {QStringLiteral("--settings"),
                        QString::fromStdString((settingsFolder() / "NorvaHB").string()),
                        QStringLiteral("--lock"),
                        QString::fromStdString((dir_ / "norvahbd.lock").string()),
                        QStringLiteral("--command-port"), QString::number(commandPort)});
        ASSERT_TRUE(service_.waitForStarted(10000)) << "cannot start norvahbd";
    }

    // Waits until the service owns its name (for tests that want it running first).
    void waitServiceOnBus() {
        QDBusConnection check = bus();
        ASSERT_TRUE(WaitFor([&] {
                        return check.interface()->isServiceRegistered(
                                   QString::fromLatin1(bus::ServiceName)) ||
                               service_.state() == QProcess::NotRunning;
                    }) &&
                    service_.state() == QProcess::Running)
            << "norvahbd did not take its name: " << serviceLog();
    }

    // SIGTERM, as the service manager stops it; it must end on its own.
    void stopService() {
        service_.terminate();
        ASSERT_TRUE(service_.waitForFinished(10000)) << "norvahbd did not end: " << serviceLog();
        serviceLog_ += service_.readAll().toStdString();
    }

    // SIGKILL: the service ends without a word, as in a crash.
    void killService() {
        service_.kill();
        service_.waitForFinished(10000);
    }

    std::string serviceLog() {
        serviceLog_ += service_.readAll().toStdString();
        return serviceLog_;
    }

private:
    QString connectionName() const {
        return QStringLiteral("service-bed-") + QString::number(reinterpret_cast<quintptr>(this));
    }

    static QString firstLine(QProcess& process) {
        WaitFor([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; });
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }

    void startFake(QProcess& fake, const QString& program, const QStringList& args) {
        QProcessEnvironment env;
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address_);
        fake.setProcessEnvironment(env);
        fake.start(program, args);
        ASSERT_TRUE(fake.waitForStarted(10000)) << "cannot start " << program.toStdString();
        ASSERT_EQ(firstLine(fake), QStringLiteral("ready"))
            << program.toStdString()
            << " did not come up: " << fake.readAllStandardError().toStdString();
    }

    static void stop(QProcess& process) {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    TempDir dir_;
    QString address_;
    QString answersPath_;
    QProcess busDaemon_;
    QProcess login1_;
    QProcess polkit_;
    QProcess device_;
    QProcess service_;
    std::string deviceLog_;
    std::string serviceLog_;
    bool connected_ = false;
    bool otherConnected_ = false;
};

} // namespace norva::test
