#pragma once

#include <QMetaType>
#include <QString>

namespace norva {

// The tray's four pictures, in the order of the icon list the tray is built with.
enum class TrayPicture { Responding = 0, NotResponding = 1, Plain = 2, NotRunning = 3 };

// What the tray shows for a state of the heartbeat.
enum class TrayState {
    Responding,    // the device answers
    NotResponding, // the configured number of heartbeats went unanswered
    Stopped,       // the heartbeat does not run
    ServiceAway,   // a front end whose service does not run: nothing protects the PC
};

// A picture with its text. The text is the icon's hint (tooltip) after an answer or a
// failure, and the text the next balloon shows for the other moments (a start, a stop, an
// Apply); `hint` says which, and the caller decides it.
struct TrayLook {
    TrayPicture picture = TrayPicture::Plain;
    QString text;
    bool hint = false;

    friend bool operator==(const TrayLook&, const TrayLook&) = default;
};

// The tray's rules, in one place: with "Show Status In Tray" ticked the picture and text
// follow the state; unticked the tray keeps the plain picture, "Norva utility". A service that
// is away is said whatever the box, as a PC nothing protects must not look protected.
TrayLook TrayFor(TrayState state, bool statusInTray, bool hint = false);

} // namespace norva

Q_DECLARE_METATYPE(norva::TrayLook)
