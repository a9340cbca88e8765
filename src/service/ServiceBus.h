#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace norva {

class Agent;
class PageValues;
class PolkitAuthorizer;

// The service on the system bus: com.norva.NorvaHB1 at /com/norva/NorvaHB1, as documented in
// packaging/dbus/com.norva.NorvaHB1.xml, with every name from bus/BusContract.h. moc takes the
// interface's name and the members' names from this class itself, so they are spelt here
// again; tests/service/qtest_ServiceBus.cpp holds them to the contract. Properties and
// signals follow the agent's announcements; PropertiesChanged goes out for every property that
// changed. Reading is open to everyone. Start, Stop and Clear need the polkit action
// com.norva.NorvaHB1.control, ApplySettings and TestWarning com.norva.NorvaHB1.configure; the call
// is answered once polkit has answered, and a refusal changes nothing.
class ServiceBus : public QObject, protected QDBusContext {
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

public:
    ServiceBus(Agent& agent, PageValues& stored, PolkitAuthorizer& polkit,
               QObject* parent = nullptr);

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

    // The settings pages' values as "Section/Key" = value, the password left out.
    QMap<QString, QString> settingsValues() const;
    // Checks and stores `values` as the pages' Apply does; an error text when a value is bad
    // (nothing stored then). All values go into the file at once or none: a refused write
    // raises SettingsWriteError with nothing stored. Only heartbeat-page keys ("Setup/...")
    // stop a running heartbeat around the write and start it again (after a refused write
    // too, with the settings it had).
    QString applySettingsValues(const QMap<QString, QString>& values);

public slots:
    void Start();
    void Stop();
    void Clear();
    QMap<QString, QString> ReadSettings();
    void ApplySettings(const QMap<QString, QString>& values);
    void TestWarning();

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
    // Runs `act` once the caller is authorized for `action`, then replies; otherwise replies
    // with the refusal.
    void authorized(const char* action, std::function<QString()> act);
    void propertiesChanged(const QStringList& names);

    Agent& agent_;
    PageValues& stored_;
    PolkitAuthorizer& polkit_;
    QDBusConnection bus_;
    bool published_ = false;
};

} // namespace norva
