#include "service/ServiceDaemon.h"

#include "heartbeat/ForeignSources.h"
#include "platform/ErrorBox.h"
#include "service/JournalLog.h"
#include "service/MetricsFile.h"
#include "service/SystemdNotifier.h"
#include "settings/SettingsRules.h"

#include <ctime>

namespace norva {

ServiceDaemon::ServiceDaemon(const ServiceOptions& options, JournalLog& log, PowerBackend& power,
                             SystemdNotifier& notifier, QDBusConnection bus)
    : metricsPace(
          std::chrono::seconds(1), std::chrono::milliseconds(0), [this] { writeMetricsNow(); },
          [this] { return clock(); }),
      options_(options), log_(log), notifier_(notifier), boxes_(log),
      agent_(options.settingsFolder(), options.commandPort, pages_, boxes_, power),
      pages_(agent_.MyIni), polkit_(bus), bus_(agent_, polkit_), connection_(std::move(bus)),
      keepAlive_(notifier, [this](const std::string& error) { log_.warning(error); }),
      serialWatch_(agent_.myPort.portMap()) {
    stateChangedAt_ = static_cast<std::int64_t>(std::time(nullptr));
    // The bus registered itself as it was built: it hears each announcement first.
    agent_.addListener(*this);
    // The device's hellos are counted per address group, not shown one by one: a loop of them
    // must not become a line in the journal and a bus signal each.
    agent_.protocol.foldHellos = true;
    waitForSerialDevices();
}

ServiceDaemon::~ServiceDaemon() {
    stop();
    agent_.removeListener(*this);
}

void ServiceDaemon::iconShown(tAppIcons) {
    // Every answer shows the good picture again: only a change is worth a line. A stopped
    // heartbeat whose start waits for the serial device is said as such, as the bus's State
    // says it.
    const HeartbeatState state = agent_.state().state;
    if (state == shownState_)
        return;
    shownState_ = state;
    const char* said = "the heartbeat is stopped";
    switch (state) {
    case HeartbeatState::Responding:
        said = "the device is responding";
        break;
    case HeartbeatState::NotResponding:
        said = "the device is not responding";
        break;
    case HeartbeatState::WaitingForSerialDevice:
        said = "waiting for the serial device";
        break;
    case HeartbeatState::Sleeping:
        said = "paused while the PC sleeps";
        break;
    case HeartbeatState::Stopped:
        break;
    }
    log_.info(std::string("Heartbeat: ") + said);
    stateChangedAt_ = static_cast<std::int64_t>(std::time(nullptr));
    writeMetrics();
}

void ServiceDaemon::noResponse(const QString& balloonText) {
    log_.warning(balloonText.toStdString());
}

void ServiceDaemon::countersChanged(Link, const LinkCounters&) {
    writeMetrics();
}

void ServiceDaemon::serialPortLost() {
    serialDeviceLost();
}

void ServiceDaemon::settingsApplied() {
    // The mode may have changed with no heartbeat to bring it to the file.
    writeMetrics();
}

void ServiceDaemon::deviceMessage(const QString& caption) {
    log_.info("Device message: " + caption.toStdString());
}

void ServiceDaemon::foreignDatagrams(const QString& source, std::uint64_t count) {
    // A warning: someone other than the device is sending to the heartbeat port.
    log_.warning(ForeignSources::Line(source.toStdString(), count));
}

void ServiceDaemon::captionShown(const QString& caption) {
    log_.info(caption.toStdString());
}

void ServiceDaemon::statusLine(const QString&) {
    // Not one line per packet: "Bad Password" at every guess would let a flood of them push the
    // lines that matter out of the journal. The command port's folded counts per address group
    // say what was rejected, and an accepted command has its own line.
}

void ServiceDaemon::logLine(const QString& line) {
    log_.info(line.toStdString());
}

void ServiceDaemon::commandAccepted(const QString&, const QString&) {
    ++commandsAccepted_;
    writeMetrics();
}

void ServiceDaemon::commandRejected() {
    ++commandsRejected_;
    writeMetrics();
}

void ServiceDaemon::powerRequestFailed(const QString& action, const QString& error) {
    // The device has its acknowledgement and will cut the power: an error, not a notice.
    log_.error("The login manager refused the " + action.toStdString() + ": " +
               error.toStdString());
    ++powerRequestsFailed_;
    writeMetrics();
}

void ServiceDaemon::warningShown(std::uint8_t mode, bool) {
    log_.info(mode == 0   ? "Warning: restart in 10 s"
              : mode == 1 ? "Warning: shutdown in 10 s"
                          : "Warning shown");
}

void ServiceDaemon::warningEnded() {
    log_.info("Warning: count ended");
}

void ServiceDaemon::sleepChanged(SleepNote note, const QString& detail) {
    switch (note) {
    case SleepNote::Sleeping:
        log_.info("Heartbeat: sleeping (the PC goes to sleep; the heartbeat pauses)");
        break;
    case SleepNote::Woke:
        log_.info("Heartbeat: the PC woke; the heartbeat resumes");
        break;
    case SleepNote::WokeUnannounced:
        log_.info("Heartbeat: the PC slept for " + detail.toStdString() +
                  " without notice; the heartbeat resumes");
        break;
    case SleepNote::LockTaken:
        log_.info(agent_.state().allowSleep
                      ? "Sleep: delay lock held (AllowSleep=1: the heartbeat pauses for a sleep)"
                      : "Sleep: block lock held while the heartbeat runs");
        break;
    case SleepNote::LockReleased:
        log_.info("Sleep: lock released");
        break;
    case SleepNote::LockRefused:
        log_.warning("Sleep: the login manager refused the sleep lock (" + detail.toStdString() +
                     "); the heartbeat goes on without it");
        break;
    }
    // The state line of iconShown is not said for a sleep; what it compares with is now.
    shownState_ = agent_.state().state;
    stateChangedAt_ = static_cast<std::int64_t>(std::time(nullptr));
    writeMetrics();
}

void ServiceDaemon::waitForSerialDevices() {
    agent_.control.storedPortMissing = [this](std::uint16_t n, const std::string& why) {
        awaitSerialDevice(n, why);
    };
    agent_.control.serialPortAwaited = [this] { return serialWatch_.watching(); };
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
    // Said at every start, so it is not lost among older lines: a missing password still lets
    // the built-in default command, an empty one lets nothing command.
    switch (const StoredPassword password = StoredPasswordOf(agent_.MyIni.file())) {
    case StoredPassword::Missing:
        log_.warning("Command port: " + StoredPasswordProblem(password));
        break;
    case StoredPassword::Empty:
        log_.error("Command port: " + StoredPasswordProblem(password));
        break;
    case StoredPassword::Set:
        break;
    }

    // Sleep is held off (or paused for) from the first heartbeat on: the lock is taken by the
    // start-up's resume.
    if (connection_.isConnected())
        agent_.watchSleep(connection_);
    // The desktop program's start-up steps; an error ends the sequence, as there.
    RunGuarded(boxes_, [this] { agent_.startUp(); });

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
    const AgentState now = agent_.state();
    notifier_.status(std::string("Heartbeat ") + StateName(now.state) + ", mode " +
                     ModeName(now.mode));
    keepAlive_.start();
    // The state the service is ready in, now rather than when the pace allows.
    metricsPace.flush();
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
    // What the command port counted and has not said yet is said now, not lost.
    agent_.protocol.reportPending();
    agent_.network.reportPendingForeign();
    // The properties' last values go out now, not a tenth of a second after the end.
    bus_.flushProperties();
    metricsPace.timer.stop();
    writeMetricsNow(); // norvahb_up 0: the service ended on purpose
    if (agent_.MyIni.isOpen())
        agent_.MyIni.close();
}

void ServiceDaemon::writeMetrics() {
    metricsPace.request();
}

void ServiceDaemon::writeMetricsNow() {
    if (metricsPath_.empty() || !agent_.MyIni.isOpen())
        return;
    const AgentState now = agent_.state();
    MetricsFile::Values v;
    v.up = !stopped_;
    v.mode = now.mode;
    v.state = now.state;
    v.network = now.network;
    v.usb = now.usb;
    v.commandsAccepted = commandsAccepted_;
    v.commandsRejected = commandsRejected_;
    v.powerRequestsFailed = powerRequestsFailed_;
    v.stateChangedAt = stateChangedAt_;
    v.sleepInhibited = now.sleepInhibited;
    const std::string error = MetricsFile(metricsPath_).write(v);
    // One line per different failure, not one per heartbeat.
    if (!error.empty() && error != metricsError_)
        log_.error(error);
    metricsError_ = error;
}

} // namespace norva
