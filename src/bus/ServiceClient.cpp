#include "bus/ServiceClient.h"

#include <utility>

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QLoggingCategory>
#include <QStringList>

namespace norva {

namespace {

Q_LOGGING_CATEGORY(lcClient, "norva.frontend")

const QString kPropertiesInterface = QString::fromLatin1(bus::PropertiesInterface);

QString Name(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QString ServiceClient::notRunningText() {
    return QStringLiteral("The NorvaHB service is not running.");
}

QString ServiceClient::cancelledText() {
    return QStringLiteral("The password prompt was cancelled; nothing was changed.");
}

ServiceClient::ServiceClient(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    qDBusRegisterMetaType<QMap<QString, QString>>();

    // The watch first, the question second: the bus handles both in that order, so an owner
    // that comes or goes in between is seen by one of them, and each answer is current when
    // it arrives.
    watcher_ = new QDBusServiceWatcher(QString::fromLatin1(bus::ServiceName), bus_,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { ownerIs(newOwner); });

    // Any sender is let through here and checked against the owner in onServiceSignal: naming
    // the service would make QtDBus look its owner up with a call that blocks, and the owner
    // the client tracks is the one whose snapshot it holds.
    // The service's own signals; PropertiesChanged comes on the properties interface.
    for (const bus::Member& signal : bus::sig::All) {
        if (!bus_.connect(QString(), bus::ObjectPath, bus::Interface, Name(signal.name), this,
                          SLOT(onServiceSignal(QDBusMessage))))
            qCWarning(lcClient) << "cannot follow the service's signal" << Name(signal.name) << ":"
                                << bus_.lastError().message();
    }
    if (!bus_.connect(QString(), bus::ObjectPath, kPropertiesInterface,
                      QStringLiteral("PropertiesChanged"), this,
                      SLOT(onServiceSignal(QDBusMessage))))
        qCWarning(lcClient) << "cannot follow the service's properties:"
                            << bus_.lastError().message();

    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    ask << QString::fromLatin1(bus::ServiceName);
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(ask), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending] {
        pending->deleteLater();
        const QDBusMessage reply = pending->reply();
        // An error is the bus saying the name has no owner.
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            ownerIs(reply.arguments().constFirst().toString());
        else if (owner_.isEmpty())
            settleAbsent();
    });
}

ServiceClient::~ServiceClient() = default;

void ServiceClient::ownerIs(const QString& owner) {
    if (owner == owner_)
        return;
    const bool wasRunning = running_;
    owner_ = owner;
    running_ = false;
    followsLines_ = false; // a new owner has to be asked again
    ++generation_;
    if (wasRunning)
        emit serviceVanished();
    if (!owner_.isEmpty())
        readAll(false);
    else
        settleAbsent();
}

void ServiceClient::settleAbsent() {
    if (known_)
        return;
    known_ = true;
    emit serviceAbsent();
}

void ServiceClient::readAll(bool again) {
    // Asked of the unique name: the snapshot is that owner's, whoever holds the name later.
    QDBusMessage get = QDBusMessage::createMethodCall(owner_, bus::ObjectPath, kPropertiesInterface,
                                                      QStringLiteral("GetAll"));
    get << QString::fromLatin1(bus::Interface);
    const quint64 generation = generation_;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, generation, again] {
        pending->deleteLater();
        if (generation != generation_)
            return; // that owner has gone meanwhile
        const QDBusMessage reply = pending->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            // Not followed until the name changes hands again: a service that cannot answer
            // this is hung, and its service manager restarts it.
            qCWarning(lcClient) << "the service's properties could not be read:"
                                << reply.errorMessage();
            return;
        }
        const QVariantMap values = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
        if (again && running_) {
            apply(values, true);
            return;
        }
        apply(values, false);
        running_ = true;
        known_ = true;
        followLines();
        emit serviceAppeared();
    });
}

