#pragma once

#include "bus/BusContract.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <deque>
#include <functional>
#include <vector>

class QDBusServiceWatcher;

namespace norva {

// The desktop program's view of the service norvahbd over the bus (com.norva.NorvaHB1 at
// /com/norva/NorvaHB1, packaging/dbus/com.norva.NorvaHB1.xml; every name from BusContract.h),
// without widgets, so a window
// or a test can follow it alike. It works on the connection it is given: the system bus in
// the program, a private bus in tests.
//
// The service's life. The client watches the bus name (no polling) and, once at
// construction, asks whether the service is running already. Whenever an owner appears it
// reads every property with one GetAll and only then emits serviceAppeared(): from that
// moment on every getter holds the service's value, so a follower draws the whole state from
// the getters there. The value signals below report changes after that, never the first
// values. When the owner goes (the service stopped, crashed or restarts) serviceVanished()
// follows; the getters keep the last values until the next appearance replaces them. A
// warning on screen is gone with the service then, without a warningEnded().
// serviceRunning() is true exactly between the two signals. A service that restarts gives
// serviceVanished() and then serviceAppeared() again.
//
// Values. The client keeps the last value of every property, from GetAll and from the
// service's PropertiesChanged, and emits stateChanged, modeChanged, deviceAddressChanged,
// networkCountersChanged and usbCountersChanged when a value actually changed (the counters
// of one link as one signal). The service's own signals are relayed as Qt signals with the
// same values while the service is followed (between serviceAppeared and serviceVanished);
// anything the service sent before the snapshot was read is already in that snapshot. A value
// that a relayed signal carries is in the getters when the signal comes, although the service
// sends its PropertiesChanged after it: warningOnScreen() and warningMode() at warningShown,
// warningCountdown() at warningTicked, warningOnScreen() false at warningEnded, and state()
// "responding" at answered() (stateChanged comes first when the state changed).
//
// Methods. start(), stop(), clear(), applySettings(), testWarning(), closeWarning() and
// readSettings() are asynchronous: each returns at once and calls its callback later on this
// thread, exactly once, with an empty error on success or one line saying what went wrong. The
// service answers a guarded call only once polkit has answered, which may mean a password prompt,
// so a call waits up to CallTimeoutMs and the event loop is never blocked. The service checks
// one call of a caller at a time, so the guarded calls (all but closeWarning) go out one after
// another, in the order they were made, and never come back Busy. The texts tell apart the
// caller not being allowed (the service changed nothing), the password prompt being cancelled, the
// service not running, and the rest. A callback does not run once the client is destroyed. The
// calls never start the service by bus activation.
class ServiceClient : public QObject {
    Q_OBJECT

public:
    // A little longer than the service waits for polkit (60 s, a password prompt included),
    // so the service's own "timed out" answer arrives rather than the bus's.
    static constexpr int CallTimeoutMs = 70 * 1000;

    // The texts a callback gets for the cases a front end tells apart (the refusal names
    // what was refused, see the methods).
    static QString notRunningText();
    static QString cancelledText();

    using Done = std::function<void(const QString& error)>;
    using SettingsDone =
        std::function<void(const QMap<QString, QString>& values, const QString& error)>;

    explicit ServiceClient(QDBusConnection bus, QObject* parent = nullptr);
    ~ServiceClient() override;

    bool serviceRunning() const { return running_; }
    // Whether the client knows yet if the service runs: false until the lookup made at
    // construction has been answered (or an owner has been read or seen to go).
    bool serviceKnown() const { return known_; }

    // The properties, as last read (State one of bus::state, Mode one of bus::mode).
    QString state() const { return state_; }
    QString mode() const { return mode_; }
    QString deviceAddress() const { return deviceAddress_; }
    uint networkSent() const { return networkSent_; }
    uint networkReceived() const { return networkReceived_; }
    uint networkNak() const { return networkNak_; }
    uint networkMissed() const { return networkMissed_; }
    uint usbSent() const { return usbSent_; }
    uint usbReceived() const { return usbReceived_; }
    uint usbMissed() const { return usbMissed_; }
    // The pending action's warning: on screen, its mode (0 restart, 1 shutdown), seconds left.
    bool warningOnScreen() const { return warningOnScreen_; }
    uchar warningMode() const { return warningMode_; }
    int warningCountdown() const { return warningCountdown_; }
    // Whether the service holds the login manager's sleep lock, and whether that lock only
    // delays sleep (the heartbeat pauses for it) rather than blocking it.
    bool sleepInhibited() const { return sleepInhibited_; }
    bool allowSleep() const { return allowSleep_; }

