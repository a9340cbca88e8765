#include "commands/CommandProtocol.h"

#include "commands/CommandPacket.h"
#include "commands/PendingAction.h"
#include "heartbeat/PageValues.h"
#include "platform/StrToInt.h"
#include "settings/SettingsHandle.h"
#include "transport/CommandConnection.h"
#include "transport/HandOverQueue.h"

#include <QMetaObject>
#include <optional>

namespace norva {

namespace {

using TimePoint = SourceLockout::TimePoint;

// Texts from outside (an address, a settings value) may hold a '%': every line is built
// with one multi-argument arg(), which never looks into what it has put in.
QString text(const std::string& s) {
    return QString::fromStdString(s);
}

template <typename Number> QString number(Number n) {
    return QString::number(n);
}

// A whole number of the guard's settings. Missing or empty, it is the default without a word;
// anything else that is not a whole number from `low` to `high` is logged once and the
// default used, since a typing error in a hand-edited file must neither stop the command port
// nor weaken the guard silently.
int guardNumber(const SettingsFile& file, const TextKey& key, int low, int high,
                std::vector<QString>& errors) {
    const int fallback = StrToInt(std::string(key.fallback));
    const std::string value = file.ReadString(key);
    if (value.find_first_not_of(" \t") == std::string::npos)
        return fallback;
    try {
        const int number = StrToInt(value);
        if (number >= low && number <= high)
            return number;
    } catch (const ConvertError&) {
    }
    errors.push_back(QString("Command port: %1=\"%2\" is not a whole number from %3 to %4; %5 "
                             "is used")
                         .arg(QString::fromUtf8(key.name.data(), int(key.name.size())), text(value),
                              number(low), number(high), number(fallback)));
    return fallback;
}

bool sameLimits(const SourceLockout::Limits& a, const SourceLockout::Limits& b) {
    return a.failures == b.failures && a.window == b.window && a.lockout == b.lockout &&
           a.tableSize == b.tableSize && a.reportInterval == b.reportInterval;
}

// The page's text in the 8-bit form the packet carries. A character that has no 8-bit form
// cannot have come from the device, so such a text matches no packet (a plain conversion
// would turn it into '?' and let a packet holding '?' pass).
std::optional<std::string> eightBit(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() > 0xFF)
            return std::nullopt;
    return text.toLatin1().toStdString();
}

} // namespace

CommandProtocol::CommandProtocol(HandOverQueue& ui, SettingsHandle& MyIni, PageValues& pages,
                                 PendingAction& warning)
    : ui_(ui), MyIni_(MyIni), pages_(pages), warning_(warning),
      guard_(std::make_shared<const Guard>(
          Guard{AddressFilter(), std::make_shared<SourceLockout>()})) {
    sweepTimer.setInterval(1000);
    connect(&sweepTimer, &QTimer::timeout, this, [this] { sweepTimerTimer(); });
}

std::shared_ptr<const CommandProtocol::Guard> CommandProtocol::guard() const {
    std::lock_guard lock(guardMutex_);
    return guard_;
}

SourceLockout::Limits CommandProtocol::guardLimits() const {
    return guard()->lockout->limits();
}

void CommandProtocol::ReadGuardSettings() {
    const SettingsFile& file = MyIni_.file();
    std::vector<QString> errors;
    SourceLockout::Limits limits;
    // At most 100 rejections are remembered per address, so the full table stays small.
    limits.failures = guardNumber(file, keys::LockoutFailures, 0, 100, errors);
    limits.window = std::chrono::seconds(guardNumber(file, keys::LockoutWindow, 1, 86400, errors));
    limits.lockout =
        std::chrono::seconds(guardNumber(file, keys::LockoutSeconds, 1, 86400, errors));
    AddressFilter filter(file.ReadString(keys::AcceptFrom));
    for (const std::string& error : filter.errors())
        errors.push_back("Command port: " + text(error));
    if (filter.restricts() && filter.size() == 0)
        errors.push_back("Command port: AcceptFrom has no usable entry, so no address may send "
                         "commands");

    std::shared_ptr<SourceLockout> old = guard()->lockout;
    std::shared_ptr<SourceLockout> lockout = old;
    if (!sameLimits(old->limits(), limits))
        lockout = std::make_shared<SourceLockout>(limits);
    {
        std::lock_guard lock(guardMutex_);
        guard_ = std::make_shared<const Guard>(Guard{std::move(filter), lockout});
    }
    for (const QString& error : errors)
        emit memoLineRequested(error);
    if (lockout != old) {
        // The old table's lockouts end now, each with its line, and its counts go out: a
        // sweep as far ahead as the longest of them.
        const SourceLockout::Limits& was = old->limits();
        report(old->sweep(clock() + was.lockout + was.reportInterval + std::chrono::seconds(1)),
               " (the limits changed)");
    }
}

