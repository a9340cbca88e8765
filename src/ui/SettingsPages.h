#pragma once

#include "heartbeat/PageValues.h"

#include <functional>

namespace norva {

class SettingsFile;
class SettingsHandle;
class StatusView;

// The two settings pages of the main window: filled from the settings file, written back
// by Apply, refilled by Cancel. Nothing is kept besides the controls themselves. What they
// show now, applied or not, is read by the heartbeat and the command port as PageValues.
class SettingsPages : public PageValues {
public:
    SettingsPages(SettingsHandle& MyIni, StatusView& view);

    // Whether COMn is installed (the serial port's test), for the port list.
    std::function<bool(unsigned n)> IsComPortAvailable;
    // The heartbeat control's bracket around Apply (stop before, start again after).
    std::function<bool()> beginApply;
    std::function<void(bool restart)> endApply;

    void loadSetup(); // heartbeat page
    void loadGSD();   // shutdown page
    void LoadVars();  // the address and port only, once at start-up

    void Button6Click();                 // heartbeat Apply
    void Button5Click() { loadSetup(); } // heartbeat Cancel
    void Button7Click();                 // shutdown Apply
    void Button8Click() { loadGSD(); }   // shutdown Cancel

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
    SettingsFile& ini() const;

    SettingsHandle& MyIni_;
    StatusView& view_;
};

} // namespace norva
