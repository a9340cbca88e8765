#include "service/ServiceBus.h"

#include "agent/Agent.h"
#include "bus/BusContract.h"
#include "bus/SettingsSchema.h"
#include "service/PolkitAuthorizer.h"
#include "settings/SettingsRules.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <exception>
#include <string>
#include <vector>

namespace norva {

ServiceBus::ServiceBus(Agent& agent, PolkitAuthorizer& polkit, QObject* parent)
    : QObject(parent), propertiesPace(
                           std::chrono::milliseconds(100), std::chrono::milliseconds(100),
                           [this] { sendProperties(); }, [this] { return clock(); }),
      agent_(agent), polkit_(polkit), bus_(QStringLiteral("norva-not-published")) {
    qDBusRegisterMetaType<QMap<QString, QString>>();
    agent_.addListener(*this);
}

ServiceBus::~ServiceBus() {
    agent_.removeListener(*this);
}

void ServiceBus::iconShown(tAppIcons icon) {
    if (icon == goodIcon)
        emit Answered();
    propertiesChanged({bus::prop::State});
}

void ServiceBus::noResponse(const QString& balloonText) {
    emit NoResponse(balloonText);
}

void ServiceBus::countersChanged(Link link, const LinkCounters&) {
    if (link == Link::Network)
        propertiesChanged({bus::prop::NetworkSent, bus::prop::NetworkReceived,
                           bus::prop::NetworkNak, bus::prop::NetworkMissed});
    else
        propertiesChanged({bus::prop::UsbSent, bus::prop::UsbReceived, bus::prop::UsbMissed});
}

void ServiceBus::settingsApplied() {
    propertiesChanged(
        {bus::prop::Mode, bus::prop::DeviceAddress, bus::prop::CommandPasswordProblem});
}

QString ServiceBus::commandPasswordProblem() const {
    if (!agent_.MyIni.isOpen())
        return QString();
    return QString::fromStdString(StoredPasswordProblem(StoredPasswordOf(agent_.MyIni.file())));
}

void ServiceBus::deviceMessage(const QString& caption) {
    emit DeviceMessage(caption);
    emit Caption(caption);
}

void ServiceBus::foreignDatagrams(const QString&, std::uint64_t) {
    // The journal has it, for the administrator; the bus gives no signal per sender, so a
    // flood of spoofed datagrams cannot become a flood of signals to every local user.
}

void ServiceBus::captionShown(const QString& caption) {
    emit Caption(caption);
}

void ServiceBus::statusLine(const QString& text) {
    sendToFollowers(bus::sig::StatusLine, text);
}

void ServiceBus::logLine(const QString& line) {
    sendToFollowers(bus::sig::LogLine, line);
}

void ServiceBus::sendToFollowers(const char* member, const QString& text) {
    if (!published_)
        return;
    for (const QString& follower : std::as_const(followers_)) {
        QDBusMessage signal =
            QDBusMessage::createTargetedSignal(follower, bus::ObjectPath, bus::Interface, member);
        signal << text;
        bus_.send(signal);
    }
}

void ServiceBus::commandRejected() {
    ++rejected_;
    propertiesChanged({bus::prop::RejectedCommands});
}

void ServiceBus::commandAccepted(const QString& source, const QString& action) {
    emit CommandAccepted(source, action);
}

void ServiceBus::powerRequestFailed(const QString& action, const QString& error) {
    emit PowerRequestFailed(action, error);
}

void ServiceBus::warningShown(std::uint8_t mode, bool) {
    emit WarningShown(mode);
    propertiesChanged(
        {bus::prop::WarningOnScreen, bus::prop::WarningMode, bus::prop::WarningCountdown});
}

void ServiceBus::warningTicked(std::int32_t countdown) {
    emit WarningTicked(countdown);
    propertiesChanged({bus::prop::WarningCountdown});
}

void ServiceBus::warningEnded() {
    emit WarningEnded();
    propertiesChanged({bus::prop::WarningOnScreen, bus::prop::WarningCountdown});
}

void ServiceBus::sleepChanged(SleepNote, const QString&) {
    propertiesChanged({bus::prop::State, bus::prop::SleepInhibited, bus::prop::AllowSleep});
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
    // A follower that leaves the bus is sent nothing more; its unique name is never reused.
    followersGone_ = new QDBusServiceWatcher(this);
    followersGone_->setConnection(bus_);
    followersGone_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(followersGone_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this](const QString& name) {
                followers_.remove(name);
                followersGone_->removeWatchedService(name);
            });
    return true;
}

