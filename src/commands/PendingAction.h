#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>

namespace norva {

// The pending power action behind the warning: ten seconds counted from the moment the
// warning is put on screen, then a restart or a shutdown. It owns the count, the mode and the
// one-second clock, and announces what the warning window shows as plain values, so the count
// runs the same with any window following it, or none. Nothing here cancels the action: a
// window that is closed only stops showing it.
//
// Lives on the user-interface thread, like its clock.
class PendingAction : public QObject {
    Q_OBJECT
public:
    explicit PendingAction(QObject* parent = nullptr);

    // What the end of the count does, by mode: 0 restart, 1 shutdown, any other nothing.
    std::function<void()> doRestart;
    std::function<void()> doShutdown;

    // Puts the warning on screen with the given mode, without waiting or modally (the
    // window decides how to wait; the count is the same). Coming on screen sets the count to
    // 10 and starts the clock; while the warning is on screen only the mode changes and the
    // count goes on from where it is.
    void ShowPending(std::uint8_t newMode, bool modal = false);

    // The user closed the window: it is off screen, and the count goes on. The next showing
    // starts it again at 10.
    void Closed();

    // One tick of Timer1, every 1000 ms: one second less, and at 0 the window closes and the
    // action is carried out.
    void Timer1Timer();

    bool onScreen() const { return onScreen_; }

    std::int32_t countdown = 0;
    std::uint8_t mode = 0;
    QTimer Timer1;

signals:
    // The warning is to be on screen with this mode (again, if it is there already: raised).
    void shown(std::uint8_t mode, bool modal);
    // One second less; the window's caption becomes "Timer = <countdown>".
    void ticked(std::int32_t countdown);
    // The count reached 0: the window closes (ending a modal showing) before the action.
    void ended();

private:
    bool onScreen_ = false;
};

} // namespace norva
