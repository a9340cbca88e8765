#pragma once

#include "PolkitTypes.h"

#include <QDBusContext>
#include <QDBusMessage>
#include <QMap>
#include <QObject>
#include <QString>

namespace norva::test {

// The polkit authority's two calls a mechanism makes, answered from a file the test writes
// instead of from policies, and each call recorded in a log the test reads.
//
// The answers file is read again at every call, so a test changes the answer between calls
// by rewriting it. One line per action: "ACTION-ID ANSWER"; "*" as the action id is the answer
// for every action not named; blank lines and lines starting with "#" are skipped. An action
// with no answer, or a missing file, is denied. The answers:
//   allow         authorized
//   deny          not authorized
//   challenge     the user would have to authenticate: without the AllowUserInteraction flag
//                 not authorized with is_challenge set; with it the prompt is dismissed, so
//                 not authorized with the detail "polkit.dismissed" = "true"
//   authenticate  the same, but with the flag the user authenticates: authorized
//   error         the call fails with org.freedesktop.PolicyKit1.Error.Failed
//   hang          no answer, as a prompt nobody answers: the call waits until the caller
//                 cancels it (CancelCheckAuthorization with its cancellation id), and then
//                 fails with org.freedesktop.PolicyKit1.Error.Cancelled
//   slow          authorized, but only after kSlowMs, as a user typing a password
// A word it does not know fails the call with the same error, naming the line.
//
// The log gets one JSON object per line and call:
//   {"method": "CheckAuthorization", "caller": ":1.7", "subject_kind": "system-bus-name",
//    "subject": {"name": ":1.9"}, "action": "com.norva.NorvaHB1.control", "flags": 1,
//    "details": {}, "cancellation_id": "", "answer": "allow"}
//   {"method": "CancelCheckAuthorization", "caller": ":1.7", "cancellation_id": "c1"}
// "caller" is the unique bus name of whoever asked; numbers in "subject" stay numbers.
class FakePolkitAuthority : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PolicyKit1.Authority")

public:
    static constexpr int kSlowMs = 300;

    FakePolkitAuthority(QString answersPath, QString logPath, QObject* parent = nullptr);

public Q_SLOTS:
    norva::test::PolkitResult CheckAuthorization(const norva::test::PolkitSubject& subject,
                                                 const QString& actionId,
                                                 const QMap<QString, QString>& details, uint flags,
                                                 const QString& cancellationId);
    void CancelCheckAuthorization(const QString& cancellationId);

private:
    // The answer word for the action, or an error text when the file cannot say.
    QString answerFor(const QString& actionId, QString* error) const;
    void record(const QByteArray& jsonLine);

    QString answersPath_;
    QString logPath_;
    // The "hang" calls not answered yet, by cancellation id.
    QMap<QString, QDBusMessage> hanging_;
};

} // namespace norva::test