void ServiceClient::apply(const QVariantMap& values, bool announce) {
    bool state = false, mode = false, address = false, network = false, usb = false;
    auto text = [&values](const char* name, QString& field, bool& changed) {
        const auto it = values.constFind(QLatin1String(name));
        if (it == values.cend() || it->toString() == field)
            return;
        field = it->toString();
        changed = true;
    };
    auto number = [&values](const char* name, uint& field, bool& changed) {
        const auto it = values.constFind(QLatin1String(name));
        if (it == values.cend() || it->toUInt() == field)
            return;
        field = it->toUInt();
        changed = true;
    };
    text(bus::prop::State, state_, state);
    text(bus::prop::Mode, mode_, mode);
    text(bus::prop::DeviceAddress, deviceAddress_, address);
    number(bus::prop::NetworkSent, networkSent_, network);
    number(bus::prop::NetworkReceived, networkReceived_, network);
    number(bus::prop::NetworkNak, networkNak_, network);
    number(bus::prop::NetworkMissed, networkMissed_, network);
    number(bus::prop::UsbSent, usbSent_, usb);
    number(bus::prop::UsbReceived, usbReceived_, usb);
    number(bus::prop::UsbMissed, usbMissed_, usb);
    // The warning has signals of its own; its properties are for a follower that arrives
    // while it is on screen.
    const QString onScreen = QString::fromLatin1(bus::prop::WarningOnScreen);
    const QString warningMode = QString::fromLatin1(bus::prop::WarningMode);
    const QString countdown = QString::fromLatin1(bus::prop::WarningCountdown);
    if (values.contains(onScreen))
        warningOnScreen_ = values.value(onScreen).toBool();
    if (values.contains(warningMode))
        warningMode_ = static_cast<uchar>(values.value(warningMode).toUInt());
    if (values.contains(countdown))
        warningCountdown_ = values.value(countdown).toInt();
    const QString inhibited = QString::fromLatin1(bus::prop::SleepInhibited);
    const QString allowSleep = QString::fromLatin1(bus::prop::AllowSleep);
    if (values.contains(inhibited))
        sleepInhibited_ = values.value(inhibited).toBool();
    if (values.contains(allowSleep))
        allowSleep_ = values.value(allowSleep).toBool();
    const QString passwordProblem = QString::fromLatin1(bus::prop::CommandPasswordProblem);
    if (values.contains(passwordProblem))
        commandPasswordProblem_ = values.value(passwordProblem).toString();

    if (!announce)
        return;
    if (state)
        emit stateChanged(state_);
    if (mode)
        emit modeChanged(mode_);
    if (address)
        emit deviceAddressChanged(deviceAddress_);
    if (network)
        emit networkCountersChanged(networkSent_, networkReceived_, networkNak_, networkMissed_);
    if (usb)
        emit usbCountersChanged(usbSent_, usbReceived_, usbMissed_);
}

