#pragma once

#include <functional>
#include <string>

namespace norva {

class MessageBoxes;

// The text of the general error box: the message, with a full stop appended when its last
// character comes after the full stop in the character table.
std::string ErrorBoxText(const std::string& message);

// Runs one entry from the event loop (a timer tick, a button, a menu command, a start-up
// step, a delivered receive event). An error escaping it ends that entry and is shown in the
// general error box; the program carries on.
void RunGuarded(MessageBoxes& boxes, const std::function<void()>& entry);

} // namespace norva
