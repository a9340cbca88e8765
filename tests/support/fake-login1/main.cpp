// fake-login1 LOGFILE
//
// Owns org.freedesktop.login1 on the bus named by DBUS_SYSTEM_BUS_ADDRESS and records calls of
// Reboot(b) and PowerOff(b) in LOGFILE. It is meant for the private bus of the test bed
// (tests/testbed/norva_testbed.py) or of a test, and refuses to run on the machine's real
// system bus.
#include "FakeLogin1Manager.h"
#include "PrivateBusCheck.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>

namespace {

int Refuse(const char* why) {
    std::fprintf(stderr, "fake-login1: REFUSING TO START: %s\n", why);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fake-login1 LOGFILE (with DBUS_SYSTEM_BUS_ADDRESS set to a "
                             "private bus)\n");
        return 2;
    }

    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SYSTEM_BUS_ADDRESS"));
    if (address.isEmpty())
        return Refuse("DBUS_SYSTEM_BUS_ADDRESS is not set; point it at a private bus");
    if (norva::test::IsRealSystemBus(address))
        return Refuse("DBUS_SYSTEM_BUS_ADDRESS is the machine's real system bus");

    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("fake"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "fake-login1: cannot connect to %s: %s\n", qPrintable(address),
                     qPrintable(bus.lastError().message()));
        return 1;
    }

    norva::test::FakeLogin1Manager manager(QString::fromLocal8Bit(argv[1]));
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager,
                            QDBusConnection::ExportAllSlots)) {
        std::fprintf(stderr, "fake-login1: cannot export /org/freedesktop/login1\n");
        return 1;
    }
    if (!bus.registerService(QStringLiteral("org.freedesktop.login1"))) {
        std::fprintf(stderr, "fake-login1: cannot own org.freedesktop.login1: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }

    // Whoever started us waits for this line before making calls.
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
