#include "commands/Login1PowerBackend.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariant>

#include <utility>

namespace norva {

namespace {
const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");

// SD_LOGIND_SKIP_INHIBITORS: go ahead although a block inhibitor is held.
constexpr qulonglong kSkipInhibitors = 1ULL << 4;

// The answers of a manager that predates the flag or the method: worth asking the old way.
bool OlderManager(const QString& errorName) {
    return errorName == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface");
}

std::string ErrorText(const QString& name, const QString& message) {
    if (message.isEmpty())
        return name.toStdString();
    return (message + QStringLiteral(" (") + name + QLatin1Char(')')).toStdString();
}
} // namespace

Login1PowerBackend::Login1PowerBackend(QDBusConnection bus)
    : bus_(std::move(bus)), replies_(std::make_unique<QObject>()) {}

Login1PowerBackend::~Login1PowerBackend() = default;

void Login1PowerBackend::reboot(Done done) {
    request(QStringLiteral("Reboot"), std::move(done));
}

void Login1PowerBackend::powerOff(Done done) {
    request(QStringLiteral("PowerOff"), std::move(done));
}

void Login1PowerBackend::request(const QString& method, Done done) {
    QDBusMessage withFlags =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, method + "WithFlags");
    withFlags << QVariant::fromValue(kSkipInhibitors);
    send(withFlags, [this, method, done = std::move(done)](const QString& name,
                                                           const QString& message) {
        if (name.isEmpty() || !OlderManager(name)) {
            done(name.isEmpty() ? std::string() : ErrorText(name, message));
            return;
        }
        QDBusMessage plain = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
        // interactive = false: the request must not wait for the user to authenticate.
        plain << QVariant(false);
        send(plain, [done](const QString& plainName, const QString& plainMessage) {
            done(plainName.isEmpty() ? std::string() : ErrorText(plainName, plainMessage));
        });
    });
}

void Login1PowerBackend::send(const QDBusMessage& call,
                              std::function<void(const QString&, const QString&)> then) {
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), replies_.get());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, replies_.get(),
                     [watcher, then = std::move(then)] {
                         watcher->deleteLater();
                         const QDBusPendingReply<> reply = *watcher;
                         if (reply.isError())
                             then(reply.error().name(), reply.error().message());
                         else
                             then({}, {});
                     });
}

} // namespace norva
