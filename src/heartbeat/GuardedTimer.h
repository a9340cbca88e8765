#pragma once

#include <functional>

class QTimer;

namespace norva {

class MessageBoxes;

// Runs `handler` (guarded: an error is shown in the general error box) each time `timer`
// fires. The handler is posted to the event loop rather than run inside the timer's own event:
// Qt does not fire a timer again while its event is being handled, so a modal box opened by
// the handler (an error box, the no-response alert) would otherwise stop that timer until the
// user closed the box.
void ConnectTimer(QTimer& timer, MessageBoxes& boxes, std::function<void()> handler);

} // namespace norva