QVariant ServiceBus::propertyValue(const AgentState& s, const QString& name) {
    using namespace bus::prop;
    if (name == QLatin1String(Mode))
        return QString::fromLatin1(ModeName(s.mode));
    if (name == QLatin1String(State))
        return QString::fromLatin1(StateName(s.state));
    if (name == QLatin1String(NetworkSent))
        return uint(s.network.sent);
    if (name == QLatin1String(NetworkReceived))
        return uint(s.network.received);
    if (name == QLatin1String(NetworkNak))
        return uint(s.network.nak);
    if (name == QLatin1String(NetworkMissed))
        return uint(s.network.missed);
    if (name == QLatin1String(UsbSent))
        return uint(s.usb.sent);
    if (name == QLatin1String(UsbReceived))
        return uint(s.usb.received);
    if (name == QLatin1String(UsbMissed))
        return uint(s.usb.missed);
    if (name == QLatin1String(DeviceAddress))
        return s.deviceAddress;
    if (name == QLatin1String(WarningOnScreen))
        return s.warning.onScreen;
    if (name == QLatin1String(WarningMode))
        return QVariant::fromValue(uchar(s.warning.mode));
    if (name == QLatin1String(WarningCountdown))
        return int(s.warning.countdown);
    if (name == QLatin1String(SleepInhibited))
        return s.sleepInhibited;
    if (name == QLatin1String(AllowSleep))
        return s.allowSleep;
    return {};
}

// Each getter reads the whole state (the mode and the address from the settings file), which
// is fine for a GetAll now and then; PropertiesChanged reads it once for all it names.
QString ServiceBus::mode() const {
    return propertyValue(agent_.state(), bus::prop::Mode).toString();
}
QString ServiceBus::state() const {
    return propertyValue(agent_.state(), bus::prop::State).toString();
}
uint ServiceBus::networkSent() const {
    return propertyValue(agent_.state(), bus::prop::NetworkSent).toUInt();
}
uint ServiceBus::networkReceived() const {
    return propertyValue(agent_.state(), bus::prop::NetworkReceived).toUInt();
}
uint ServiceBus::networkNak() const {
    return propertyValue(agent_.state(), bus::prop::NetworkNak).toUInt();
}
uint ServiceBus::networkMissed() const {
    return propertyValue(agent_.state(), bus::prop::NetworkMissed).toUInt();
}
uint ServiceBus::usbSent() const {
    return propertyValue(agent_.state(), bus::prop::UsbSent).toUInt();
}
uint ServiceBus::usbReceived() const {
    return propertyValue(agent_.state(), bus::prop::UsbReceived).toUInt();
}
uint ServiceBus::usbMissed() const {
    return propertyValue(agent_.state(), bus::prop::UsbMissed).toUInt();
}
QString ServiceBus::deviceAddress() const {
    return propertyValue(agent_.state(), bus::prop::DeviceAddress).toString();
}
bool ServiceBus::warningOnScreen() const {
    return propertyValue(agent_.state(), bus::prop::WarningOnScreen).toBool();
}
uchar ServiceBus::warningMode() const {
    return propertyValue(agent_.state(), bus::prop::WarningMode).value<uchar>();
}
int ServiceBus::warningCountdown() const {
    return propertyValue(agent_.state(), bus::prop::WarningCountdown).toInt();
}
bool ServiceBus::sleepInhibited() const {
    return propertyValue(agent_.state(), bus::prop::SleepInhibited).toBool();
}
bool ServiceBus::allowSleep() const {
    return propertyValue(agent_.state(), bus::prop::AllowSleep).toBool();
}

