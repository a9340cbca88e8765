#pragma once

#include <QByteArray>
#include <QString>

namespace norva {

class ServiceClient;

// What `norvactl status` says: the service's values at one moment, as a few aligned lines
// for a person, as one JSON object for a script, and as an exit status for a monitoring
// check. A plain value, so the wording and the statuses are tested without a bus.
class StatusReport {
public:
    // The exit statuses, as `systemctl is-active` scripts read them.
    static constexpr int Responding = 0;
    static constexpr int NotResponding = 1;
    static constexpr int Inactive = 3;

    // The values `client` holds; call it once the service has appeared (or was found absent:
    // then only `running` false matters).
    static StatusReport of(const ServiceClient& client);

    bool running = false;
    QString state;
    QString mode;
    QString deviceAddress;
    uint networkSent = 0, networkReceived = 0, networkNak = 0, networkMissed = 0;
    uint usbSent = 0, usbReceived = 0, usbMissed = 0;
    bool warningOnScreen = false;
    uchar warningMode = 0; // 0 restart, 1 shutdown
    int warningCountdown = 0;
    bool sleepInhibited = false;
    bool allowSleep = false;

    // The lines, each ending in a line break; for a service that is not running, one line.
    QString text() const;
    // One JSON object on one line, with a line break: {"running": false} alone for a service
    // that is not running.
    QByteArray json() const;
    // Responding, NotResponding or Inactive; see exitStatusFor.
    int exitStatus() const;
    // The state's exit status: responding 0; not responding 1, and so is waiting for the
    // serial device (the heartbeat is meant to run and reaches no device, which a check
    // should raise); stopped 3, and so is sleeping (the heartbeat is paused on purpose, and
    // a machine that sleeps runs no check anyway). A state this program does not know is
    // NotResponding: a check should look rather than pass.
    static int exitStatusFor(const QString& state);

    // The pending action's name for the warning's mode.
    static QString actionName(uchar mode);
};

} // namespace norva
