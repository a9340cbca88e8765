#include "service/ServiceBus.h"

#include "agent/Agent.h"
#include "heartbeat/PageValues.h"
#include "service/PolkitAuthorizer.h"
#include "settings/SettingsHandle.h"
#include "settings/SettingsRules.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <exception>
#include <vector>

namespace norva {

namespace {

// The two settings pages' values, as the bus names them ("Section/Key", the file's own
// spelling), with the key of the settings file each one is.
struct PageKey {
    const char* name;
    enum Kind { Flag, Number, Address, Port, Text, Secret } kind;
    TextKey key; // a flag's fallback is unused: ReadBool has its own
};

constexpr TextKey flag(const FlagKey& key) {
    return {key.section, key.name, ""};
}

constexpr PageKey kPageKeys[] = {
    {"Setup/StartInTray", PageKey::Flag, flag(keys::StartInTray)},
    {"Setup/ShowStatusInTray", PageKey::Flag, flag(keys::ShowStatusInTray)},
    {"Setup/Network", PageKey::Flag, flag(keys::Network)},
    {"Setup/USB", PageKey::Flag, flag(keys::USB)},
    {"Setup/IPAddr", PageKey::Address, keys::IPAddr},
    {"Setup/Port", PageKey::Number, keys::Port},
    {"Setup/Freq", PageKey::Number, keys::Freq},
    {"Setup/FailCount", PageKey::Number, keys::FailCount},
    {"Setup/ComPort", PageKey::Port, keys::ComPort},
    // Written in the spelling the shutdown page's Apply uses; read whatever its case.
    {"GSD/username", PageKey::Text, keys::usernameWritten},
    {"GSD/Password", PageKey::Secret, keys::Password},
    {"GSD/AlertPedningAction", PageKey::Flag, flag(keys::AlertPedningAction)},
};

// The heartbeat page's keys all live in its section; the shutdown page's in another.
constexpr std::string_view kHeartbeatPageSection = keys::Network.section;

const PageKey* findKey(const QString& name) {
    for (const PageKey& k : kPageKeys)
        if (name.compare(QLatin1String(k.name), Qt::CaseInsensitive) == 0)
            return &k;
    return nullptr;
}

// Why a value cannot be stored under `key`, or an empty text.
QString problem(const PageKey& key, const std::string& value) {
    for (const char c : value)
        if (static_cast<unsigned char>(c) < 0x20)
            return QString("%1: a value holds no control characters or line breaks").arg(key.name);
    switch (key.kind) {
    case PageKey::Flag:
        if (value != "0" && value != "1")
            return QString("%1: \"0\" or \"1\"").arg(key.name);
        break;
    case PageKey::Number:
        // The page's fields take up to five digits; the heartbeat does not start on an empty
        // one, so an empty value is allowed as it is on the page.
        if (value.size() > 5 || !IsAllDigits(value))
            return QString("%1: up to five digits").arg(key.name);
        break;
    case PageKey::Address:
        try {
            ValidateIPString(value);
        } catch (const std::exception&) {
            return QString("%1: four dotted decimal numbers, such as 192.168.1.10").arg(key.name);
        }
        break;
    case PageKey::Port: {
        if (value != "None" && ComPortNumber(value) == 0)
            return QString("%1: \"None\" or COM1 to %2")
                .arg(QLatin1String(key.name), QString::fromStdString(ComPortName(HighestPort)));
        break;
    }
    case PageKey::Text:
    case PageKey::Secret:
        break;
    }
    return QString();
}

} // namespace

ServiceBus::ServiceBus(Agent& agent, PageValues& stored, PolkitAuthorizer& polkit, QObject* parent)
    : QObject(parent), agent_(agent), stored_(stored), polkit_(polkit),
      bus_(QStringLiteral("norva-not-published")) {
    qDBusRegisterMetaType<QMap<QString, QString>>();

    connect(&agent_.status, &HeartbeatStatus::iconShown, this, [this](tAppIcons icon) {
        if (icon == goodIcon)
            emit Answered();
        propertiesChanged({"State"});
    });
    connect(&agent_.status, &HeartbeatStatus::noResponse, this,
            [this](const QString& text) { emit NoResponse(text); });
    connect(&agent_.network, &NetworkMonitor::countersChanged, this, [this] {
        propertiesChanged({"NetworkSent", "NetworkReceived", "NetworkNak", "NetworkMissed"});
    });
    connect(&agent_.serial, &SerialMonitor::countersChanged, this, [this] {
        propertiesChanged({"UsbSent", "UsbReceived", "UsbMissed"});
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
        propertiesChanged({"WarningOnScreen", "WarningMode", "WarningCountdown"});
    });
    connect(&agent_.pending, &PendingAction::ticked, this, [this](std::int32_t countdown) {
        emit WarningTicked(countdown);
        propertiesChanged({"WarningCountdown"});
    });
    connect(&agent_.pending, &PendingAction::ended, this, [this] {
        emit WarningEnded();
        propertiesChanged({"WarningOnScreen", "WarningCountdown"});
    });
}

bool ServiceBus::publish(QDBusConnection bus, QString* error) {
    bus_ = std::move(bus);
    if (!bus_.isConnected()) {
        *error = "no system bus: " + bus_.lastError().message();
        return false;
    }
    if (!bus_.registerObject(ObjectPath, this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                 QDBusConnection::ExportAllProperties)) {
        *error = "the object could not be put on the bus: " + bus_.lastError().message();
        return false;
    }
    if (!bus_.registerService(ServiceName)) {
        *error = QString("the name %1 could not be taken (%2): is the bus policy installed, and "
                         "is another copy running?")
                     .arg(ServiceName, bus_.lastError().message());
        bus_.unregisterObject(ObjectPath);
        return false;
    }
    published_ = true;
    return true;
}

QString ServiceBus::mode() const {
    if (!agent_.MyIni.isOpen())
        return "none";
    return stored_.networkMode() ? "network" : stored_.usbMode() ? "usb" : "none";
}

QString ServiceBus::state() const {
    switch (agent_.status.state()) {
    case goodIcon:
        return "responding";
    case badIcon:
        return "not responding";
    case stoppedIcon:
        // Started in USB mode, and the serial device is not there (yet).
        if (agent_.control.serialStartWaiting())
            return "waiting for the serial device";
        break;
    }
    return "stopped";
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
    QDBusMessage signal = QDBusMessage::createSignal(ObjectPath, "org.freedesktop.DBus.Properties",
                                                     "PropertiesChanged");
    signal << QString(ServiceName) << changed << QStringList();
    bus_.send(signal);
}

QMap<QString, QString> ServiceBus::settingsValues() const {
    QMap<QString, QString> values;
    if (!agent_.MyIni.isOpen())
        return values;
    const SettingsFile& ini = agent_.MyIni.file();
    for (const PageKey& k : kPageKeys) {
        if (k.kind == PageKey::Secret)
            continue; // the command password never leaves the service
        std::string value;
        if (k.kind == PageKey::Flag)
            value.assign(1, ini.ReadBool(FlagKey{k.key.section, k.key.name}) ? '1' : '0');
        else
            value = ini.ReadString(k.key);
        values.insert(k.name, QString::fromStdString(value));
    }
    return values;
}

QString ServiceBus::applySettingsValues(const QMap<QString, QString>& values) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        const PageKey* key = findKey(it.key());
        if (!key)
            return QString("%1 is not a setting of the two pages").arg(it.key());
        const QString why = problem(*key, it.value().toStdString());
        if (!why.isEmpty())
            return why;
    }
    // All values of one call go into one replacement of the file, so a refused write leaves
    // every old value: never a new user name beside the old password.
    std::vector<SettingsFile::Entry> entries;
    bool heartbeatPage = false;
    for (auto it = values.begin(); it != values.end(); ++it) {
        const PageKey& key = *findKey(it.key());
        const std::string value = it.value().toStdString();
        entries.push_back(
            key.kind == PageKey::Flag
                ? SettingsFile::Flag(FlagKey{key.key.section, key.key.name}, value == "1")
                : SettingsFile::Text(key.key, value));
        heartbeatPage = heartbeatPage || key.key.section == kHeartbeatPageSection;
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
    propertiesChanged({"Mode", "DeviceAddress"});
    return QString();
}

