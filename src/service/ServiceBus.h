#pragma once

#include "agent/AgentListener.h"
#include "service/Pacer.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusServiceWatcher>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>
#include <chrono>
#include <functional>

namespace norva {

class Agent;
struct AgentState;
class PolkitAuthorizer;

// The service on the system bus: com.norva.NorvaHB1 at /com/norva/NorvaHB1, as documented in
// packaging/dbus/com.norva.NorvaHB1.xml, with every name from bus/BusContract.h. moc takes the
// interface's name and the members' names from this class itself, so they are spelt here
// again; tests/service/qtest_ServiceBus.cpp holds them to the contract. The properties are the
// agent's read model (Agent::state()); the signals and PropertiesChanged follow its
// announcements, as one of its listeners (registered while this object lives). The signals go
// out at once; PropertiesChanged is paced (propertiesPace): the properties that changed are
// gathered for a tenth of a second and go out in one signal with their values as they are
// then, at most ten a second, so a flood of datagrams is not a flood of signals to every
// listener, and a heartbeat with its answer is one signal. A value a signal carries is always
// sent again by the PropertiesChanged after it, never an older one. The methods are the agent's
// verbs. Reading is open to everyone, and so is CloseWarning, which only takes the warning off
// screen. Start, Stop, Clear and FollowLines need the polkit action com.norva.NorvaHB1.control,
// ApplySettings and TestWarning com.norva.NorvaHB1.configure; the call is answered once polkit
// has answered (prompting only when the call allows it), and a refusal changes nothing.
// What a packet on the command port got ("Bad Password", the log lines) would tell a local
// user which guess was right, so StatusLine and LogLine go only to FollowLines callers; every
// caller sees only the RejectedCommands count. ReadSettings gives the command user name only to
// callers that hold the configure action without a prompt.
class ServiceBus : public QObject, protected QDBusContext, private AgentListener {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.norva.NorvaHB1")
    Q_PROPERTY(QString Mode READ mode)
    Q_PROPERTY(QString State READ state)
    Q_PROPERTY(uint NetworkSent READ networkSent)
    Q_PROPERTY(uint NetworkReceived READ networkReceived)
    Q_PROPERTY(uint NetworkNak READ networkNak)
    Q_PROPERTY(uint NetworkMissed READ networkMissed)
    Q_PROPERTY(uint UsbSent READ usbSent)
    Q_PROPERTY(uint UsbReceived READ usbReceived)
    Q_PROPERTY(uint UsbMissed READ usbMissed)
    Q_PROPERTY(QString DeviceAddress READ deviceAddress)
    Q_PROPERTY(bool WarningOnScreen READ warningOnScreen)
    Q_PROPERTY(uchar WarningMode READ warningMode)
    Q_PROPERTY(int WarningCountdown READ warningCountdown)
    Q_PROPERTY(bool SleepInhibited READ sleepInhibited)
    Q_PROPERTY(bool AllowSleep READ allowSleep)
    Q_PROPERTY(uint RejectedCommands READ rejectedCommands)
    Q_PROPERTY(QString CommandPasswordProblem READ commandPasswordProblem)

public:
    ServiceBus(Agent& agent, PolkitAuthorizer& polkit, QObject* parent = nullptr);
    ~ServiceBus() override;

    // Puts the object on `bus` and takes the name; false with the reason when either fails.
    bool publish(QDBusConnection bus, QString* error);

    QString mode() const;
    QString state() const;
    uint networkSent() const;
    uint networkReceived() const;
    uint networkNak() const;
    uint networkMissed() const;
    uint usbSent() const;
    uint usbReceived() const;
    uint usbMissed() const;
    QString deviceAddress() const;
    bool warningOnScreen() const;
    uchar warningMode() const;
    int warningCountdown() const;
    bool sleepInhibited() const;
    bool allowSleep() const;
    uint rejectedCommands() const { return rejected_; }
    QString commandPasswordProblem() const;
    // A property's value in `state`, by its bus name, typed as the bus carries it (the getters
    // and PropertiesChanged both take it from here); invalid for a name that is none and for
    // RejectedCommands and CommandPasswordProblem, which this object keeps itself.
    static QVariant propertyValue(const AgentState& state, const QString& name);

