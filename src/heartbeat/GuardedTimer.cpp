#include "heartbeat/GuardedTimer.h"

#include "platform/ErrorBox.h"

#include <QTimer>

namespace norva {

void ConnectTimer(QTimer& timer, MessageBoxes& boxes, std::function<void()> handler) {
    QObject::connect(&timer, &QTimer::timeout, &timer, [&timer, &boxes, handler] {
        // A timer stopped in the meantime (an answer that was already waiting stopped the
        // watchdog, say) has nothing left to do.
        QMetaObject::invokeMethod(
            &timer,
            [&timer, &boxes, handler] {
                if (timer.isActive())
                    RunGuarded(boxes, handler);
            },
            Qt::QueuedConnection);
    });
}

} // namespace norva
