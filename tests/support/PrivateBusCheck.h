#pragma once

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QFileInfo>
#include <QObject>
#include <QString>

#include <cstdio>

namespace norva::test {

// True when a D-Bus address names a socket in the folder of the machine's own system bus,
// /run/dbus (or /var/run/dbus, usually a link to it), however the path is spelt. The fake
// system services refuse such an address: they belong on a private bus only.
inline bool IsRealSystemBus(const QString& address) {
    const QString realFolder = QStringLiteral("/run/dbus/");
    for (const QString& part : address.split(QLatin1Char(';'))) {
        for (const QString& key : part.section(QLatin1Char(':'), 1).split(QLatin1Char(','))) {
            if (!key.startsWith(QLatin1String("path=")))
                continue;
            const QString path = key.mid(5);
            const QString folder = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
            if (path.startsWith(realFolder) ||
                path.startsWith(QLatin1String("/var") + realFolder) ||
                folder + QLatin1Char('/') == realFolder)
                return true;
        }
    }
    return false;
}

// The main loop of a fake system service: `object` is exported at `path` and owns `service`
// on the bus named by DBUS_SYSTEM_BUS_ADDRESS, which must be set and must not be the machine's
// own system bus (then the fake refuses to start, with status 2). "ready" on standard output
// tells whoever started it that calls may come. Returns the status for main().
inline int ServeOnPrivateBus(const char* program, QObject& object, const QString& path,
                             const QString& service) {
    const QString address = QString::fromLocal8Bit(qgetenv("DBUS_SYSTEM_BUS_ADDRESS"));
    const char* refusal = address.isEmpty() ? "DBUS_SYSTEM_BUS_ADDRESS is not set; point it at a "
                                              "private bus"
                          : IsRealSystemBus(address)
                              ? "DBUS_SYSTEM_BUS_ADDRESS is the machine's real system bus"
                              : nullptr;
    if (refusal) {
        std::fprintf(stderr, "%s: REFUSING TO START: %s\n", program, refusal);
        return 2;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("fake"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "%s: cannot connect to %s: %s\n", program, qPrintable(address),
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    if (!bus.registerObject(path, &object, QDBusConnection::ExportAllSlots)) {
        std::fprintf(stderr, "%s: cannot export %s\n", program, qPrintable(path));
        return 1;
    }
    if (!bus.registerService(service)) {
        std::fprintf(stderr, "%s: cannot own %s: %s\n", program, qPrintable(service),
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace norva::test
