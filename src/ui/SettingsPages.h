#pragma once

#include "agent/AgentState.h"
#include "heartbeat/PageValues.h"

#include <functional>

namespace norva {

class StatusView;

// The two settings pages of the main window: filled from the stored settings, given back as
// values by Apply, refilled by Cancel. They hold no settings file: whoever stores the
// settings (the agent in this process, or the service) gives the values to show and takes
// the values to store, named as Agent::settings() names them. Nothing is kept besides the
// controls themselves. What they show now, applied or not, is read by the heartbeat and the
// command port as PageValues.
class SettingsPages : public PageValues {
public:
    explicit SettingsPages(StatusView& view);

    // Whether COMn is installed (the serial port's test), for the port list.
    std::function<bool(unsigned n)> IsComPortAvailable;

    // The pages filled from stored values. A value not given shows as the file's default
    // would; an address not given shows the page's own default.
    void loadSetup(const SettingsValues& stored); // heartbeat page
    void loadGSD(const SettingsValues& stored);   // shutdown page
    void LoadVars(const SettingsValues& stored);  // the address and port only

    // What each page's Apply stores: every value of the page as it shows it now.
    SettingsValues heartbeatValues() const;
    SettingsValues shutdownValues() const;
    // Empties the password field (a front end, once it has sent a typed password).
    void clearPassword();

    // PageValues: the controls as they are now.
    QString userName() const override;
    QString password() const override;
    bool alertPendingAction() const override;
    bool noneMode() const override;
    bool networkMode() const override;
    bool usbMode() const override;
    bool heartbeatFieldsFilled() const override;
    bool statusInTray() const override;

private:
    StatusView& view_;
};

} // namespace norva
