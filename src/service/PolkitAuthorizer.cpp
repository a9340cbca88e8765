#include "service/PolkitAuthorizer.h"

#include "bus/BusContract.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMap>

namespace {

// The subject of a check: ("system-bus-name", {"name": <unique name>}).
struct PolkitSubject {
    QString kind;
    QVariantMap details;
};

QDBusArgument& operator<<(QDBusArgument& arg, const PolkitSubject& subject) {
    arg.beginStructure();
    arg << subject.kind << subject.details;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, PolkitSubject& subject) {
    arg.beginStructure();
    arg >> subject.kind >> subject.details;
    arg.endStructure();
    return arg;
}

} // namespace

Q_DECLARE_METATYPE(PolkitSubject)

namespace norva {

PolkitAuthorizer::PolkitAuthorizer(QDBusConnection bus, QObject* parent, int timeoutMs)
    : QObject(parent), bus_(std::move(bus)), timeoutMs_(timeoutMs) {
    qDBusRegisterMetaType<PolkitSubject>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
}

void PolkitAuthorizer::check(const QString& callerBusName, const QString& actionId,
                             bool interactive, std::function<void(Answer, const QString&)> done) {
    if (inFlight_.contains(callerBusName)) {
        done(Answer::Busy, QStringLiteral("another authorization check of this caller is under "
                                          "way"));
        return;
    }
    const QString authority = QStringLiteral("org.freedesktop.PolicyKit1");
    const QString path = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
    const QString iface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");
    QDBusMessage call =
        QDBusMessage::createMethodCall(authority, path, iface, "CheckAuthorization");
    PolkitSubject subject{"system-bus-name", {{"name", callerBusName}}};
    const quint32 flags = interactive ? 1 : 0; // AllowUserInteraction
    const QString cancellation = QStringLiteral("norvahbd-%1").arg(++nextCancellation_);
    call << QVariant::fromValue(subject) << QVariant::fromValue(actionId)
         << QVariant::fromValue(QMap<QString, QString>()) << QVariant::fromValue(flags)
         << QVariant::fromValue(cancellation);
    inFlight_.insert(callerBusName);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, timeoutMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, callerBusName, cancellation, authority, path, iface,
             done = std::move(done)] {
                watcher->deleteLater();
                inFlight_.remove(callerBusName);
                const QDBusMessage reply = watcher->reply();
                if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                    if (QDBusError(reply).type() == QDBusError::NoReply &&
                        !reply.errorMessage().contains(QLatin1String("disconnected"))) {
                        // Out of time: the prompt (or a hung authority) is dropped, so it
                        // cannot answer a call that has been answered already.
                        QDBusMessage cancel = QDBusMessage::createMethodCall(
                            authority, path, iface, "CancelCheckAuthorization");
                        cancel << cancellation;
                        bus_.send(cancel);
                        done(Answer::Failed, QString(bus::refusal::Unchecked) + ": timed out");
                        return;
                    }
                    done(Answer::Failed,
                         QString(bus::refusal::Unchecked) + ": " + reply.errorMessage());
                    return;
                }
                const QDBusArgument result = reply.arguments().at(0).value<QDBusArgument>();
                bool authorized = false;
                bool challenge = false;
                QMap<QString, QString> details;
                result.beginStructure();
                result >> authorized >> challenge >> details;
                result.endStructure();
                if (authorized)
                    done(Answer::Allowed, QString());
                else if (details.value("polkit.dismissed") == "true")
                    done(Answer::Dismissed, bus::refusal::Cancelled);
                else
                    done(Answer::Refused, bus::refusal::Refused);
            });
}

} // namespace norva
