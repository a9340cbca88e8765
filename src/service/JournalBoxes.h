#pragma once

#include "platform/MessageBoxes.h"
#include "service/ErrorFold.h"

#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace norva {

class JournalLog;

// The service's message boxes: nobody is there to read a box, so its text goes to the journal
// as an error, and a question is answered "no" (the only questions the core asks are the
// user's own confirmations, which a service never needs). A beep is nothing.
//
// Errors are folded (ErrorFold): a fault that recurs at every heartbeat gives one error line
// when it starts, at most one count a minute while it lasts, and one line (info) when it ends.
// Its start is also told to whoever set raised (the bus's Error signal), once per fault, with
// the text as the box would show it; starts that come before raised is set are kept and told
// when it is. The fold is polled every second while a fault lasts, from the event loop.
class JournalBoxes : public MessageBoxes {
public:
    explicit JournalBoxes(
        JournalLog& log, ErrorFold::Clock clock = [] { return std::chrono::steady_clock::now(); });

    void showError(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    void beep() override {}

    void setRaised(std::function<void(const std::string& text)> raised);

private:
    void write(const ErrorFold::Event& event);

    JournalLog& log_;
    ErrorFold fold_;
    QTimer poll_;
    std::function<void(const std::string&)> raised_;
    std::vector<std::string> unraised_; // starts before raised was set
};

} // namespace norva
