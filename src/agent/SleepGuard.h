#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace norva {

// The login manager's sleep lock, and its word that the machine goes to sleep or woke.
//
// While the heartbeat runs the agent holds an inhibitor lock on "sleep": in "block" mode (the
// default) sleep waits until the heartbeat stops, as the device would power-cycle a PC whose
// heartbeat stops; in "delay" mode (AllowSleep) sleep only waits until the heartbeat has
// paused. The lock is the file descriptor logind hands out; it is held until closed. Whatever
// the mode, PrepareForSleep is followed: a lid switch or power key ignores a block lock by
// default, and such a sleep is paused for too.
//
// `bus` is the system bus in the programs and a private bus with a fake login manager in
// tests. A refused lock is said once (lockRefused) and changes nothing else. Lives on the
// thread that builds it.
class SleepGuard : public QObject {
    Q_OBJECT
public:
    explicit SleepGuard(QDBusConnection bus, QObject* parent = nullptr);
    ~SleepGuard() override;

    // Why the lock is held, as `systemctl suspend` and `systemd-inhibit --list` show it.
    static constexpr const char* Who = "NorvaHB";
    static constexpr const char* Why =
        "The Norva power controller power-cycles a PC whose heartbeat stops";

    // Takes the lock in the given mode ("delay" when `allowSleep`, else "block"), releasing
    // one held in the other mode first; a lock already held in that mode stays. True when held.
    bool take(bool allowSleep);
    void release();
    bool held() const { return fd_ >= 0; }
    bool allowSleep() const { return allowSleep_; }

signals:
    // The login manager's PrepareForSleep: true before a sleep, false after the wake.
    void prepareForSleep(bool start);
    // The login manager refused the lock (its error, one line).
    void lockRefused(const QString& error);

private slots:
    void onPrepareForSleep(bool start);

private:
    QDBusConnection bus_;
    int fd_ = -1;
    bool allowSleep_ = false;
};

} // namespace norva
