#pragma once

#include "agent/Agent.h"
#include "app/WindowBackend.h"

namespace norva {

class SettingsPages;
struct AppEnvironment;

// The window running the heartbeat and the command port itself: the agent lives here, on the
// settings folder, command port, boxes and power backend of the environment, and reads the
// settings pages as they are shown now. The window hears the agent through `window`. The
// command listener is not started here (see listen()).
class LocalBackend : public WindowBackend {
public:
    LocalBackend(const AppEnvironment& env, SettingsPages& pages, AgentListener& window);
    ~LocalBackend() override;

    // The command listener starts listening; a port that cannot be bound raises its error.
    void listen();

    void open() override;
    void begin() override;
    void start() override;
    void stop() override;
    void clearCounters() override;
    void testWarning() override;
    void warningClosed() override;
    void readSettings(ValuesDone done) override;
    void applySettings(const SettingsValues& values, ApplyDone done) override;
    HeartbeatMode storedMode() const override;
    bool followsService() const override { return false; }

    Agent& agent() { return agent_; }

private:
    const AppEnvironment& env_;
    SettingsPages& pages_;
    AgentListener& window_;
    Agent agent_;
};

} // namespace norva
