#include "service/ServiceBus.h"

#include "agent/Agent.h"
#include "bus/BusContract.h"
#include "bus/SettingsSchema.h"
#include "heartbeat/PageValues.h"
#include "service/PolkitAuthorizer.h"
#include "settings/SettingsHandle.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <exception>
#include <string>
#include <vector>

namespace norva {

ServiceBus::ServiceBus(Agent& agent, PageValues& stored, PolkitAuthorizer& polkit, QObject* parent)
    : QObject(parent), agent_(agent), stored_(stored), polkit_(polkit),
      bus_(QStringLiteral("norva-not-published")) {
    qDBusRegisterMetaType<QMap<QString, QString>>();

    connect(&agent_.status, &HeartbeatStatus::iconShown, this, [this](tAppIcons icon) {
        if (icon == goodIcon)
            emit Answered();
        propertiesChanged({bus::prop::State});
    });
    connect(&agent_.status, &HeartbeatStatus::noResponse, this,
            [this](const QString& text) { emit NoResponse(text); });
    connect(&agent_.network, &NetworkMonitor::countersChanged, this, [this] {
        propertiesChanged({bus::prop::NetworkSent, bus::prop::NetworkReceived,
                           bus::prop::NetworkNak, bus::prop::NetworkMissed});
    });
    connect(&agent_.serial, &SerialMonitor::countersChanged, this, [this] {
        propertiesChanged({bus::prop::UsbSent, bus::prop::UsbReceived, bus::prop::UsbMissed});
    });
    connect(&agent_.network, &NetworkMonitor::captionRequested, this,
            [this](const QString& caption) {
                emit DeviceMessage(caption);
                emit Caption(caption);
            });
    connect(&agent_.protocol, &CommandProtocol::captionRequested, this,
            [this](const QString& caption) { emit Caption(caption); });
    connect(&agent_.power, &PowerActions::captionRequested, this,
            [this](const QString& caption) { emit Caption(caption); });
    connect(&agent_.power, &PowerActions::powerRequestFailed, this,
            [this](const QString& action, const QString& error) {
                emit PowerRequestFailed(action, error);
            });
    connect(&agent_.protocol, &CommandProtocol::label4Requested, this,
            [this](const QString& text) { emit StatusLine(text); });
    connect(&agent_.protocol, &CommandProtocol::memoLineRequested, this,
            [this](const QString& line) { emit LogLine(line); });
    connect(&agent_.protocol, &CommandProtocol::commandAccepted, this,
            [this](const QString& source, const QString& action) {
                emit CommandAccepted(source, action);
            });
    connect(&agent_.pending, &PendingAction::shown, this, [this](std::uint8_t mode, bool) {
        emit WarningShown(mode);
        propertiesChanged(
            {bus::prop::WarningOnScreen, bus::prop::WarningMode, bus::prop::WarningCountdown});
    });
    connect(&agent_.pending, &PendingAction::ticked, this, [this](std::int32_t countdown) {
        emit WarningTicked(countdown);
        propertiesChanged({bus::prop::WarningCountdown});
    });
    connect(&agent_.pending, &PendingAction::ended, this, [this] {
        emit WarningEnded();
        propertiesChanged({bus::prop::WarningOnScreen, bus::prop::WarningCountdown});
    });
}

bool ServiceBus::publish(QDBusConnection bus, QString* error) {
    bus_ = std::move(bus);
    if (!bus_.isConnected()) {
        *error = "no system bus: " + bus_.lastError().message();
        return false;
    }
    if (!bus_.registerObject(bus::ObjectPath, this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                 QDBusConnection::ExportAllProperties)) {
        *error = "the object could not be put on the bus: " + bus_.lastError().message();
        return false;
    }
    if (!bus_.registerService(bus::ServiceName)) {
        *error = QString("the name %1 could not be taken (%2): is the bus policy installed, and "
                         "is another copy running?")
                     .arg(bus::ServiceName, bus_.lastError().message());
        bus_.unregisterObject(bus::ObjectPath);
        return false;
    }
    published_ = true;
    return true;
}

QString ServiceBus::mode() const {
    if (!agent_.MyIni.isOpen())
        return bus::mode::None;
    return stored_.networkMode() ? bus::mode::Network
           : stored_.usbMode()   ? bus::mode::Usb
                                 : bus::mode::None;
}

QString ServiceBus::state() const {
    switch (agent_.status.state()) {
    case goodIcon:
        return bus::state::Responding;
    case badIcon:
        return bus::state::NotResponding;
    case stoppedIcon:
        // Started in USB mode, and the serial device is not there (yet).
        if (agent_.control.serialStartWaiting())
            return bus::state::WaitingForSerialDevice;
        break;
    }
    return bus::state::Stopped;
}

uint ServiceBus::networkSent() const {
    return agent_.network.sentCount;
}
uint ServiceBus::networkReceived() const {
    return agent_.network.rcvdCount;
}
uint ServiceBus::networkNak() const {
    return agent_.network.badCount;
}
uint ServiceBus::networkMissed() const {
    return agent_.network.missedCount;
}
uint ServiceBus::usbSent() const {
    return agent_.serial.comSentCount;
}
uint ServiceBus::usbReceived() const {
    return agent_.serial.comrcvdCount;
}
uint ServiceBus::usbMissed() const {
    return agent_.serial.comMissedCount;
}

QString ServiceBus::deviceAddress() const {
    if (!agent_.MyIni.isOpen())
        return QString();
    return QString::fromStdString(agent_.MyIni.file().ReadString(keys::IPAddr));
}

bool ServiceBus::warningOnScreen() const {
    return agent_.pending.onScreen();
}

uchar ServiceBus::warningMode() const {
    return agent_.pending.mode;
}

int ServiceBus::warningCountdown() const {
    return agent_.pending.countdown;
}

void ServiceBus::propertiesChanged(const QStringList& names) {
    if (!published_)
        return;
    QVariantMap changed;
    for (const QString& name : names)
        changed.insert(name, property(name.toLatin1().constData()));
    QDBusMessage signal =
        QDBusMessage::createSignal(bus::ObjectPath, bus::PropertiesInterface, "PropertiesChanged");
    signal << QString(bus::Interface) << changed << QStringList();
    bus_.send(signal);
}

QMap<QString, QString> ServiceBus::settingsValues() const {
    QMap<QString, QString> values;
    if (!agent_.MyIni.isOpen())
        return values;
    const SettingsFile& ini = agent_.MyIni.file();
    for (const bus::Setting& k : bus::SettingsSchema::all()) {
        if (k.kind == bus::Setting::Kind::Secret)
            continue; // the command password never leaves the service
        std::string value;
        if (k.kind == bus::Setting::Kind::Flag)
            value.assign(1, ini.ReadBool(k.flag()) ? '1' : '0');
        else
            value = ini.ReadString(k.key);
        values.insert(QString::fromLatin1(k.name.data(), k.name.size()),
                      QString::fromStdString(value));
    }
    return values;
}

QString ServiceBus::applySettingsValues(const QMap<QString, QString>& values) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        const std::string why =
            bus::SettingsSchema::problem(it.key().toStdString(), it.value().toStdString());
        if (!why.empty())
            return QString::fromStdString(why);
    }
    // All values of one call go into one replacement of the file, so a refused write leaves
    // every old value: never a new user name beside the old password.
    std::vector<SettingsFile::Entry> entries;
    bool heartbeatPage = false;
    for (auto it = values.begin(); it != values.end(); ++it) {
        const bus::Setting& key = *bus::SettingsSchema::find(it.key().toStdString());
        const std::string value = it.value().toStdString();
        entries.push_back(key.kind == bus::Setting::Kind::Flag
                              ? SettingsFile::Flag(key.flag(), value == "1")
                              : SettingsFile::Text(key.key, value));
        heartbeatPage = heartbeatPage || key.page == bus::Setting::Page::Heartbeat;
    }
    SettingsFile& file = agent_.MyIni.file();
    if (heartbeatPage) {
        // As the heartbeat page's Apply: a heartbeat the user started stops, the values are
        // stored, and it starts again with them. The shutdown page's Apply has no such
        // bracket, so its keys alone leave the heartbeat and what it shows alone.
        const bool restart = agent_.control.BeginApply();
        try {
            file.WriteAll(entries);
        } catch (...) {
            // Nothing was stored: the heartbeat goes on with the settings it had, and the
            // caller hears why.
            agent_.control.EndApply(restart);
            throw;
        }
        agent_.control.EndApply(restart);
    } else {
        file.WriteAll(entries);
    }
    // As after the shutdown page's Apply: the command port's guards are read again.
    agent_.ReadCommandSettings();
    propertiesChanged({bus::prop::Mode, bus::prop::DeviceAddress});
    return QString();
}

