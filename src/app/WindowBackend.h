#pragma once

#include "agent/AgentState.h"

#include <functional>

namespace norva {

// What the main window draws from and sends its commands to. There are two: LocalBackend,
// the agent in this process (the window runs the heartbeat and the command port itself), and
// ServiceBackend, the service norvahbd over the bus (the window is its front end). The window
// is the same for both: it draws whatever its AgentListener hears, and its buttons call these.
// Neither backend draws anything itself.
//
// Errors: a refused command or Apply is shown in one error box by the backend; an error the
// agent raises in this process reaches the window's handler, which shows it as every handler
// error is shown.
class WindowBackend {
public:
    using ValuesDone = std::function<void(const SettingsValues& values)>;
    using ApplyDone = std::function<void(bool stored)>;

    virtual ~WindowBackend() = default;

    // The settings are open (local: the settings file, the command port's guards read from
    // it; a front end has nothing to open).
    virtual void open() = 0;
    // From now on the window follows: local, the start-up steps (the stored port, the
    // heartbeat resumed, the restart notice, the start tray); a front end draws the service
    // as soon as the bus has said whether it runs.
    virtual void begin() = 0;

    // The window's commands: Start and Stop, Clear, the test warning (shown modally), and the
    // warning window closed by the user.
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void clearCounters() = 0;
    virtual void testWarning() = 0;
    virtual void warningClosed() = 0;

    // The stored settings of both pages, named as Agent::settings() names them: to `done` at
    // once (local) or once the service has answered (a front end; a failure goes to the
    // window's log instead). The command password is among them only where the page shows
    // the stored one (local).
    virtual void readSettings(ValuesDone done) = 0;
    // Stores one page's values, all or none: `done(true)` once stored, `done(false)` after a
    // refusal (shown in a box, nothing stored).
    virtual void applySettings(const SettingsValues& values, ApplyDone done) = 0;

    // The mode as stored now, for the details panel.
    virtual HeartbeatMode storedMode() const = 0;
    // True for a front end: the heartbeat and the command port are the service's.
    virtual bool followsService() const = 0;

    // Told when the stored settings changed other than by this window's Apply (a front end:
    // another window or a bus call), with the new values: the pages, the address and the
    // details panel show them.
    std::function<void(const SettingsValues& values)> settingsChanged;

protected:
    WindowBackend() = default;
    WindowBackend(const WindowBackend&) = default;
    WindowBackend& operator=(const WindowBackend&) = default;
};

} // namespace norva
