#pragma once

#include <functional>
#include <string>

namespace norva {

class MessageBoxes;

// The text of the general error box: the message, with a full stop appended when its last
// character comes after the full stop in the character table.
std::string ErrorBoxText(const std::string& message);

// Writes a message the user is shown to standard error as well, as "NorvaHB: " and the text,
// so it is not lost when nobody watches the desktop. The carriage return that marks a line
// break in the system's messages becomes a new line there: a terminal would otherwise write
// the second line over the first, and the journal would store the entry as binary data.
void MirrorToStderr(const std::string& text);

// Runs one entry from the event loop (a timer tick, a button, a menu command, a start-up
// step, a delivered receive event). An error escaping it ends that entry and is shown in the
// general error box; the program carries on.
void RunGuarded(MessageBoxes& boxes, const std::function<void()>& entry);

} // namespace norva