void ServiceClient::onServiceSignal(const QDBusMessage& message) {
    // Only the owner being followed speaks for the service.
    if (owner_.isEmpty() || message.service() != owner_)
        return;
    const QVariantList args = message.arguments();
    const QString member = message.member();

    if (message.interface() == kPropertiesInterface) {
        if (args.size() < 2 || args.at(0).toString() != QLatin1String(bus::Interface))
            return;
        // Before the snapshot has come these are older than it: stored, not announced.
        apply(qdbus_cast<QVariantMap>(args.at(1)), running_);
        // A value given up without its new value (the service does not do that today): read
        // them all again rather than keep a stale one. Before the snapshot there is no need,
        // the snapshot under way is newer.
        if (running_ && args.size() > 2 && !qdbus_cast<QStringList>(args.at(2)).isEmpty())
            readAll(true);
        return;
    }
    if (!running_)
        return; // already part of the snapshot being read

    // The service sends a signal before the PropertiesChanged that goes with it; the values
    // the signal carries are stored first, so a follower reading the getters in its handler
    // finds them already.
    auto text = [&args](int i) { return args.value(i).toString(); };
    if (member == QLatin1String(bus::sig::NoResponse)) {
        emit noResponse(text(0));
    } else if (member == QLatin1String(bus::sig::Answered)) {
        apply(
            {{QString::fromLatin1(bus::prop::State), QString::fromLatin1(bus::state::Responding)}},
            true);
        emit answered();
    } else if (member == QLatin1String(bus::sig::DeviceMessage)) {
        emit deviceMessage(text(0));
    } else if (member == QLatin1String(bus::sig::CommandAccepted)) {
        emit commandAccepted(text(0), text(1));
    } else if (member == QLatin1String(bus::sig::WarningShown)) {
        warningOnScreen_ = true;
        warningMode_ = static_cast<uchar>(args.value(0).toUInt());
        emit warningShown(warningMode_);
    } else if (member == QLatin1String(bus::sig::WarningTicked)) {
        warningCountdown_ = args.value(0).toInt();
        emit warningTicked(warningCountdown_);
    } else if (member == QLatin1String(bus::sig::WarningEnded)) {
        warningOnScreen_ = false;
        emit warningEnded();
    } else if (member == QLatin1String(bus::sig::Caption)) {
        emit caption(text(0));
    } else if (member == QLatin1String(bus::sig::StatusLine)) {
        emit statusLine(text(0));
    } else if (member == QLatin1String(bus::sig::LogLine)) {
        emit logLine(text(0));
    } else if (member == QLatin1String(bus::sig::PowerRequestFailed)) {
        emit powerRequestFailed(text(0), text(1));
    } else if (member == QLatin1String(bus::sig::Error)) {
        emit error(text(0));
    }
}

void ServiceClient::start(Done done) {
    call(QString::fromLatin1(bus::method::Start), {}, QStringLiteral("start the heartbeat"),
         [done = std::move(done)](const QDBusMessage&, const QString& error) { done(error); });
}

void ServiceClient::stop(Done done) {
    call(QString::fromLatin1(bus::method::Stop), {}, QStringLiteral("stop the heartbeat"),
         [done = std::move(done)](const QDBusMessage&, const QString& error) { done(error); });
}

void ServiceClient::clear(Done done) {
    call(QString::fromLatin1(bus::method::Clear), {}, QStringLiteral("clear the counters"),
         [done = std::move(done)](const QDBusMessage&, const QString& error) { done(error); });
}

void ServiceClient::applySettings(const QMap<QString, QString>& values, Done done) {
    call(QString::fromLatin1(bus::method::ApplySettings), {QVariant::fromValue(values)},
         QStringLiteral("change the settings"),
         [done = std::move(done)](const QDBusMessage&, const QString& error) { done(error); });
}

void ServiceClient::testWarning(Done done) {
    call(QString::fromLatin1(bus::method::TestWarning), {}, QStringLiteral("show the test warning"),
         [done = std::move(done)](const QDBusMessage&, const QString& error) { done(error); });
}

void ServiceClient::closeWarning(Done done) {
    call(
        QString::fromLatin1(bus::method::CloseWarning), {}, QStringLiteral("close the warning"),
        [done = std::move(done)](const QDBusMessage&, const QString& error) { done(error); }, true,
        Checked::No);
}

void ServiceClient::followLines() {
    const quint64 generation = generation_;
    call(
        QString::fromLatin1(bus::method::FollowLines), {},
        QStringLiteral("follow the service's lines"),
        [this, generation](const QDBusMessage&, const QString& error) {
            if (generation != generation_)
                return; // asked of an owner that has gone
            followsLines_ = error.isEmpty();
            emit linesFollowed(error);
        },
        false);
}

void ServiceClient::readSettings(SettingsDone done) {
    call(QString::fromLatin1(bus::method::ReadSettings), {}, QStringLiteral("read the settings"),
         [done = std::move(done)](const QDBusMessage& reply, const QString& error) {
             if (!error.isEmpty()) {
                 done({}, error);
                 return;
             }
             if (reply.arguments().isEmpty()) {
                 done({}, QStringLiteral("The NorvaHB service gave no settings."));
                 return;
             }
             done(qdbus_cast<QMap<QString, QString>>(reply.arguments().constFirst()), QString());
         });
}

