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

PolkitAuthorizer::PolkitAuthorizer(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    qDBusRegisterMetaType<PolkitSubject>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
}

void PolkitAuthorizer::check(const QString& callerBusName, const QString& actionId,
                             std::function<void(Answer, const QString&)> done) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
        "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization");
    PolkitSubject subject{"system-bus-name", {{"name", callerBusName}}};
    const quint32 allowUserInteraction = 1;
    call << QVariant::fromValue(subject) << QVariant::fromValue(actionId)
         << QVariant::fromValue(QMap<QString, QString>())
         << QVariant::fromValue(allowUserInteraction) << QVariant::fromValue(QString());
    // A password prompt may stay open for a long time; polkit ends it itself.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 5 * 60 * 1000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            done(Answer::Failed, QString(bus::refusal::Unchecked) + ": " + reply.errorMessage());
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
