#pragma once

#include "platform/MessageBoxes.h"

namespace norva {

class JournalLog;

// The service's message boxes: nobody is there to read a box, so its text goes to the journal
// as an error, and a question is answered "no" (the only questions the core asks are the
// user's own confirmations, which a service never needs). A beep is nothing.
class JournalBoxes : public MessageBoxes {
public:
    explicit JournalBoxes(JournalLog& log) : log_(log) {}

    void showError(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    void beep() override {}

private:
    JournalLog& log_;
};

} // namespace norva
