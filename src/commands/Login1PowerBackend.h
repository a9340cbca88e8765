#pragma once

#include "platform/PowerBackend.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <memory>

namespace norva {

// Restarts or powers off the machine through the login manager (systemd-logind) on the
// system bus, without ever blocking the event loop: the answer comes back through the event
// loop of the thread that built the backend, which is the thread that calls it.
//
// The device's command is forced and cannot be aborted, so it must win over a desktop's block
// inhibitor. From systemd 257 logind keeps a block inhibitor even for a privileged caller
// unless the request carries SD_LOGIND_SKIP_INHIBITORS, which only RebootWithFlags /
// PowerOffWithFlags take. So the request goes out with that flag first; a manager that does
// not know the flag (252 answers InvalidArgs) or the method (older ones: UnknownMethod) is
// asked again the old way, Reboot(false) / PowerOff(false). Any other refusal, or the refusal
// of the second request, is what `done` gets: "<message> (<error name>)".
class Login1PowerBackend : public PowerBackend {
public:
    // The bus defaults to the system bus, which follows DBUS_SYSTEM_BUS_ADDRESS when it is set.
    explicit Login1PowerBackend(QDBusConnection bus = QDBusConnection::systemBus());
    ~Login1PowerBackend() override;

    void reboot(Done done) override;
    void powerOff(Done done) override;

private:
    void request(const QString& method, Done done);
    // Sends `call` and hands its error (empty: accepted) to `then` on this thread, unless the
    // backend is gone by then.
    void send(const class QDBusMessage& call,
              std::function<void(const QString& name, const QString& message)> then);

    QDBusConnection bus_;
    // Owns the pending replies: they end with the backend, and their answers with them.
    std::unique_ptr<QObject> replies_;
};

} // namespace norva