void ServiceBus::authorized(const char* action, std::function<QString()> act) {
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    polkit_.check(
        call.service(), action,
        [this, call, bus, act = std::move(act)](PolkitAuthorizer::Answer answer,
                                                const QString& why) mutable {
            if (answer != PolkitAuthorizer::Answer::Allowed) {
                bus.send(call.createErrorReply("com.norva.NorvaHB1.Error.NotAuthorized", why));
                return;
            }
            QString error;
            try {
                error = act();
            } catch (const std::exception& e) {
                bus.send(call.createErrorReply("com.norva.NorvaHB1.Error.Failed",
                                               QString::fromStdString(e.what())));
                return;
            }
            if (!error.isEmpty())
                bus.send(call.createErrorReply("com.norva.NorvaHB1.Error.InvalidSettings", error));
            else
                bus.send(call.createReply());
        });
}

void ServiceBus::Start() {
    authorized(ControlAction, [this] {
        agent_.control.Button2Click();
        return QString();
    });
}

void ServiceBus::Stop() {
    authorized(ControlAction, [this] {
        agent_.control.Button4Click();
        return QString();
    });
}

void ServiceBus::Clear() {
    authorized(ControlAction, [this] {
        agent_.serial.ComClearStats();
        agent_.network.ClearStats();
        return QString();
    });
}

QMap<QString, QString> ServiceBus::ReadSettings() {
    return settingsValues();
}

void ServiceBus::ApplySettings(const QMap<QString, QString>& values) {
    authorized(ConfigureAction, [this, values] { return applySettingsValues(values); });
}

void ServiceBus::TestWarning() {
    authorized(ConfigureAction, [this] {
        agent_.pending.ShowPending(agent_.pending.mode);
        return QString();
    });
}

} // namespace norva