void ServiceClient::call(const QString& method, const QVariantList& args, const QString& what,
                         std::function<void(const QDBusMessage&, const QString&)> done,
                         bool interactive, Checked checked) {
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(bus::ServiceName),
                                                          bus::ObjectPath, bus::Interface, method);
    message.setArguments(args);
    // A front end follows a service that runs; it never starts one by calling it.
    message.setAutoStartService(false);
    // The service may have polkit ask the user for a password before it answers; without
    // this flag it answers at once, refused.
    message.setInteractiveAuthorizationAllowed(interactive);
    if (checked == Checked::No) {
        send(message, what, std::move(done), false);
        return;
    }
    if (guardedInFlight_) {
        guardedWaiting_.push_back({message, what, std::move(done)});
        return;
    }
    guardedInFlight_ = true;
    send(message, what, std::move(done), true);
}

void ServiceClient::send(const QDBusMessage& message, const QString& what,
                         std::function<void(const QDBusMessage&, const QString&)> done,
                         bool checked) {
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(message, CallTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, pending, what, checked, done = std::move(done)] {
                pending->deleteLater();
                const QDBusMessage reply = pending->reply();
                // The next checked call goes out before this one's callback runs, which may
                // make another call or even destroy the client.
                if (checked) {
                    if (guardedWaiting_.empty()) {
                        guardedInFlight_ = false;
                    } else {
                        Guarded next = std::move(guardedWaiting_.front());
                        guardedWaiting_.pop_front();
                        send(next.message, next.what, std::move(next.done), true);
                    }
                }
                if (reply.type() == QDBusMessage::ReplyMessage)
                    done(reply, QString());
                else
                    done(reply, errorText(reply, what));
            });
}

QString ServiceClient::errorText(const QDBusMessage& reply, const QString& what) const {
    const QString name = reply.errorName();
    const QString message = reply.errorMessage();
    if (name == QLatin1String(bus::error::NotAuthorized)) {
        // One error name for every answer but "yes"; the service words which it was: the
        // user cancelled the prompt, no authority could be asked, or the user may not.
        if (message.contains(QLatin1String(bus::refusal::Cancelled)))
            return cancelledText();
        const QLatin1String unchecked(bus::refusal::Unchecked);
        if (message.startsWith(unchecked)) {
            QString detail = message.mid(unchecked.size());
            detail.remove(0, detail.indexOf(QLatin1Char(':')) + 1);
            return QStringLiteral("Whether you may %1 could not be checked (%2); nothing was "
                                  "changed.")
                .arg(what, detail.simplified());
        }
        return QStringLiteral("You are not allowed to %1; nothing was changed.").arg(what);
    }
    if (name == QLatin1String(bus::error::InvalidSettings))
        return QStringLiteral("The settings were not stored: %1").arg(message);
    switch (QDBusError(reply).type()) {
    case QDBusError::ServiceUnknown:
        return notRunningText();
    case QDBusError::NoReply:
        // The bus says the same when the service ended before it answered as when the time
        // ran out; the former is what a front end meets, the latter a hung service.
        if (owner_.isEmpty() || message.contains(QLatin1String("disconnected")))
            return notRunningText();
        return QStringLiteral("The NorvaHB service did not answer in time.");
    case QDBusError::Disconnected:
        return QStringLiteral("There is no connection to the system bus (%1).").arg(message);
    case QDBusError::AccessDenied:
        return QStringLiteral("You are not allowed to %1 (%2).").arg(what, message);
    default:
        break;
    }
    if (name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return notRunningText();
    return QStringLiteral("The NorvaHB service could not %1: %2").arg(what, message);
}

} // namespace norva