    // Start and Stop the heartbeat, Clear the counters of both links (polkit action
    // com.norva.NorvaHB1.control).
    void start(Done done);
    void stop(Done done);
    void clear(Done done);
    // Stores the settings pages' values, "Section/Key" = value as readSettings gives them plus
    // "GSD/Password"; a key left out keeps its value. A bad value fails with the service's
    // reason and stores nothing (com.norva.NorvaHB1.configure).
    void applySettings(const QMap<QString, QString>& values, Done done);
    // The pending-action warning with the last mode, as the window's test button
    // (com.norva.NorvaHB1.configure).
    void testWarning(Done done);
    // The window showing the warning was closed: the service counts it off screen (the count
    // goes on; its next warning counts from 10). Open to everyone, no prompt.
    void closeWarning(Done done);
    // The settings pages' values; the password is never among them, and the command user name
    // ("GSD/username") only when this user may change the settings without a prompt. Open to
    // everyone.
    void readSettings(SettingsDone done);
    // Whether the service sends this client its status and log lines (statusLine, logLine):
    // asked once each time the service appears (FollowLines, polkit's control action, never
    // with a prompt). A user who may not control the heartbeat gets no lines, only counts.
    bool followsLines() const { return followsLines_; }
    // Empty while the service has a command password stored; else what that means, in one line.
    QString commandPasswordProblem() const { return commandPasswordProblem_; }

signals:
    void serviceAppeared();
    void serviceVanished();
    // The service was found not running by a client that had not followed it yet (the lookup
    // at construction, or an owner gone before it could be read): once per client, and never
    // after a serviceAppeared(), which is followed by serviceVanished() instead.
    void serviceAbsent();

    void stateChanged(const QString& state);
    void networkCountersChanged(uint sent, uint rcvd, uint nak, uint missed);
    void usbCountersChanged(uint sent, uint rcvd, uint missed);
    void modeChanged(const QString& mode);
    void deviceAddressChanged(const QString& address);

    void noResponse(const QString& text);
    void answered();
    void deviceMessage(const QString& caption);
    void commandAccepted(const QString& source, const QString& action);
    void warningShown(uchar mode);
    void warningTicked(int countdown);
    void warningEnded();
    void caption(const QString& text);
    // Only while followsLines().
    void statusLine(const QString& text);
    void logLine(const QString& text);
    // FollowLines was answered: `error` is empty when the lines come from now on.
    void linesFollowed(const QString& error);
    // The login manager refused the service's restart or shutdown ("restart", "shutdown")
    // for the reason `error`.
    void powerRequestFailed(const QString& action, const QString& error);
    // An error the service met where the desktop program would show its error box, with the
    // box's text; once when it starts, not at each repeat.
    void error(const QString& text);

private slots:
    // Every signal of the service, PropertiesChanged included, arrives here.
    void onServiceSignal(const QDBusMessage& message);

private:
    // The name's owner is now `owner` (a unique name, empty: none).
    void ownerIs(const QString& owner);
    // Tells once that the service was found not running before it was followed.
    void settleAbsent();
    // Reads every property of the owner. The first time it ends in serviceAppeared();
    // `again` (while followed) announces what changed instead.
    void readAll(bool again);
    // Stores the values; with `announce`, emits the value signals of those that changed.
    void apply(const QVariantMap& values, bool announce);
    // Calls `method`; `done` gets the reply, or the error as a front end shows it, worded
    // with `what` (what the caller was trying to do, for the refusal).
    // `interactive`: polkit may ask the user for a password before the service answers.
    // `checked`: the service asks polkit before it answers, so the call waits its turn (see
    // guardedWaiting_).
    enum class Checked { Yes, No };
    void call(const QString& method, const QVariantList& args, const QString& what,
              std::function<void(const QDBusMessage& reply, const QString& error)> done,
              bool interactive = true, Checked checked = Checked::Yes);
    // Sends `message` now; `done` as for call().
    void send(const QDBusMessage& message, const QString& what,
              std::function<void(const QDBusMessage&, const QString&)> done, bool checked);
    // Asks the service for its status and log lines.
    void followLines();
    QString errorText(const QDBusMessage& reply, const QString& what) const;

    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_ = nullptr;
    QString owner_;
    // Counts owners, so a snapshot read for an owner that has gone since is dropped.
    quint64 generation_ = 0;
    bool running_ = false;
    bool known_ = false; // see serviceKnown()
    bool followsLines_ = false;
    // The service checks one authorization per caller at a time and answers a second Busy, so
    // the calls it checks go out one after another: the rest wait here, in the order they were
    // made (a readSettings made while FollowLines is checked comes back with the user name,
    // and a Stop clicked during a password prompt is asked after it).
    struct Guarded {
        QDBusMessage message;
        QString what;
        std::function<void(const QDBusMessage&, const QString&)> done;
    };
    std::deque<Guarded> guardedWaiting_;
    bool guardedInFlight_ = false;
    QString state_ = QString::fromLatin1(bus::state::Stopped);
    QString mode_ = QString::fromLatin1(bus::mode::None);
    QString deviceAddress_;
    uint networkSent_ = 0;
    uint networkReceived_ = 0;
    uint networkNak_ = 0;
    uint networkMissed_ = 0;
    uint usbSent_ = 0;
    uint usbReceived_ = 0;
    uint usbMissed_ = 0;
    bool warningOnScreen_ = false;
    uchar warningMode_ = 0;
    int warningCountdown_ = 0;
    bool sleepInhibited_ = false;
    bool allowSleep_ = false;
    QString commandPasswordProblem_;
};

} // namespace norva