void ServiceBus::authorized(const char* action, std::function<QString()> act) {
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection link = connection();
    polkit_.check(call.service(), action,
                  [this, call, link, act = std::move(act)](PolkitAuthorizer::Answer answer,
                                                           const QString& why) mutable {
                      if (answer != PolkitAuthorizer::Answer::Allowed) {
                          link.send(call.createErrorReply(bus::error::NotAuthorized, why));
                          return;
                      }
                      QString error;
                      try {
                          error = act();
                      } catch (const std::exception& e) {
                          link.send(call.createErrorReply(bus::error::Failed,
                                                          QString::fromStdString(e.what())));
                          return;
                      }
                      if (!error.isEmpty())
                          link.send(call.createErrorReply(bus::error::InvalidSettings, error));
                      else
                          link.send(call.createReply());
                  });
}

void ServiceBus::Start() {
    authorized(bus::action::Control, [this] {
        agent_.control.Button2Click();
        return QString();
    });
}

void ServiceBus::Stop() {
    authorized(bus::action::Control, [this] {
        agent_.control.Button4Click();
        return QString();
    });
}

void ServiceBus::Clear() {
    authorized(bus::action::Control, [this] {
        agent_.serial.ComClearStats();
        agent_.network.ClearStats();
        return QString();
    });
}

QMap<QString, QString> ServiceBus::ReadSettings() {
    return settingsValues();
}

void ServiceBus::ApplySettings(const QMap<QString, QString>& values) {
    authorized(bus::action::Configure, [this, values] { return applySettingsValues(values); });
}

void ServiceBus::TestWarning() {
    authorized(bus::action::Configure, [this] {
        agent_.pending.ShowPending(agent_.pending.mode);
        return QString();
    });
}

} // namespace norva
