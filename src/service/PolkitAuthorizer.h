#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>

namespace norva {

// Asks the polkit authority on the system bus whether a caller may do one of the service's
// actions. The caller is named by its unique bus name, so polkit judges the process that sent
// the call (its user, its session, whether that session is active and local), not whatever
// the call claims. Interaction is allowed: polkit may ask the user for a password through the
// caller's session agent, which is why the answer comes later, on the event loop, and the
// service's method replies only then.
class PolkitAuthorizer : public QObject {
    Q_OBJECT
public:
    enum class Answer {
        Allowed,
        Refused,   // the caller has not the right
        Dismissed, // the user was asked and cancelled
        Failed     // no authority answered (not running, an error)
    };

    explicit PolkitAuthorizer(QDBusConnection bus, QObject* parent = nullptr);

    // `done` runs once, on this thread, with the answer and, when it is not Allowed, one line
    // saying why.
    void check(const QString& callerBusName, const QString& actionId,
               std::function<void(Answer, const QString& why)> done);

private:
    QDBusConnection bus_;
};

} // namespace norva
