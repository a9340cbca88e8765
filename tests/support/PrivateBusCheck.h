#pragma once

#include <QFileInfo>
#include <QString>

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

} // namespace norva::test
