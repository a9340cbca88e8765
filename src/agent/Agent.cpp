#include "agent/Agent.h"

#include "agent/SleepGuard.h"
#include "bus/SettingsSchema.h"
#include "platform/Error.h"
#include "platform/ErrorBox.h"
#include "platform/MessageBoxes.h"
#include "transport/ComPortMap.h"

#include <algorithm>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace norva {

Agent::Agent(const std::filesystem::path& settingsFolder, std::uint16_t commandPort,
             PageValues& pages, MessageBoxes& boxes, PowerBackend& powerBackend)
    : UDPServer(queue), myPort(queue, ComPortMap(settingsFolder)), status(pages),
      network(MyIni, UDPServer, status, boxes), serial(MyIni, myPort, status, boxes),
      control(MyIni, status, boxes, pages, network, serial, myPort), power(powerBackend),
      notice(MyIni, UDPServer), protocol(queue, MyIni, pages, pending), theServer(commandPort),
      boxes_(boxes) {
    // Calls from worker threads reach this thread through the Qt event loop; modal boxes
    // run their own loop, so deliveries go on while one is open.
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        throw Error("The program cannot create its wake-up event");
    wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
    connect(wakeNotifier_, &QSocketNotifier::activated, this, [this] {
        std::uint64_t wakes = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &wakes, sizeof wakes);
        queue.runPending();
    });
    queue.setWaker([fd = wakeFd_] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    });

    UDPServer.OnUDPRead = [this](std::thread::id, const std::vector<std::uint8_t>& AData,
                                 const UdpEndpoint::Binding& ABinding) {
        // The receive thread waits for this handler before it reads the next datagram, so the
        // binding's peer is this datagram's source.
        network.UDPServerUDPRead(AData, ABinding.peerIP());
    };
    myPort.OnTriggerAvail = [this](SerialPort& CP, std::uint16_t Count) {
        serial.myPortTriggerAvail(CP, Count);
    };
    myPort.OnLinkLost = [this] { serial.myPortLinkLost(); };
    myPort.OnHandlerError = [&boxes](const std::string& message) {
        boxes.showError(ErrorBoxText(message));
    };

    pending.doRestart = [this] { power.doRestart(); };
    pending.doShutdown = [this] { power.doShutdown(); };
    protocol.doRestart = [this] { power.doRestart(); };
    protocol.doShutdown = [this] { power.doShutdown(); };
    protocol.restartStored = [this] { notice.RestartAccepted(); };
    theServer.OnExecute = [this](CommandConnection& c) { protocol.theServerExecute(c); };

    announceHeartbeat();
    announceCommands();
}

template <typename Call> void Agent::tell(Call call) {
    for (AgentListener* listener : listeners_)
        call(*listener);
}

// Direct connections: a listener hears each announcement at once, in order, on the thread
// that made it, which is this one; a queued connection would hide one made elsewhere.
void Agent::announceHeartbeat() {
    connect(
        &status, &HeartbeatStatus::iconShown, this,
        [this](tAppIcons icon) { tell([&](AgentListener& l) { l.iconShown(icon); }); },
        Qt::DirectConnection);
    connect(
        &status, &HeartbeatStatus::statusTextShown, this,
        [this](const QString& text) { tell([&](AgentListener& l) { l.statusTextShown(text); }); },
        Qt::DirectConnection);
    connect(
        &status, &HeartbeatStatus::trayShown, this,
        [this](const TrayLook& look) { tell([&](AgentListener& l) { l.trayShown(look); }); },
        Qt::DirectConnection);
    connect(
        &status, &HeartbeatStatus::noResponse, this,
        [this](const QString& text) { tell([&](AgentListener& l) { l.noResponse(text); }); },
        Qt::DirectConnection);
    connect(
        &network, &NetworkMonitor::countersChanged, this,
        [this](std::uint32_t sent, std::uint32_t rcvd, std::uint32_t nak, std::uint32_t missed) {
            const LinkCounters counters{sent, rcvd, nak, missed};
            tell([&](AgentListener& l) { l.countersChanged(Link::Network, counters); });
        },
        Qt::DirectConnection);
    connect(
        &serial, &SerialMonitor::countersChanged, this,
        [this](std::uint32_t sent, std::uint32_t rcvd, std::uint32_t missed) {
            const LinkCounters counters{sent, rcvd, 0, missed};
            tell([&](AgentListener& l) { l.countersChanged(Link::Usb, counters); });
        },
        Qt::DirectConnection);
    connect(
        &serial, &SerialMonitor::portLost, this,
        [this] { tell([](AgentListener& l) { l.serialPortLost(); }); }, Qt::DirectConnection);
    connect(
        &status, &HeartbeatStatus::sleepNoted, this,
        [this](SleepNote note, qint64 sleptMs) {
            const QString detail =
                sleptMs >= 0 ? QStringLiteral("%1 s").arg((sleptMs + 500) / 1000) : QString();
            tell([&](AgentListener& l) { l.sleepChanged(note, detail); });
        },
        Qt::DirectConnection);
    connect(
        &network, &NetworkMonitor::captionRequested, this,
        [this](const QString& caption) {
            tell([&](AgentListener& l) { l.deviceMessage(caption); });
        },
        Qt::DirectConnection);
    connect(
        &network, &NetworkMonitor::foreignDatagrams, this,
        [this](const QString& source, std::uint64_t count) {
            tell([&](AgentListener& l) { l.foreignDatagrams(source, count); });
        },
        Qt::DirectConnection);
}

