#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>

namespace norva {

// Asks the polkit authority on the system bus whether a caller may do one of the service's
// actions. The caller is named by its unique bus name, so polkit judges the process that sent
// the call (its user, its session, whether that session is active and local), not whatever
// the call claims. Polkit may ask the user for a password through the caller's session agent
// only when the caller allowed it (the ALLOW_INTERACTIVE_AUTHORIZATION flag of its call, passed
// in as `interactive`): a script that did not ask for a prompt gets none. The answer comes
// later, on the event loop, and the service's method replies only then.
//
// The checks are bounded, so no caller can make the service hold on to work for it: one check
// in flight per caller (a second is answered Busy at once, polkit not asked), and none waits
// longer than `timeoutMs`; then it is answered Failed "…: timed out" and polkit is told to
// cancel it.
class PolkitAuthorizer : public QObject {
    Q_OBJECT
public:
    enum class Answer {
        Allowed,
        Refused,   // the caller has not the right
        Dismissed, // the user was asked and cancelled
        Failed,    // no authority answered (not running, an error, the time ran out)
        Busy       // a check for the same caller is still under way
    };

    // Long enough to type a password, short enough that a prompt left open does not hold the
    // caller's turn for polkit's own five minutes.
    static constexpr int DefaultTimeoutMs = 60 * 1000;

    explicit PolkitAuthorizer(QDBusConnection bus, QObject* parent = nullptr,
                              int timeoutMs = DefaultTimeoutMs);

    // `done` runs once, on this thread, with the answer and, when it is not Allowed, one line
    // saying why.
    void check(const QString& callerBusName, const QString& actionId, bool interactive,
               std::function<void(Answer, const QString& why)> done);

private:
    QDBusConnection bus_;
    int timeoutMs_;
    QSet<QString> inFlight_; // the callers whose check is under way
    quint64 nextCancellation_ = 0;
};

} // namespace norva
