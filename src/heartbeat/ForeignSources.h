#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace norva {

// Counts the datagrams that reached the heartbeat port from addresses other than the device's
// and folds them into reports, so that a flood of spoofed datagrams costs the log at most one
// line per source a minute:
// - the first datagram of a source is reported at once (count 1);
// - later ones are counted, and once a minute has passed since the source's last report, the
//   count of that minute is reported (on the next datagram, or by sweep());
// - a source that sent nothing for a whole minute after its last report is forgotten, so its
//   next datagram is reported at once again.
// At most MaxSources sources are tracked one by one: a sender can put any source address on a
// datagram, so the table must not grow with them. Beyond that, datagrams are counted under
// OtherSources ("") with the same rule.
// Plain C++, no clock of its own: the caller passes the time, so tests drive it.
class ForeignSources {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds ReportInterval{60};
    static constexpr std::size_t MaxSources = 64;
    static inline const std::string OtherSources;

    struct Report {
        std::string source; // OtherSources for the overflow
        std::uint64_t count;
        bool operator==(const Report&) const = default;
    };

    // The line a report gives in the journal and the window's log, the same in both.
    static std::string Line(const std::string& source, std::uint64_t count);

    // One datagram from `source`; what is due now.
    std::vector<Report> record(const std::string& source, Clock::time_point now);
    // Reports the counts whose minute is over, forgets quiet sources.
    std::vector<Report> sweep(Clock::time_point now);
    // Reports every count not yet reported, whether its minute is over or not, and forgets
    // every source: at the end of the program, so that nothing counted is lost.
    std::vector<Report> flush();
    // True while a count waits for its report or a source is remembered: the caller's sweep
    // has work to do.
    bool owed() const { return !entries_.empty(); }

private:
    struct Entry {
        Clock::time_point lastReport;
        std::uint64_t pending = 0;
    };
    std::map<std::string, Entry> entries_;
};

} // namespace norva
