#include "commands/PendingAction.h"

namespace norva {

PendingAction::PendingAction(QObject* parent) : QObject(parent) {
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, &PendingAction::Timer1Timer);
}

void PendingAction::ShowPending(std::uint8_t newMode, bool modal) {
    mode = newMode;
    // Only coming on screen starts the count: a second command while the warning is up must
    // not lengthen it.
    if (!onScreen_) {
        onScreen_ = true;
        countdown = 10;
        Timer1.start();
    }
    emit shown(mode, modal);
}

void PendingAction::Closed() {
    onScreen_ = false;
}

void PendingAction::Timer1Timer() {
    --countdown;
    emit ticked(countdown);
    if (countdown != 0)
        return;
    Timer1.stop();
    onScreen_ = false;
    emit ended();
    if (mode == 0 && doRestart)
        doRestart();
    else if (mode == 1 && doShutdown)
        doShutdown();
}

} // namespace norva
