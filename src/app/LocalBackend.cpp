#include "app/LocalBackend.h"

#include "app/AppEnvironment.h"
#include "platform/MessageBoxes.h"
#include "settings/SettingsRules.h"
#include "ui/SettingsPages.h"

namespace norva {

LocalBackend::LocalBackend(const AppEnvironment& env, SettingsPages& pages, AgentListener& window)
    : env_(env), pages_(pages), window_(window),
      agent_(env.settingsFolder, env.commandPort, pages, *env.boxes, *env.power) {
    agent_.addListener(window_);
    // Start shows the stored heartbeat settings again, unapplied edits gone.
    agent_.control.loadSetup = [this] { pages_.loadSetup(agent_.settings(true)); };
}

LocalBackend::~LocalBackend() {
    agent_.Stop();
    agent_.removeListener(window_);
}

void LocalBackend::listen() {
    agent_.Listen();
}

void LocalBackend::open() {
    agent_.MyIni.open(env_.settingsFolder);
    // The listener started before the file was open, on the guards' defaults; from here on
    // the file's hold.
    agent_.ReadCommandSettings();
    // A stored password that reads as empty accepts no command; the log says so once, here.
    if (StoredPasswordOf(agent_.MyIni.file()) == StoredPassword::Empty)
        window_.logLine(QString::fromStdString("Command port: " +
                                               StoredPasswordProblem(StoredPassword::Empty)));
}

void LocalBackend::begin() {
    if (env_.sleepBus)
        agent_.watchSleep(*env_.sleepBus);
    agent_.startUp();
}

void LocalBackend::start() {
    agent_.startHeartbeat();
}

void LocalBackend::stop() {
    agent_.stopHeartbeat();
}

void LocalBackend::clearCounters() {
    agent_.clearCounters();
}

void LocalBackend::testWarning() {
    agent_.testWarning(true);
}

void LocalBackend::warningClosed() {
    agent_.closeWarning();
}

void LocalBackend::readSettings(ValuesDone done) {
    done(agent_.settings(true));
}

void LocalBackend::applySettings(const SettingsValues& values, ApplyDone done) {
    // The page stores what it shows; a write the file refuses is raised to the window's
    // handler, as every settings write error is.
    const QString refused = agent_.applySettings(values, Agent::ApplyFrom::Page);
    if (!refused.isEmpty())
        env_.boxes->showError(refused.toStdString());
    if (done)
        done(refused.isEmpty());
}

HeartbeatMode LocalBackend::storedMode() const {
    // Read from the file at each use, as the details panel always has.
    if (!agent_.MyIni.isOpen())
        return HeartbeatMode::None;
    const SettingsFile& file = agent_.MyIni.file();
    return file.ReadBool(keys::Network) ? HeartbeatMode::Network
           : file.ReadBool(keys::USB)   ? HeartbeatMode::Usb
                                        : HeartbeatMode::None;
}

} // namespace norva
