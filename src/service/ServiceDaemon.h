#pragma once

#include "agent/Agent.h"
#include "service/JournalBoxes.h"
#include "service/Pacer.h"
#include "service/PolkitAuthorizer.h"
#include "service/SerialDeviceWatcher.h"
#include "service/ServiceBus.h"
#include "service/ServiceOptions.h"
#include "service/StoredPageValues.h"
#include "service/WatchdogKeepAlive.h"

#include <QDBusConnection>
#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace norva {

class JournalLog;
class PowerBackend;
class SystemdNotifier;

// norvahbd without its main(): the agent on the stored settings, its announcements written to
// the journal (and the metrics file when one is configured), the bus interface, and the
// service manager told when it is ready, kept alive from the event loop, and told when it
// stops.
//
// It hears the agent as one of its listeners, after the bus interface, so a bus signal goes
// out before the journal line of the same event.
class ServiceDaemon : public QObject, private AgentListener {
    Q_OBJECT
public:
    ServiceDaemon(const ServiceOptions& options, JournalLog& log, PowerBackend& power,
                  SystemdNotifier& notifier, QDBusConnection bus);
    ~ServiceDaemon() override;

    // The start-up: the settings file, the command port, the start-up steps as the desktop
    // program runs them (port, heartbeat resumed, restart notice), the bus, then READY=1.
    // False when the service cannot do its work (no settings file it may use, the command
    // port taken); the reason is in the journal.
    bool start();
    // STOPPING=1, then the transports and timers stop. Once.
    void stop();

    Agent& agent() { return agent_; }

    // The time the metrics file's pace goes by; the steady clock unless a test sets another.
    std::function<std::chrono::steady_clock::time_point()> clock = [] {
        return std::chrono::steady_clock::now();
    };
    // The metrics file is rewritten (with an fsync) at most once a second: the first change
    // after a quiet second at once, the rest of a burst when the second is over, the last
    // state always, and at the stop at once. Public for tests, which fire its timer.
    Pacer metricsPace;

private:
    // The agent's announcements: the journal's lines, the counts and the metrics file.
    void iconShown(tAppIcons icon) override;
    void statusTextShown(const QString&) override {}
    void trayShown(const TrayLook&) override {}
    void noResponse(const QString& balloonText) override;
    void countersChanged(Link link, const LinkCounters& counters) override;
    void serialPortLost() override;
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
    void warningTicked(std::int32_t) override {}
    void warningEnded() override;
    void sleepChanged(SleepNote note, const QString& detail) override;

    // Asks for the metrics file to be rewritten, at the pace of metricsPace.
    void writeMetrics();
    void writeMetricsNow();
    // A serial port that is missing at the start, or whose device went away, is waited for
    // rather than given up: the port is opened as soon as the device is there, and a
    // heartbeat the user started resumes on it. The desktop program shows its error box
    // instead.
    void waitForSerialDevices();
    void awaitSerialDevice(std::uint16_t n, const std::string& why);
    void serialDeviceLost();
    void serialDevicePresent(std::uint16_t n);

    ServiceOptions options_;
    JournalLog& log_;
    SystemdNotifier& notifier_;
    JournalBoxes boxes_;
    Agent agent_;
    StoredPageValues pages_;
    PolkitAuthorizer polkit_;
    ServiceBus bus_;
    QDBusConnection connection_;
    WatchdogKeepAlive keepAlive_;
    SerialDeviceWatcher serialWatch_;
    std::string serialOpenError_; // why the awaited port last failed to open, said once
    std::uint64_t commandsAccepted_ = 0;
    std::uint64_t commandsRejected_ = 0;
    std::uint64_t powerRequestsFailed_ = 0;
    std::int64_t stateChangedAt_ = 0;
    std::optional<HeartbeatState> shownState_; // the state last logged; none yet
    std::string metricsPath_;                  // [Service] MetricsFile, read at the start
    std::string metricsError_;
    bool stopped_ = false;
};

} // namespace norva
