#pragma once

#include "heartbeat/PageValues.h"

namespace norva {

class SettingsHandle;

// The service's answer to "what do the settings pages show now": there are no pages, so the
// stored settings. The heartbeat's mode, the credentials a command is compared with, whether
// a command waits for the warning and the tray choice are all read from the settings file at
// the moment they are asked for, so an applied change takes effect as the desktop's pages do.
class StoredPageValues : public PageValues {
public:
    explicit StoredPageValues(SettingsHandle& MyIni) : MyIni_(MyIni) {}

    QString userName() const override;
    QString password() const override;
    bool alertPendingAction() const override;
    // As the pages show the stored flags: network wins when both are set, none when neither.
    bool noneMode() const override;
    bool networkMode() const override;
    bool usbMode() const override;
    bool heartbeatFieldsFilled() const override;
    bool statusInTray() const override;

private:
    SettingsHandle& MyIni_;
};

} // namespace norva
