#include "heartbeat/ForeignSources.h"

namespace norva {

std::string ForeignSources::Line(const std::string& source, std::uint64_t count) {
    return "Ignored " + std::to_string(count) + (count == 1 ? " datagram" : " datagrams") +
           " on the heartbeat port from " +
           (source.empty() ? std::string("other addresses") : source) +
           ": not the device's address";
}

std::vector<ForeignSources::Report> ForeignSources::record(const std::string& source,
                                                           Clock::time_point now) {
    std::vector<Report> due = sweep(now);
    // The overflow entry counts as one source, so the table holds MaxSources + 1 at most.
    const bool known = entries_.count(source) != 0;
    const std::string& key =
        known || entries_.size() < MaxSources + (entries_.count(OtherSources) ? 1 : 0)
            ? source
            : OtherSources;
    auto [it, fresh] = entries_.try_emplace(key);
    if (fresh) {
        it->second.lastReport = now;
        due.push_back({key, 1});
    } else {
        ++it->second.pending;
    }
    return due;
}

std::vector<ForeignSources::Report> ForeignSources::sweep(Clock::time_point now) {
    std::vector<Report> due;
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& e = it->second;
        if (now - e.lastReport < ReportInterval) {
            ++it;
        } else if (e.pending > 0) {
            due.push_back({it->first, e.pending});
            e.pending = 0;
            e.lastReport = now;
            ++it;
        } else {
            it = entries_.erase(it);
        }
    }
    return due;
}

std::vector<ForeignSources::Report> ForeignSources::flush() {
    std::vector<Report> due;
    for (const auto& [source, entry] : entries_)
        if (entry.pending > 0)
            due.push_back({source, entry.pending});
    entries_.clear();
    return due;
}

} // namespace norva