void Agent::announceCommands() {
    auto caption = [this](const QString& text) {
        tell([&](AgentListener& l) { l.captionShown(text); });
    };
    connect(&protocol, &CommandProtocol::captionRequested, this, caption, Qt::DirectConnection);
    connect(&power, &PowerActions::captionRequested, this, caption, Qt::DirectConnection);
    connect(
        &protocol, &CommandProtocol::label4Requested, this,
        [this](const QString& text) { tell([&](AgentListener& l) { l.statusLine(text); }); },
        Qt::DirectConnection);
    connect(
        &protocol, &CommandProtocol::memoLineRequested, this,
        [this](const QString& line) { tell([&](AgentListener& l) { l.logLine(line); }); },
        Qt::DirectConnection);
    connect(
        &protocol, &CommandProtocol::commandAccepted, this,
        [this](const QString& source, const QString& action) {
            tell([&](AgentListener& l) { l.commandAccepted(source, action); });
        },
        Qt::DirectConnection);
    connect(
        &protocol, &CommandProtocol::commandRejected, this,
        [this] { tell([](AgentListener& l) { l.commandRejected(); }); }, Qt::DirectConnection);
    connect(
        &power, &PowerActions::powerRequestFailed, this,
        [this](const QString& action, const QString& error) {
            tell([&](AgentListener& l) { l.powerRequestFailed(action, error); });
        },
        Qt::DirectConnection);
    connect(
        &pending, &PendingAction::shown, this,
        [this](std::uint8_t mode, bool modal) {
            tell([&](AgentListener& l) { l.warningShown(mode, modal); });
        },
        Qt::DirectConnection);
    connect(
        &pending, &PendingAction::ticked, this,
        [this](std::int32_t countdown) {
            tell([&](AgentListener& l) { l.warningTicked(countdown); });
        },
        Qt::DirectConnection);
    connect(
        &pending, &PendingAction::ended, this,
        [this] { tell([](AgentListener& l) { l.warningEnded(); }); }, Qt::DirectConnection);
}

void Agent::addListener(AgentListener& listener) {
    listeners_.push_back(&listener);
}

void Agent::removeListener(AgentListener& listener) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), &listener),
                     listeners_.end());
}

Agent::~Agent() {
    Stop();
    delete wakeNotifier_;
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void Agent::Listen() {
    // The guards' settings are read before the first connection where the file is open
    // already; where it opens later, its opener reads them (ReadCommandSettings).
    if (MyIni.isOpen())
        ReadCommandSettings();
    theServer.setActive(true);
}

void Agent::ReadCommandSettings() {
    protocol.ReadGuardSettings();
}

void Agent::watchSleep(const QDBusConnection& bus) {
    if (sleepGuard_)
        return;
    sleepGuard_ = new SleepGuard(bus, this);
    connect(sleepGuard_, &SleepGuard::prepareForSleep, this,
            [this](bool start) { prepareForSleep(start); });
    connect(sleepGuard_, &SleepGuard::lockRefused, this, [this](const QString& error) {
        if (refusalSaid_)
            return;
        refusalSaid_ = true;
        tell([&](AgentListener& l) { l.sleepChanged(SleepNote::LockRefused, error); });
    });
    updateSleepLock();
}

void Agent::updateSleepLock() {
    if (!sleepGuard_)
        return;
    const bool wanted = !stopped_ && MyIni.isOpen() && MyIni.file().ReadBool(keys::IsStarted) &&
                        !control.sleeping();
    const bool was = sleepGuard_->held();
    const bool wasAllow = sleepGuard_->allowSleep();
    if (wanted) {
        const bool allow = MyIni.file().ReadBool(keys::AllowSleep);
        if (sleepGuard_->take(allow)) {
            refusalSaid_ = false;
            if (!was || wasAllow != allow)
                tell([](AgentListener& l) { l.sleepChanged(SleepNote::LockTaken, QString()); });
        }
        return;
    }
    sleepGuard_->release();
    if (was)
        tell([](AgentListener& l) { l.sleepChanged(SleepNote::LockReleased, QString()); });
}

void Agent::prepareForSleep(bool start) {
    if (stopped_)
        return;
    RunGuarded(boxes_, [&] {
        if (start) {
            control.Sleep();
            // A delay lock has done its work once the heartbeat has paused: give it back so
            // the sleep goes ahead. A block lock stays; a sleep that comes despite it (lid,
            // power key) does not end it.
            if (sleepGuard_ && sleepGuard_->held() && sleepGuard_->allowSleep() &&
                control.sleeping())
                updateSleepLock();
        } else {
            control.Wake();
            updateSleepLock();
        }
    });
}

void Agent::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    if (sleepGuard_)
        sleepGuard_->release(); // ending the program gives the lock back at once
    queue.close();              // releases command connections waiting for this thread
    theServer.setActive(false);
    UDPServer.setActive(false);
    myPort.setOpen(false);
    network.Timer1.stop();
    network.Timer2.stop();
    serial.comFreq.stop();
    serial.comResp.stop();
    pending.Timer1.stop();
    protocol.sweepTimer.stop();
}

