#include "service/JournalBoxes.h"

#include "service/JournalLog.h"

#include <utility>

namespace norva {

JournalBoxes::JournalBoxes(JournalLog& log, ErrorFold::Clock clock)
    : log_(log), fold_(std::move(clock), [this](const ErrorFold::Event& e) { write(e); }) {
    poll_.setInterval(1000);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
        fold_.poll();
        if (!fold_.lasting())
            poll_.stop();
    });
}

void JournalBoxes::write(const ErrorFold::Event& event) {
    if (event.kind == ErrorFold::Event::Kind::Ended) {
        log_.info(event.line());
        return;
    }
    log_.error(event.line());
    if (event.kind != ErrorFold::Event::Kind::Started)
        return;
    if (raised_)
        raised_(event.text);
    else
        unraised_.push_back(event.text);
}

void JournalBoxes::showError(const std::string& text) {
    fold_.report(text);
    if (fold_.lasting() && !poll_.isActive())
        poll_.start();
}

bool JournalBoxes::askYesNo(const std::string& text) {
    log_.warning(text + " (answered no: nobody is there to answer)");
    return false;
}

void JournalBoxes::setRaised(std::function<void(const std::string& text)> raised) {
    raised_ = std::move(raised);
    if (!raised_)
        return;
    for (const std::string& text : std::exchange(unraised_, {}))
        raised_(text);
}

} // namespace norva
