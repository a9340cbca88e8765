// fake-polkit ANSWERS-FILE LOGFILE
//
// Owns org.freedesktop.PolicyKit1 on the bus named by DBUS_SYSTEM_BUS_ADDRESS and answers
// CheckAuthorization from ANSWERS-FILE, recording every call in LOGFILE (the formats are in
// FakePolkitAuthority.h). It is meant for the private bus of the test bed
// (tests/testbed/norva_testbed.py), and refuses to run on the machine's real system bus.
#include "FakePolkitAuthority.h"
#include "PrivateBusCheck.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: fake-polkit ANSWERS-FILE LOGFILE (with "
                             "DBUS_SYSTEM_BUS_ADDRESS set to a private bus)\n");
        return 2;
    }
    norva::test::RegisterPolkitTypes();
    norva::test::FakePolkitAuthority authority(QString::fromLocal8Bit(argv[1]),
                                               QString::fromLocal8Bit(argv[2]));
    return norva::test::ServeOnPrivateBus("fake-polkit", authority,
                                          QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
                                          QStringLiteral("org.freedesktop.PolicyKit1"));
}
