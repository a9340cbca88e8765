#include "service/ServiceDaemon.h"

#include "platform/ErrorBox.h"
#include "service/JournalLog.h"
#include "service/MetricsFile.h"
#include "service/SystemdNotifier.h"
#include "settings/SettingsRules.h"

#include <ctime>

namespace norva {

namespace {

// The journal's state after the three pictures (tAppIcons).
constexpr int kWaitingState = 3;

} // namespace

ServiceDaemon::ServiceDaemon(const ServiceOptions& options, JournalLog& log, PowerBackend& power,
                             SystemdNotifier& notifier, QDBusConnection bus)
    : options_(options), log_(log), notifier_(notifier), boxes_(log),
      agent_(options.settingsFolder(), options.commandPort, pages_, boxes_, power),
      pages_(agent_.MyIni), polkit_(bus), bus_(agent_, pages_, polkit_),
      connection_(std::move(bus)),
      keepAlive_(notifier, [this](const std::string& error) { log_.warning(error); }),
      serialWatch_(agent_.myPort.portMap()) {
    stateChangedAt_ = static_cast<std::int64_t>(std::time(nullptr));
    followInJournal();
    waitForSerialDevices();
}

ServiceDaemon::~ServiceDaemon() {
    stop();
}

void ServiceDaemon::followInJournal() {
    auto info = [this](const QString& text) { log_.info(text.toStdString()); };
    connect(&agent_.status, &HeartbeatStatus::iconShown, this, [this](tAppIcons icon) {
        // A stopped heartbeat whose start waits for the serial device is said as such, as
        // the bus's State says it.
        const int state =
            icon == stoppedIcon && agent_.control.serialStartWaiting() ? kWaitingState : icon;
        // Every answer shows the good picture again: only a change is worth a line.
        if (state == shownState_)
            return;
        shownState_ = state;
        static const char* const said[] = {"the device is not responding",
                                           "the device is responding", "the heartbeat is stopped",
                                           "waiting for the serial device"};
        log_.info(std::string("Heartbeat: ") + said[state]);
        stateChangedAt_ = static_cast<std::int64_t>(std::time(nullptr));
        writeMetrics();
    });
    connect(&agent_.status, &HeartbeatStatus::noResponse, this,
            [this](const QString& text) { log_.warning(text.toStdString()); });
    connect(
        &agent_.network, &NetworkMonitor::captionRequested, this,
        [this](const QString& caption) { log_.info("Device message: " + caption.toStdString()); });
    connect(&agent_.network, &NetworkMonitor::countersChanged, this, [this] { writeMetrics(); });
    connect(&agent_.serial, &SerialMonitor::countersChanged, this, [this] { writeMetrics(); });
    connect(&agent_.protocol, &CommandProtocol::captionRequested, this, info);
    connect(&agent_.protocol, &CommandProtocol::label4Requested, this, info);
    connect(&agent_.protocol, &CommandProtocol::commandRejected, this, [this] {
        ++commandsRejected_;
        writeMetrics();
    });
    connect(&agent_.protocol, &CommandProtocol::memoLineRequested, this, info);
    connect(&agent_.protocol, &CommandProtocol::commandAccepted, this, [this] {
        ++commandsAccepted_;
        writeMetrics();
    });
    connect(&agent_.power, &PowerActions::captionRequested, this, info);
    // The device has its acknowledgement and will cut the power: an error, not a notice.
    connect(&agent_.power, &PowerActions::powerRequestFailed, this,
            [this](const QString& action, const QString& error) {
                log_.error("The login manager refused the " + action.toStdString() + ": " +
                           error.toStdString());
                ++powerRequestsFailed_;
                writeMetrics();
            });
    connect(&agent_.pending, &PendingAction::shown, this, [this](std::uint8_t mode, bool) {
        log_.info(mode == 0   ? "Warning: restart in 10 s"
                  : mode == 1 ? "Warning: shutdown in 10 s"
                              : "Warning shown");
    });
    connect(&agent_.pending, &PendingAction::ended, this,
            [this] { log_.info("Warning: count ended"); });
}

void ServiceDaemon::waitForSerialDevices() {
    agent_.control.storedPortMissing = [this](std::uint16_t n, const std::string& why) {
        awaitSerialDevice(n, why);
    };
    agent_.control.serialPortAwaited = [this] { return serialWatch_.watching(); };
    connect(&agent_.serial, &SerialMonitor::portLost, this, [this] { serialDeviceLost(); });
    connect(&serialWatch_, &SerialDeviceWatcher::present, this,
            [this](std::uint16_t n) { serialDevicePresent(n); });
}

void ServiceDaemon::awaitSerialDevice(std::uint16_t n, const std::string& why) {
    serialOpenError_.clear();
    serialWatch_.watch(n);
    // Where it may come: its pin, or its fixed name when the number has one.
    const ComPortMap& map = agent_.myPort.portMap();
    std::string line = ComPortName(n) + " " + why + ": waiting for the serial device at " +
                       map.pinPath(n).string();
    if (const auto fixed = map.fixedDevicePath(n); !fixed.empty())
        line += " or " + fixed.string();
    if (serialWatch_.polling())
        line += " (looked for every " + std::to_string(SerialDeviceWatcher::PollInterval / 1000) +
                " s: " + serialWatch_.pollReason() + ")";
    log_.warning(line);
}

void ServiceDaemon::serialDeviceLost() {
    const std::uint16_t n = agent_.myPort.ComNumber();
    // Inside the port's own announcement: the close completes as soon as it has returned.
    agent_.myPort.setOpen(false);
    awaitSerialDevice(n, "went away");
    agent_.control.SerialPortLost();
}

void ServiceDaemon::serialDevicePresent(std::uint16_t n) {
    const std::string port = ComPortName(n);
    if (!agent_.myPort.Open()) {
        try {
            agent_.myPort.setComNumber(n);
            agent_.myPort.setOpen(true);
        } catch (const std::exception& e) {
            // Say so once; the next change of the device (udev handing it to its group, say)
            // brings another try.
            if (serialOpenError_ != e.what()) {
                serialOpenError_ = e.what();
                log_.warning(port + " is there but cannot be opened yet: " + serialOpenError_);
            }
            return;
        }
    }
    serialWatch_.stop();
    log_.info(port + " is back: the port is open" +
              (agent_.control.serialStartWaiting() ? ", the heartbeat resumes" : ""));
    RunGuarded(boxes_, [this] { agent_.control.SerialPortBack(); });
}

bool ServiceDaemon::start() {
    try {
        agent_.MyIni.open(options_.settingsFolder());
    } catch (const std::exception& e) {
        log_.error("The settings file " + options_.settingsFile.string() +
                   " cannot be used: " + e.what());
        return false;
    }
    // Read once: only an edit by hand sets it, and the metrics are written after every
    // heartbeat, where reading the settings file each time would be wasted.
    metricsPath_ = agent_.MyIni.file().ReadString(keys::MetricsFile);
    try {
        agent_.Listen();
    } catch (const std::exception& e) {
        log_.error("The command port " + std::to_string(options_.commandPort) +
                   " cannot be opened: " + e.what());
        return false;
    }
    log_.info("Listening for commands on TCP port " + std::to_string(options_.commandPort));

    // The desktop program's start-up steps; an error ends the sequence, as there.
    RunGuarded(boxes_, [this] {
        agent_.status.failed = false;
        agent_.control.OpenStoredPort();
        agent_.control.ResumeHeartbeat();
        agent_.notice.Run();
    });

    QString busError;
    if (!bus_.publish(connection_, &busError))
        log_.warning("No bus interface, the heartbeat and command port run without it: " +
                     busError.toStdString());
    // From now on each error's start is a bus signal too; those of the start-up steps above,
    // which came before the bus, go out now.
    boxes_.setRaised(
        [this](const std::string& text) { emit bus_.Error(QString::fromStdString(text)); });
    writeMetrics();
    const std::string said = notifier_.ready();
    if (!said.empty())
        log_.warning(said);
    notifier_.status("Heartbeat " + bus_.state().toStdString() + ", mode " +
                     bus_.mode().toStdString());
    keepAlive_.start();
    return true;
}

void ServiceDaemon::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    notifier_.stopping();
    keepAlive_.stop();
    serialWatch_.stop();
    agent_.Stop();
    writeMetrics(); // norvahb_up 0: the service ended on purpose
    if (agent_.MyIni.isOpen())
        agent_.MyIni.close();
}

