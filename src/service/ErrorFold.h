#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace norva {

// Folds the repeats of an error, so that a fault that recurs at every heartbeat fills neither
// the journal nor a front end's screen. Errors are told apart by their text.
//
// - Start: the first time a text is reported (or again after it ended), one Started event.
// - While it lasts, its repeats are counted, and at most once a minute, counted from its start,
//   one Repeated event says how many came in that minute (none when none came).
// - End: a fault ends when it has gone quiet for twice the longest gap seen between two of its
//   occurrences, that is when at least one expected repeat, with room for a late one, did not
//   come. A fault seen once has no gap yet: it is kept for FirstRepeatWithin, and a repeat
//   within that time is counted as a repeat. One Ended event says how often it came in all;
//   a fault seen only once ends without an event, its start having said everything.
//
// The clock is injected. Summaries and ends fall due with time alone, so the owner calls poll()
// regularly (every second will do) while lasting() is true; a report also settles whatever
// fell due before it first, so a late poll changes no count.
class ErrorFold {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Duration = std::chrono::steady_clock::duration;

    static constexpr std::chrono::seconds SummaryEvery{60};
    static constexpr std::chrono::minutes FirstRepeatWithin{10};

    struct Event {
        enum class Kind { Started, Repeated, Ended };
        Kind kind;
        std::string text;    // the error as reported
        std::uint64_t count; // Started: 1; Repeated: repeats in the minute; Ended: times in all
        Duration lasted{};   // Ended: from the first occurrence to the last

        // The journal's line for the event: the text itself at the start, with what is counted
        // after it for the others.
        std::string line() const;
    };
    using Sink = std::function<void(const Event&)>;

    ErrorFold(Clock clock, Sink sink);

    void report(const std::string& text);
    // Emits the summaries and ends that have fallen due.
    void poll();
    bool lasting() const { return !faults_.empty(); }

private:
    struct Fault {
        std::chrono::steady_clock::time_point first, last, minuteStart;
        Duration longestGap{};
        std::uint64_t total = 1;
        std::uint64_t inMinute = 0;
    };

    // The fault has ended by `now`.
    bool ended(const Fault& f, std::chrono::steady_clock::time_point now) const;
    void settle(std::chrono::steady_clock::time_point now);

    Clock clock_;
    Sink sink_;
    std::map<std::string, Fault> faults_;
};

} // namespace norva