void Agent::startUp() {
    status.failed = false;
    control.OpenStoredPort();
    if (stopped_)
        return; // stopped from under the port's box: the program is ending
    control.ResumeHeartbeat();
    notice.Run();
    control.ShowStartTray();
    updateSleepLock();
}

void Agent::startHeartbeat() {
    control.Start();
    updateSleepLock();
}

void Agent::stopHeartbeat() {
    control.Stop();
    updateSleepLock();
}

void Agent::clearCounters() {
    serial.ComClearStats();
    network.ClearStats();
}

void Agent::testWarning(bool modal) {
    pending.ShowPending(pending.mode, modal);
}

void Agent::closeWarning() {
    pending.Closed();
}

QString Agent::applySettings(const SettingsValues& values, ApplyFrom from) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        const bus::Setting* setting = bus::SettingsSchema::find(it.key().toStdString());
        if (!setting)
            return it.key() + " is not a setting of the two pages";
        if (from == ApplyFrom::Page)
            continue;
        const std::string why = bus::SettingsSchema::problem(*setting, it.value().toStdString());
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
    SettingsFile& file = MyIni.file();
    if (heartbeatPage) {
        // As the heartbeat page's Apply: a heartbeat the user started stops, the values are
        // stored, and it starts again with them. The shutdown page's Apply has no such
        // bracket, so its keys alone leave the heartbeat and what it shows alone.
        const bool restart = control.BeginApply();
        try {
            file.WriteAll(entries);
        } catch (...) {
            // Nothing was stored: a bus caller's heartbeat goes on with the settings it had,
            // and the caller hears why.
            if (from == ApplyFrom::Bus)
                control.EndApply(restart);
            throw;
        }
        control.EndApply(restart);
    } else {
        file.WriteAll(entries);
    }
    // As after the shutdown page's Apply: the command port's guards are read again.
    ReadCommandSettings();
    storedRead_ = false;
    updateSleepLock();
    tell([](AgentListener& l) { l.settingsApplied(); });
    return QString();
}

AgentState Agent::state() const {
    AgentState s;
    switch (status.state()) {
    case goodIcon:
        s.state = HeartbeatState::Responding;
        break;
    case badIcon:
        s.state = HeartbeatState::NotResponding;
        break;
    case stoppedIcon:
        s.state = control.serialStartWaiting() ? HeartbeatState::WaitingForSerialDevice
                                               : HeartbeatState::Stopped;
        break;
    }
    if (control.sleeping())
        s.state = HeartbeatState::Sleeping;
    s.sleepInhibited = sleepGuard_ && sleepGuard_->held();
    if (MyIni.isOpen()) {
        if (!storedRead_) {
            const SettingsFile& file = MyIni.file();
            storedMode_ = file.ReadBool(keys::Network) ? HeartbeatMode::Network
                          : file.ReadBool(keys::USB)   ? HeartbeatMode::Usb
                                                       : HeartbeatMode::None;
            storedAddress_ = QString::fromStdString(file.ReadString(keys::IPAddr));
            storedAllowSleep_ = file.ReadBool(keys::AllowSleep);
            storedRead_ = true;
        }
        s.mode = storedMode_;
        s.deviceAddress = storedAddress_;
        s.allowSleep = storedAllowSleep_;
    }
    s.network = network.counters();
    s.usb = serial.counters();
    s.warning = {pending.onScreen(), pending.mode, pending.countdown};
    return s;
}

SettingsValues Agent::settings(bool withPassword) const {
    SettingsValues values;
    if (!MyIni.isOpen())
        return values;
    const SettingsFile& file = MyIni.file();
    // No stored value can hold a line break, so this marks a key that is not there.
    const std::string absent = "\n";
    for (const bus::Setting& k : bus::SettingsSchema::all()) {
        if (k.kind == bus::Setting::Kind::Secret && !withPassword)
            continue;
        std::string value;
        if (k.kind == bus::Setting::Kind::Flag) {
            value.assign(1, file.ReadBool(k.flag()) ? '1' : '0');
        } else if (k.name == bus::setting::IPAddr.name) {
            value = file.ReadString(k.key, absent);
            if (value == absent)
                continue;
        } else {
            value = file.ReadString(k.key);
        }
        values.insert(QString::fromLatin1(k.name.data(), static_cast<qsizetype>(k.name.size())),
                      QString::fromStdString(value));
    }
    return values;
}

} // namespace norva
