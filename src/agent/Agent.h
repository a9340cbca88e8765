#pragma once

#include "commands/CommandProtocol.h"
#include "commands/PendingAction.h"
#include "commands/PowerActions.h"
#include "commands/RestartNotice.h"
#include "heartbeat/HeartbeatControl.h"
#include "heartbeat/HeartbeatStatus.h"
#include "heartbeat/NetworkMonitor.h"
#include "heartbeat/SerialMonitor.h"
#include "settings/SettingsHandle.h"
#include "transport/CommandListener.h"
#include "transport/HandOverQueue.h"
#include "transport/SerialPort.h"
#include "transport/UdpEndpoint.h"

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <filesystem>

namespace norva {

class MessageBoxes;
class PageValues;
class PowerBackend;

// The heartbeat and the command port as one whole, without any window: the settings file,
// the transports, both monitors and their control, the command protocol with the pending
// action, the power actions and the restart notice, wired to each other. The desktop program
// and the service each own one and differ only in what follows its announcements and what
// stands behind `pages` (the settings pages as shown now, or the stored settings).
//
// Everything here lives on the thread that builds it, which runs the Qt event loop (the
// user-interface thread): calls from the transports' threads reach it through `queue`, woken
// through that loop. `pages`, `boxes` and `powerBackend` must outlive the agent; `pages` may be
// built after it, as it is first read once the agent runs.
class Agent : public QObject {
    Q_OBJECT
public:
    Agent(const std::filesystem::path& settingsFolder, std::uint16_t commandPort, PageValues& pages,
          MessageBoxes& boxes, PowerBackend& powerBackend);
    ~Agent() override;

    // The command listener starts listening (commands are served from here on); a port that
    // cannot be bound raises its error. With the settings file open, the command port's guards
    // are read from it first.
    void Listen();

    // Reads the command port's guards (lockout limits, AcceptFrom) from the open settings
    // file; their errors go to the log. Call it once the file is open, if that is after
    // Listen, and whenever the shutdown page's settings are applied.
    void ReadCommandSettings();

    // Stops the transports and both monitors, and releases calls from threads waiting for
    // this one; once, whatever calls it. Nothing reaches the components afterwards.
    void Stop();
    bool stopped() const { return stopped_; }

    SettingsHandle MyIni;
    HandOverQueue queue;
    UdpEndpoint UDPServer;
    SerialPort myPort;
    HeartbeatStatus status;
    NetworkMonitor network;
    SerialMonitor serial;
    HeartbeatControl control;
    PowerActions power;
    RestartNotice notice;
    PendingAction pending; // the warning's count, whatever window shows it, or none
    CommandProtocol protocol;
    CommandListener theServer;

private:
    // The waker: a worker writes to this eventfd, and the notifier runs the queued calls on
    // this thread. A worker thread only writes eight bytes to the kernel, so it allocates
    // nothing that this thread must later read (as posting a Qt call would), and wakes that
    // come close together cost one pass of the event loop.
    int wakeFd_ = -1;
    QSocketNotifier* wakeNotifier_ = nullptr;
    bool stopped_ = false;
};

} // namespace norva