    // ReadSettings' answer: every setting but the password, and the command user name only
    // when `mayConfigure` (the caller passed the configure action).
    QMap<QString, QString> settingsFor(bool mayConfigure) const;

    // The time PropertiesChanged is paced by; the steady clock unless a test sets another.
    std::function<std::chrono::steady_clock::time_point()> clock = [] {
        return std::chrono::steady_clock::now();
    };
    // Sends the gathered PropertiesChanged now, whatever the pace (at the stop).
    void flushProperties() { propertiesPace.flush(); }
    // Told of each PropertiesChanged with its values as it goes out, published or not (tests).
    std::function<void(const QVariantMap&)> propertiesSent;
    // At most one PropertiesChanged a tenth of a second; public for tests, which fire its
    // timer.
    Pacer propertiesPace;

public slots:
    void Start();
    void Stop();
    void Clear();
    QMap<QString, QString> ReadSettings();
    void ApplySettings(const QMap<QString, QString>& values);
    void TestWarning();
    // The window showing the warning was closed: the warning is off screen, its count goes
    // on, and the next warning counts from 10 again.
    void CloseWarning();
    // Behind the control action: StatusLine and LogLine are sent to the caller from now on,
    // until it leaves the bus.
    void FollowLines();

signals:
    void NoResponse(const QString& text);
    void Answered();
    void DeviceMessage(const QString& caption);
    void CommandAccepted(const QString& source, const QString& action);
    void WarningShown(uchar mode);
    void WarningTicked(int countdown);
    void WarningEnded();
    void Caption(const QString& text);
    void StatusLine(const QString& text);
    void LogLine(const QString& text);
    void PowerRequestFailed(const QString& action, const QString& error);
    // An error the desktop program would show in its error box, with the box's text; once
    // when it starts, not at each repeat (JournalBoxes folds them).
    void Error(const QString& text);

private:
    // The agent's announcements, as signals and PropertiesChanged.
    void iconShown(tAppIcons icon) override;
    void statusTextShown(const QString&) override {}
    void trayShown(const TrayLook&) override {}
    void noResponse(const QString& balloonText) override;
    void countersChanged(Link link, const LinkCounters& counters) override;
    void serialPortLost() override {} // the State that goes with it comes with the picture
    void settingsApplied() override;
    void deviceMessage(const QString& caption) override;
    void foreignDatagrams(const QString& source, std::uint64_t count) override;
    void captionShown(const QString& caption) override;
    void statusLine(const QString& text) override;
    void logLine(const QString& line) override;
    void commandAccepted(const QString& source, const QString& action) override;
    void commandRejected() override;
    void powerRequestFailed(const QString& action, const QString& error) override;
    void warningShown(std::uint8_t mode, bool modal) override;
    void warningTicked(std::int32_t countdown) override;
    void warningEnded() override;
    void sleepChanged(SleepNote note, const QString& detail) override;

    // Runs `act` once the caller is authorized for `action`, then replies; otherwise replies
    // with the refusal.
    void authorized(const char* action, std::function<QString()> act);
    // Gathers the names for the next PropertiesChanged.
    void propertiesChanged(const QStringList& names);
    // PropertiesChanged with the gathered names' values now.
    void sendProperties();
    // Sends the signal to every caller FollowLines allowed, and to no one else.
    void sendToFollowers(const char* member, const QString& text);

    Agent& agent_;
    PolkitAuthorizer& polkit_;
    QDBusConnection bus_;
    bool published_ = false;
    uint rejected_ = 0;
    QStringList changed_;     // gathered for the next PropertiesChanged, each name once
    QSet<QString> followers_; // unique names FollowLines allowed
    QDBusServiceWatcher* followersGone_ = nullptr;
};

} // namespace norva
