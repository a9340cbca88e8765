#include "service/ErrorFold.h"

#include <algorithm>
#include <utility>

namespace norva {

namespace {

// "5 s", "2 min 5 s", "3 min", "4 h 10 min": how long a fault lasted, as a person says it.
std::string Spoken(ErrorFold::Duration d) {
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
    if (s < 60)
        return std::to_string(s) + " s";
    if (s < 3600) {
        std::string out = std::to_string(s / 60) + " min";
        if (s % 60 != 0)
            (out += ' ') += std::to_string(s % 60) + " s"; // appended: GCC 12 warns falsely
        return out;
    }
    std::string out = std::to_string(s / 3600) + " h";
    if (s % 3600 / 60 != 0)
        (out += ' ') += std::to_string(s % 3600 / 60) + " min";
    return out;
}

} // namespace

std::string ErrorFold::Event::line() const {
    switch (kind) {
    case Kind::Started:
        break;
    case Kind::Repeated:
        return text + " (repeated " +
               (count == 1 ? std::string("once") : std::to_string(count) + " times") +
               " in the last minute)";
    case Kind::Ended:
        return text + " (no longer occurs; it occurred " + std::to_string(count) + " times over " +
               Spoken(lasted) + ")";
    }
    return text;
}

ErrorFold::ErrorFold(Clock clock, Sink sink) : clock_(std::move(clock)), sink_(std::move(sink)) {}

bool ErrorFold::ended(const Fault& f, std::chrono::steady_clock::time_point now) const {
    const Duration quiet = f.total == 1 ? Duration(FirstRepeatWithin) : 2 * f.longestGap;
    return now - f.last >= quiet;
}

void ErrorFold::settle(std::chrono::steady_clock::time_point now) {
    for (auto it = faults_.begin(); it != faults_.end();) {
        Fault& f = it->second;
        if (ended(f, now)) {
            // Its uncounted repeats are in the total; a single occurrence was said at its start.
            if (f.total > 1)
                sink_(Event{Event::Kind::Ended, it->first, f.total, f.last - f.first});
            it = faults_.erase(it);
            continue;
        }
        if (now - f.minuteStart >= SummaryEvery) {
            if (f.inMinute > 0)
                sink_(Event{Event::Kind::Repeated, it->first, f.inMinute, {}});
            f.inMinute = 0;
            f.minuteStart = now;
        }
        ++it;
    }
}

void ErrorFold::report(const std::string& text) {
    const auto now = clock_();
    settle(now);
    const auto it = faults_.find(text);
    if (it == faults_.end()) {
        faults_.emplace(text, Fault{now, now, now});
        sink_(Event{Event::Kind::Started, text, 1, {}});
        return;
    }
    Fault& f = it->second;
    f.longestGap = std::max(f.longestGap, Duration(now - f.last));
    f.last = now;
    ++f.total;
    ++f.inMinute;
}

void ErrorFold::poll() {
    settle(clock_());
}

} // namespace norva
