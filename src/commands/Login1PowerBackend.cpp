#include "commands/Login1PowerBackend.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QVariant>

#include <utility>

namespace norva {

namespace {
const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");
} // namespace

Login1PowerBackend::Login1PowerBackend(QDBusConnection bus) : bus_(std::move(bus)) {}

void Login1PowerBackend::reboot() {
    callManager(QStringLiteral("Reboot"));
}

void Login1PowerBackend::powerOff() {
    callManager(QStringLiteral("PowerOff"));
}

void Login1PowerBackend::callManager(const QString& method) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    // interactive = false: the request must not wait for the user to authenticate.
    call << QVariant(false);
    // The caller only needs the request to be on its way. The manager's reply (or an error,
    // e.g. for lack of rights) is deliberately dropped, and nothing here blocks the thread.
    bus_.asyncCall(call);
}

} // namespace norva
