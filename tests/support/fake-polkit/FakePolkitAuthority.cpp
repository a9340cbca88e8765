#include "FakePolkitAuthority.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <utility>

namespace norva::test {

namespace {

// polkit's CheckAuthorizationFlags: the caller lets the authority ask the user.
constexpr uint kAllowUserInteraction = 1;

const QString kFailed = QStringLiteral("org.freedesktop.PolicyKit1.Error.Failed");

QJsonObject ToJson(const QVariantMap& map) {
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    return object;
}

QJsonObject ToJson(const QMap<QString, QString>& map) {
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

} // namespace

FakePolkitAuthority::FakePolkitAuthority(QString answersPath, QString logPath, QObject* parent)
    : QObject(parent), answersPath_(std::move(answersPath)), logPath_(std::move(logPath)) {}

PolkitResult FakePolkitAuthority::CheckAuthorization(const PolkitSubject& subject,
                                                     const QString& actionId,
                                                     const QMap<QString, QString>& details,
                                                     uint flags, const QString& cancellationId) {
    QString error;
    const QString answer = answerFor(actionId, &error);
    const bool interactive = (flags & kAllowUserInteraction) != 0;

    QJsonObject line{{"method", "CheckAuthorization"},
                     {"caller", message().service()},
                     {"subject_kind", subject.kind},
                     {"subject", ToJson(subject.details)},
                     {"action", actionId},
                     {"flags", static_cast<qint64>(flags)},
                     {"details", ToJson(details)},
                     {"cancellation_id", cancellationId},
                     {"answer", error.isEmpty() ? answer : QStringLiteral("error")}};
    record(QJsonDocument(line).toJson(QJsonDocument::Compact));

    PolkitResult result;
    if (!error.isEmpty()) {
        sendErrorReply(kFailed, error);
        return result;
    }
    if (answer == QLatin1String("hang")) {
        setDelayedReply(true);
        hanging_.insert(cancellationId, message());
        return result;
    }
    if (answer == QLatin1String("slow")) {
        // Authorized, as a user who types the password: the answer comes a while later.
        setDelayedReply(true);
        QDBusMessage call = message();
        QDBusConnection link = connection();
        QTimer::singleShot(kSlowMs, this, [call, link]() mutable {
            PolkitResult yes;
            yes.authorized = true;
            link.send(call.createReply(QVariant::fromValue(yes)));
        });
        return result;
    }
    if (answer == QLatin1String("allow")) {
        result.authorized = true;
    } else if (answer == QLatin1String("challenge") || answer == QLatin1String("authenticate")) {
        if (!interactive)
            result.challenge = true;
        else if (answer == QLatin1String("authenticate"))
            result.authorized = true;
        else
            result.details.insert(QStringLiteral("polkit.dismissed"), QStringLiteral("true"));
    } else if (answer == QLatin1String("error")) {
        sendErrorReply(kFailed,
                       QStringLiteral("fake-polkit: answering with an error for ") + actionId);
    }
    return result;
}

void FakePolkitAuthority::CancelCheckAuthorization(const QString& cancellationId) {
    const QJsonObject line{{"method", "CancelCheckAuthorization"},
                           {"caller", message().service()},
                           {"cancellation_id", cancellationId}};
    record(QJsonDocument(line).toJson(QJsonDocument::Compact));
    const auto hanging = hanging_.find(cancellationId);
    if (hanging != hanging_.end()) {
        connection().send(
            hanging->createErrorReply(QStringLiteral("org.freedesktop.PolicyKit1.Error.Cancelled"),
                                      QStringLiteral("The authorization check was cancelled")));
        hanging_.erase(hanging);
    }
}

QString FakePolkitAuthority::answerFor(const QString& actionId, QString* error) const {
    QFile file(answersPath_);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("deny");
    QString fallback = QStringLiteral("deny");
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString text = QString::fromUtf8(file.readLine()).trimmed();
        if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
            continue;
        const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        static const QStringList known{"allow", "deny", "challenge", "authenticate",
                                       "error", "hang", "slow"};
        if (words.size() != 2 || !known.contains(words[1])) {
            *error = QStringLiteral("fake-polkit: %1 line %2 is not \"ACTION-ID ANSWER\": %3")
                         .arg(answersPath_)
                         .arg(number)
                         .arg(text);
            return {};
        }
        if (words[0] == actionId)
            return words[1];
        if (words[0] == QLatin1String("*"))
            fallback = words[1];
    }
    return fallback;
}

void FakePolkitAuthority::record(const QByteArray& jsonLine) {
    // Opened per call and closed at once, so a reader sees each line as soon as it is made.
    QFile log(logPath_);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        std::fprintf(stderr, "fake-polkit: cannot write %s\n", qPrintable(logPath_));
        return;
    }
    log.write(jsonLine + '\n');
}

} // namespace norva::test
