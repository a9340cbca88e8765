#pragma once

#include "platform/PowerBackend.h"

#include <QDBusConnection>
#include <QString>

namespace norva {

// Restarts or powers off the machine through the login manager (systemd-logind) on the
// system bus. The request goes out asynchronously: the call returns at once, never waits for
// the manager's answer and reports nothing, whatever the outcome.
class Login1PowerBackend : public PowerBackend {
public:
    // The bus defaults to the system bus, which follows DBUS_SYSTEM_BUS_ADDRESS when it is set.
    explicit Login1PowerBackend(QDBusConnection bus = QDBusConnection::systemBus());

    void reboot() override;
    void powerOff() override;

private:
    void callManager(const QString& method);

    QDBusConnection bus_;
};

} // namespace norva
