#pragma once

#include "agent/AgentListener.h"
#include "agent/AgentState.h"
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

#include <QDBusConnection>
#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace norva {

class MessageBoxes;
class PageValues;
class PowerBackend;
class SleepGuard;

// The heartbeat and the command port as one whole, without any window: the settings file,
// the transports, both monitors and their control, the command protocol with the pending
// action, the power actions and the restart notice, wired to each other. The desktop program
// and the service each own one and differ only in what listens to it and what stands behind
// `pages` (the settings pages as shown now, or the stored settings).
//
// Whoever drives it calls its verbs (startUp, startHeartbeat, stopHeartbeat, clearCounters,
// testWarning, closeWarning, applySettings), reads it as one value (state(), settings()) and
// hears what happens through AgentListener. The components stay public for the window's own
// handlers and for tests that drive their timers.
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

    // The listeners hear every announcement from now until they are removed; a listener must
    // be removed before it is destroyed, unless the agent goes first.
    void addListener(AgentListener& listener);
    void removeListener(AgentListener& listener);

    // The verbs. Errors go to the boxes or are raised, as each says.
    //
    // The start-up steps, once the settings file is open: the stored serial port opened,
    // the heartbeat resumed when it ran at the last exit, the restart notice, the tray for
    // the stored state. An error is raised and ends the steps; so does a Stop() from under a
    // box of the first step (the program is ending).
    void startUp();
    // Start and Stop as the heartbeat page's buttons: the counters cleared and the page
    // reloaded, the heartbeat started in the page's mode and remembered as started; or
    // stopped and remembered as stopped.
    void startHeartbeat();
    void stopHeartbeat();
    // Both links' counters back to 0.
    void clearCounters();
    // The pending-action warning with the mode the last command left (restart if none did),
    // counting; `modal` is passed on to whoever shows it.
    void testWarning(bool modal = false);
    // The warning's window was closed: it is off screen, the count goes on, and the next
    // showing counts from 10 again.
    void closeWarning();
    // Where an Apply comes from, which decides two things. A caller on the bus is checked
    // against the settings' rules, and a write the file refuses leaves its heartbeat running
    // on the old settings. The window's own pages store what they show (a value edited into
    // the file beyond the fields' typing limits goes back whole), and a refused write ends
    // their Apply where it stands, as an error ends any handler of the page: the heartbeat
    // the Apply stopped stays stopped, and the tray shows the stop.
    enum class ApplyFrom { Bus, Page };
    // Stores all values in one replacement of the settings file: a heartbeat-page value stops
    // a heartbeat the user started around the write and starts it again with the new
    // settings; the command port's guards are read again. A value the rules refuse gives the
    // reason (one line naming the setting) and stores nothing; a write the file refuses
    // raises SettingsWriteError with nothing stored. Empty when stored.
    QString applySettings(const SettingsValues& values, ApplyFrom from = ApplyFrom::Bus);

    // Follows the machine's sleep on `bus` (the system bus; a private one in tests): from now
    // on the sleep lock is held while the heartbeat runs, released when it stops and at
    // Stop(), and the heartbeat pauses for a sleep and resumes at the wake. Without it the
    // heartbeat knows of sleep only what the clocks show.
    void watchSleep(const QDBusConnection& bus);
    SleepGuard* sleepGuard() { return sleepGuard_; }

    // The agent as one value, read now. The stored mode and address are read from the settings
    // file at the first call once it is open and again after every applySettings, not at
    // every call: the service reads its state several times per heartbeat, and each read of
    // the file is a system call and a parse. A hand edit of the file shows at the next Apply
    // or start.
    AgentState state() const;
    // The two pages' settings as stored, by their bus names; flags as "0" or "1", a text not
    // stored as its default, except the device's address, which is left out when it is not
    // stored (the page shows its own default then). The password only `withPassword`.
    SettingsValues settings(bool withPassword) const;

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
    template <typename Call> void tell(Call call);
    void announceHeartbeat();
    void announceCommands();
    // The sleep lock as the heartbeat wants it now: held while the user's start stands (and
    // the machine is not asleep), in the stored mode; else released.
    void updateSleepLock();
    void prepareForSleep(bool start);

    std::vector<AgentListener*> listeners_;
    // The stored mode and address as state() last read them; see there.
    mutable bool storedRead_ = false;
    mutable HeartbeatMode storedMode_ = HeartbeatMode::None;
    mutable QString storedAddress_;
    mutable bool storedAllowSleep_ = false;
    int wakeFd_ = -1;
    QSocketNotifier* wakeNotifier_ = nullptr;
    bool stopped_ = false;
    SleepGuard* sleepGuard_ = nullptr;
    MessageBoxes& boxes_;
    bool refusalSaid_ = false; // a refused lock is said once, until one is held again
};

} // namespace norva