bool CommandProtocol::dropped(const Guard& guard, const std::string& peer) {
    const TimePoint now = clock();
    if (!guard.filter.allows(peer)) {
        guard.lockout->refused(peer, now);
        counted(now.time_since_epoch().count());
        return true;
    }
    return guard.lockout->locked(peer, now);
}

void CommandProtocol::counted(TimePointRep now) {
    lastCounted_ = now;
    ++counted_;
    wakeSweep();
}

void CommandProtocol::rejected(const Guard& guard, const std::string& peer) {
    emit commandRejected(QString::fromStdString(peer));
    const TimePoint now = clock();
    lastCounted_ = now.time_since_epoch().count();
    ++counted_;
    std::string group;
    if (guard.lockout->rejected(peer, now, &group) == SourceLockout::Event::LockoutStarted) {
        ++lockoutsUnderWay_;
        const SourceLockout::Limits& limits = guard.lockout->limits();
        emit memoLineRequested(
            QString("Command port: %1 locked out for %2 s after %3 rejected commands in %4 s")
                .arg(text(group), number(limits.lockout.count()), number(limits.failures),
                     number(limits.window.count())));
    }
    startSweeping();
}

void CommandProtocol::report(const SourceLockout::Sweep& sweep, const char* reason) {
    for (const SourceLockout::Ended& ended : sweep.ended) {
        --lockoutsUnderWay_;
        emit memoLineRequested(QString("Command port: lockout of %1 ended%2; messages ignored: %3")
                                   .arg(text(ended.group), reason, number(ended.ignored)));
    }
    for (const SourceLockout::Tally& tally : sweep.counts) {
        if (tally.rejected)
            emit memoLineRequested(
                QString("Command port: %1: rejected commands (wrong user name or password): %2")
                    .arg(text(tally.group), number(tally.rejected)));
        if (tally.refused)
            emit memoLineRequested(
                QString("Command port: %1: messages ignored (not in AcceptFrom): %2")
                    .arg(text(tally.group), number(tally.refused)));
        if (tally.hellos)
            emit memoLineRequested(QString("Command port: %1: hellos answered: %2")
                                       .arg(text(tally.group), number(tally.hellos)));
    }
    const SourceLockout::Tally& forgotten = sweep.forgotten;
    if (forgotten.rejected || forgotten.refused)
        emit memoLineRequested(QString("Command port: address groups no longer tracked: rejected "
                                       "commands: %1, messages not in AcceptFrom: %2")
                                   .arg(number(forgotten.rejected), number(forgotten.refused)));
    if (forgotten.hellos)
        emit memoLineRequested(
            QString("Command port: address groups no longer tracked: hellos answered: %1")
                .arg(number(forgotten.hellos)));
}

void CommandProtocol::reportPending() {
    // The lockouts under way are left to end in their time: only the counts are due now.
    report(guard()->lockout->sweep(clock(), true), "");
}

void CommandProtocol::startSweeping() {
    sweeping_ = true;
    // A running timer is left alone: restarting it on every rejection would put the sweep
    // off for as long as they kept coming.
    if (!sweepTimer.isActive())
        sweepTimer.start();
}

void CommandProtocol::wakeSweep() {
    if (sweeping_.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this, [this] { startSweeping(); }, Qt::QueuedConnection);
}

void CommandProtocol::sweepTimerTimer() {
    const std::shared_ptr<const Guard> current = guard();
    const TimePoint now = clock();
    const std::uint64_t counted = counted_;
    report(current->lockout->sweep(now), "");

    // Counts not yet reported are due at the latest one report interval after the last
    // message counted, and this sweep has taken them.
    const TimePoint last{TimePoint::duration(lastCounted_.load())};
    const bool owed = lockoutsUnderWay_ > 0 ||
                      (counted != 0 && now - last < current->lockout->limits().reportInterval);
    if (owed)
        return;
    sweeping_ = false;
    // A message counted on a connection thread since `counted` was read found the sweep
    // still marked running and started nothing: keep going for it, unless another start is
    // already posted.
    if (counted_ != counted && !sweeping_.exchange(true))
        return;
    sweepTimer.stop();
}

