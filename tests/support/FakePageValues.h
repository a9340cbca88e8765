#pragma once

#include "heartbeat/PageValues.h"

#include <QString>

namespace norva::test {

// The settings pages' current values as plain fields, for the heartbeat and the command port
// without the window's controls. The defaults are those of an empty settings file.
class FakePageValues : public PageValues {
public:
    QString user;
    QString pass;
    bool alert = false;
    bool none = true;
    bool network = false;
    bool usb = false;
    bool fieldsFilled = true;
    bool tray = false;

    QString userName() const override { return user; }
    QString password() const override { return pass; }
    bool alertPendingAction() const override { return alert; }
    bool noneMode() const override { return none; }
    bool networkMode() const override { return network; }
    bool usbMode() const override { return usb; }
    bool heartbeatFieldsFilled() const override { return fieldsFilled; }
    bool statusInTray() const override { return tray; }
};

} // namespace norva::test