void ServiceBus::propertiesChanged(const QStringList& names) {
    for (const QString& name : names)
        if (!changed_.contains(name))
            changed_.append(name);
    propertiesPace.request();
}

void ServiceBus::sendProperties() {
    if (changed_.isEmpty())
        return;
    const AgentState now = agent_.state();
    QVariantMap changed;
    for (const QString& name : std::as_const(changed_))
        changed.insert(name, name == QLatin1String(bus::prop::RejectedCommands)
                                 ? QVariant(rejected_)
                             : name == QLatin1String(bus::prop::CommandPasswordProblem)
                                 ? QVariant(commandPasswordProblem())
                                 : propertyValue(now, name));
    changed_.clear();
    if (propertiesSent)
        propertiesSent(changed);
    if (!published_)
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(bus::ObjectPath, bus::PropertiesInterface, "PropertiesChanged");
    signal << QString(bus::Interface) << changed << QStringList();
    bus_.send(signal);
}

void ServiceBus::authorized(const char* action, std::function<QString()> act) {
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection link = connection();
    polkit_.check(call.service(), action, call.isInteractiveAuthorizationAllowed(),
                  [call, link, act = std::move(act)](PolkitAuthorizer::Answer answer,
                                                     const QString& why) mutable {
                      if (answer == PolkitAuthorizer::Answer::Busy) {
                          link.send(call.createErrorReply(bus::error::Busy, why));
                          return;
                      }
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
        agent_.startHeartbeat();
        return QString();
    });
}

void ServiceBus::Stop() {
    authorized(bus::action::Control, [this] {
        agent_.stopHeartbeat();
        return QString();
    });
}

void ServiceBus::Clear() {
    authorized(bus::action::Control, [this] {
        agent_.clearCounters();
        return QString();
    });
}

QMap<QString, QString> ServiceBus::ReadSettings() {
    // The command user name is half of what the device sends; only those who may change it
    // read it. Asked without a prompt, whatever the call allows: reading must never pop up a
    // password dialog, and a caller whose check is under way gets the settings without it.
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection link = connection();
    polkit_.check(call.service(), bus::action::Configure, false,
                  [this, call, link](PolkitAuthorizer::Answer answer, const QString&) mutable {
                      link.send(call.createReply(QVariant::fromValue(
                          settingsFor(answer == PolkitAuthorizer::Answer::Allowed))));
                  });
    return {};
}

QMap<QString, QString> ServiceBus::settingsFor(bool mayConfigure) const {
    QMap<QString, QString> values = agent_.settings(false);
    if (!mayConfigure)
        values.remove(QString::fromLatin1(bus::setting::Username.name.data(),
                                          qsizetype(bus::setting::Username.name.size())));
    // The interface gives every key; an address never stored is empty, as the file reads it.
    const QString address = QString::fromLatin1(bus::setting::IPAddr.name.data(),
                                                qsizetype(bus::setting::IPAddr.name.size()));
    if (!values.contains(address))
        values.insert(address, QString());
    return values;
}

void ServiceBus::ApplySettings(const QMap<QString, QString>& values) {
    authorized(bus::action::Configure, [this, values] { return agent_.applySettings(values); });
}

void ServiceBus::TestWarning() {
    authorized(bus::action::Configure, [this] {
        agent_.testWarning();
        return QString();
    });
}

void ServiceBus::FollowLines() {
    const QString caller = message().service();
    authorized(bus::action::Control, [this, caller] {
        if (!followers_.contains(caller)) {
            followers_.insert(caller);
            if (followersGone_) {
                followersGone_->addWatchedService(caller);
                // Gone while polkit was asked: the watch came too late to see it go.
                if (!bus_.interface()->isServiceRegistered(caller)) {
                    followers_.remove(caller);
                    followersGone_->removeWatchedService(caller);
                }
            }
        }
        return QString();
    });
}

void ServiceBus::CloseWarning() {
    // Open to every caller: it cancels nothing and changes no setting; the count goes on and
    // its action follows as before. Only a later warning starts from 10 again.
    agent_.closeWarning();
    propertiesChanged({bus::prop::WarningOnScreen});
}

} // namespace norva
