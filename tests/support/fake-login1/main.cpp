// fake-login1 LOGFILE
//
// Owns org.freedesktop.login1 on the bus named by DBUS_SYSTEM_BUS_ADDRESS and records calls of
// Reboot(b), PowerOff(b), RebootWithFlags(t) and PowerOffWithFlags(t) in LOGFILE, answering as
// LOGFILE.behaviour says (FakeLogin1Manager.h). CanReboot and CanPowerOff answer "yes", or what
// the file named by $FAKE_LOGIN1_CAN_ANSWERS says. It is meant for the private bus of the test
// bed (tests/testbed/norva_testbed.py) or of a test, and refuses to run on the machine's real
// system bus.
#include "FakeLogin1Manager.h"
#include "PrivateBusCheck.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fake-login1 LOGFILE (with DBUS_SYSTEM_BUS_ADDRESS set to a "
                             "private bus)\n");
        return 2;
    }
    norva::test::FakeLogin1Manager manager(QString::fromLocal8Bit(argv[1]));
    return norva::test::ServeOnPrivateBus("fake-login1", manager,
                                          QStringLiteral("/org/freedesktop/login1"),
                                          QStringLiteral("org.freedesktop.login1"));
}