void ServiceDaemon::writeMetrics() {
    if (metricsPath_.empty() || !agent_.MyIni.isOpen())
        return;
    MetricsFile::Values v;
    v.up = !stopped_;
    v.mode = pages_.networkMode() ? MetricsFile::Mode::Network
             : pages_.usbMode()   ? MetricsFile::Mode::Usb
                                  : MetricsFile::Mode::None;
    switch (agent_.status.state()) {
    case goodIcon:
        v.state = MetricsFile::State::Responding;
        break;
    case badIcon:
        v.state = MetricsFile::State::NotResponding;
        break;
    case stoppedIcon:
        v.state = MetricsFile::State::Stopped;
        break;
    }
    v.networkSent = agent_.network.sentCount;
    v.networkReceived = agent_.network.rcvdCount;
    v.networkNak = agent_.network.badCount;
    v.networkMissed = agent_.network.missedCount;
    v.usbSent = agent_.serial.comSentCount;
    v.usbReceived = agent_.serial.comrcvdCount;
    v.usbMissed = agent_.serial.comMissedCount;
    v.commandsAccepted = commandsAccepted_;
    v.commandsRejected = commandsRejected_;
    v.powerRequestsFailed = powerRequestsFailed_;
    v.stateChangedAt = stateChangedAt_;
    const std::string error = MetricsFile(metricsPath_).write(v);
    // One line per different failure, not one per heartbeat.
    if (!error.empty() && error != metricsError_)
        log_.error(error);
    metricsError_ = error;
}

} // namespace norva
