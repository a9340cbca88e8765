#pragma once

#include "agent/Agent.h"
#include "service/JournalBoxes.h"
#include "service/PolkitAuthorizer.h"
#include "service/ServiceBus.h"
#include "service/ServiceOptions.h"
#include "service/StoredPageValues.h"
#include "service/WatchdogKeepAlive.h"

#include <QDBusConnection>
#include <QObject>
#include <cstdint>
#include <string>

namespace norva {

class JournalLog;
class PowerBackend;
class SystemdNotifier;

// norvahbd without its main(): the agent on the stored settings, its announcements written to
// the journal (and the metrics file when one is configured), the bus interface, and the
// service manager told when it is ready, kept alive from the event loop, and told when it
// stops.
class ServiceDaemon : public QObject {
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

private:
    void followInJournal();
    void writeMetrics();

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
    std::uint64_t commandsAccepted_ = 0;
    std::uint64_t commandsRejected_ = 0;
    std::uint64_t powerRequestsFailed_ = 0;
    std::int64_t stateChangedAt_ = 0;
    int shownState_ = -1;     // the picture last logged; none yet
    std::string metricsPath_; // [Service] MetricsFile, read at the start
    std::string metricsError_;
    bool stopped_ = false;
};

} // namespace norva