void CommandProtocol::onUi(const std::function<void()>& step) {
    if (!ui_.call(step))
        throw Error("The program is closing");
}

void CommandProtocol::theServerExecute(CommandConnection& AContext) {
    AContext.setReadTimeout(100);
    std::vector<std::uint8_t> message;
    AContext.ReadBytes(message, -1, true);
    if (message.empty())
        throw Error("The device sent nothing in time"); // ends the connection

    // The guards come before everything, hellos included: an address that may not command,
    // or that guessed too often, is ignored here, on this thread, at the cost of a lookup.
    const std::string peer = AContext.PeerIP();
    if (dropped(*guard(), peer))
        return;

    if (!IsHello(message)) {
        handleCommand(AContext, message, peer);
        return;
    }
    if (HelloText(message) != "hello-000")
        return;
    if (foldHellos) {
        const TimePoint now = clock();
        guard()->lockout->hello(peer, now);
        counted(now.time_since_epoch().count());
    } else {
        onUi([&] { emit captionRequested("Got Hello"); });
    }
    AContext.Write(
        {static_cast<std::uint8_t>(localSeq & 0xFF), static_cast<std::uint8_t>(localSeq >> 8)});
}

void CommandProtocol::accept(const QString& source, const QString& action) {
    emit memoLineRequested(QString("Command port: %1 from %2").arg(action, source));
    emit commandAccepted(source, action);
}

void CommandProtocol::handleCommand(CommandConnection& AContext,
                                    const std::vector<std::uint8_t>& message,
                                    const std::string& peer) {
    const CommandPacket packet = DecodeCommandPacket(message);

    bool accepted = false;
    onUi([&] {
        // The guards in force now: the settings may have been applied since this message
        // came in, and on this thread nothing changes them under the step.
        const std::shared_ptr<const Guard> current = guard();
        // A lockout may have started while this message waited here (another connection of
        // the same address got its turn first): then it is not compared either.
        if (current->lockout->locked(peer, clock()))
            return;
        const std::optional<std::string> user = eightBit(pages_.userName());
        if (!user || !SameUserName(packet.userName, *user)) {
            emit label4Requested("Bad Username");
            rejected(*current, peer);
            return;
        }
        // A password that is empty (or only blanks) is none: it would let any packet with an
        // empty field through, so it accepts no command until one is set.
        const std::optional<std::string> password = eightBit(pages_.password());
        if (!password || password->find_first_not_of(" \t") == std::string::npos ||
            packet.password != *password) {
            emit label4Requested("Bad Password");
            rejected(*current, peer);
            return;
        }
        // The right user name and password in a packet that commands nothing still costs a
        // try: were it free, a guesser would send its guesses in packets of another type or
        // command and learn the password from which of them counted, without a lockout.
        if (packet.type != eCmnd_get) {
            rejected(*current, peer);
            return;
        }
        emit memoLineRequested("Recived eCmnd_get");
        if (packet.command != kCommandRestart && packet.command != kCommandShutdown) {
            rejected(*current, peer);
            return;
        }
        // A command that acts: the address knows the credentials, and its earlier mistakes
        // no longer count.
        current->lockout->accepted(peer, clock());
        accepted = true;
    });
    if (!accepted)
        return;

    // The device hears of an accepted command before anything is done for it.
    AContext.Write({0x01});

    const QString source = QString::fromStdString(peer);
    if (packet.command == kCommandRestart) {
        onUi([&] {
            // Stored first, so the device is told after the restart; a failed write stops
            // here and no restart follows.
            MyIni_.file().WriteString(keys::SourceIP, peer);
            if (restartStored)
                restartStored();
            if (pages_.alertPendingAction()) {
                accept(source, "restart after warning");
                warning_.ShowPending(0);
            } else {
                accept(source, "restart");
                if (doRestart)
                    doRestart();
                emit label4Requested("RESTART");
            }
        });
    } else {
        onUi([&] {
            if (pages_.alertPendingAction()) {
                accept(source, "shutdown after warning");
                warning_.ShowPending(1);
            } else {
                accept(source, "shutdown");
                if (doShutdown)
                    doShutdown();
                emit label4Requested("SHUTDOWN");
            }
        });
    }
}

} // namespace norva
