#pragma once

#include <functional>

namespace norva {

class SettingsFile;
class SettingsHandle;
class StatusView;

// The two settings pages of the main window: filled from the settings file, written back
// by Apply, refilled by Cancel. Nothing is kept besides the controls themselves.
class SettingsPages {
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

private:
    SettingsFile& ini() const;

    SettingsHandle& MyIni_;
    StatusView& view_;
};

} // namespace norva
