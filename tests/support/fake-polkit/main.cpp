// fake-polkit ANSWERS-FILE LOGFILE
//
// Owns org.freedesktop.PolicyKit1 on the bus named by DBUS_SYSTEM_BUS_ADDRESS and answers
// CheckAuthorization from ANSWERS-FILE, recording every call in LOGFILE (the formats are in
// FakePolkitAuthority.h). It is meant for the private bus of the test bed
// (tests/testbed/norva_testbed.py), and refuses to run on the machine's real system bus.
#include "FakePolkitAuthority.h"
#include "PrivateBusCheck.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>

namespace {

int Refuse(const char* why) {
    std::fprintf(stderr, "fake-polkit: REFUSING TO START: %s\n", why);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: fake-polkit ANSWERS-FILE LOGFILE (with "
                             "DBUS_SYSTEM_BUS_ADDRESS set to a private bus)\n");
        return 2;
    }

    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SYSTEM_BUS_ADDRESS"));
    if (address.isEmpty())
        return Refuse("DBUS_SYSTEM_BUS_ADDRESS is not set; point it at a private bus");
    if (norva::test::IsRealSystemBus(address))
        return Refuse("DBUS_SYSTEM_BUS_ADDRESS is the machine's real system bus");

    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("fake"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "fake-polkit: cannot connect to %s: %s\n", qPrintable(address),
                     qPrintable(bus.lastError().message()));
        return 1;
    }

    norva::test::RegisterPolkitTypes();
    norva::test::FakePolkitAuthority authority(QString::fromLocal8Bit(argv[1]),
                                               QString::fromLocal8Bit(argv[2]));
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/PolicyKit1/Authority"), &authority,
                            QDBusConnection::ExportAllSlots)) {
        std::fprintf(stderr, "fake-polkit: cannot export /org/freedesktop/PolicyKit1/Authority\n");
        return 1;
    }
    if (!bus.registerService(QStringLiteral("org.freedesktop.PolicyKit1"))) {
        std::fprintf(stderr, "fake-polkit: cannot own org.freedesktop.PolicyKit1: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }

    // Whoever started us waits for this line before making calls.
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
