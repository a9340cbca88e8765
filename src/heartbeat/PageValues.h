#pragma once

#include <QString>

namespace norva {

// What the settings pages show at this moment, applied or not. The heartbeat and the
// command port decide on the page's current state rather than on the stored settings: the
// credentials a packet is compared with, whether an accepted command waits for the warning,
// the heartbeat's mode and whether the tray shows the status are what the user sees now.
//
// Implemented by the settings pages (a test passes plain values). Called on the
// user-interface thread only, as the pages' controls may be read nowhere else.
class PageValues {
public:
    virtual ~PageValues() = default;

    // The shutdown page: the user name and password fields as typed, and "Alert Pending
    // Action".
    virtual QString userName() const = 0;
    virtual QString password() const = 0;
    virtual bool alertPendingAction() const = 0;

    // The heartbeat page's mode buttons (exactly one of the three is set).
    virtual bool noneMode() const = 0;
    virtual bool networkMode() const = 0;
    virtual bool usbMode() const = 0;
    // Whether the address, "Port", "Freq" and "Fail" fields all hold something. Reading the
    // address control fills its empty fields with "0", as the control always does when its
    // text is read.
    virtual bool heartbeatFieldsFilled() const = 0;

    // "Show Status In Tray" on the heartbeat page.
    virtual bool statusInTray() const = 0;

protected:
    PageValues() = default;
    PageValues(const PageValues&) = default;
    PageValues& operator=(const PageValues&) = default;
};

} // namespace norva
