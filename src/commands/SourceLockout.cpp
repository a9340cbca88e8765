#include "commands/SourceLockout.h"

#include <algorithm>

namespace norva {

namespace {

bool isEmpty(const SourceLockout::Tally& tally) {
    return tally.rejected == 0 && tally.refused == 0;
}

} // namespace

SourceLockout::SourceLockout() : SourceLockout(Limits{}) {}

SourceLockout::SourceLockout(Limits limits) : limits_(limits) {
    limits_.tableSize = std::max<std::size_t>(limits_.tableSize, 1);
}

SourceLockout::Entry* SourceLockout::find(const std::string& address) {
    const auto it = index_.find(address);
    if (it == index_.end())
        return nullptr;
    table_.splice(table_.begin(), table_, it->second);
    return &table_.front();
}

SourceLockout::Entry& SourceLockout::add(const std::string& address) {
    if (table_.size() >= limits_.tableSize) {
        Entry& oldest = table_.back();
        // Whatever the dropped address had pending still reaches the log: its lockout's end
        // line now, its counts in the sum of forgotten ones.
        if (oldest.lockedUntil)
            queueEnd(oldest, true);
        forgotten_.rejected += oldest.unreported.rejected;
        forgotten_.refused += oldest.unreported.refused;
        index_.erase(oldest.address);
        table_.pop_back();
    }
    table_.push_front(Entry{});
    table_.front().address = address;
    index_.emplace(address, table_.begin());
    return table_.front();
}

void SourceLockout::queueEnd(Entry& entry, bool dropped) {
    ended_.push_back(Ended{entry.address, entry.ignored, dropped});
    entry.lockedUntil.reset();
    entry.ignored = 0;
}

void SourceLockout::expire(Entry& entry, TimePoint now) {
    if (entry.lockedUntil && now >= *entry.lockedUntil)
        queueEnd(entry, false);
}

bool SourceLockout::locked(const std::string& address, TimePoint now) {
    std::lock_guard lock(mutex_);
    Entry* entry = find(address);
    if (!entry)
        return false;
    expire(*entry, now);
    if (!entry->lockedUntil)
        return false;
    ++entry->ignored;
    return true;
}

SourceLockout::Event SourceLockout::rejected(const std::string& address, TimePoint now) {
    std::lock_guard lock(mutex_);
    Entry* found = find(address);
    Entry& entry = found ? *found : add(address);
    expire(entry, now);
    if (entry.lockedUntil)
        return Event::None;
    ++entry.unreported.rejected;
    if (limits_.failures <= 0)
        return Event::None;

    // The window slides: a rejection counts for `window` after it happened, not a moment
    // longer, so a rejection exactly one window old no longer counts.
    auto& recent = entry.recent;
    recent.erase(recent.begin(), std::find_if(recent.begin(), recent.end(), [&](TimePoint t) {
                     return now - t < limits_.window;
                 }));
    recent.push_back(now);
    if (recent.size() < static_cast<std::size_t>(limits_.failures))
        return Event::None;
    recent.clear();
    entry.lockedUntil = now + limits_.lockout;
    return Event::LockoutStarted;
}

void SourceLockout::refused(const std::string& address) {
    std::lock_guard lock(mutex_);
    Entry* found = find(address);
    Entry& entry = found ? *found : add(address);
    ++entry.unreported.refused;
}

void SourceLockout::accepted(const std::string& address) {
    std::lock_guard lock(mutex_);
    if (Entry* entry = find(address))
        entry->recent.clear();
}

SourceLockout::Sweep SourceLockout::sweep(TimePoint now) {
    std::lock_guard lock(mutex_);
    const auto due = [&](const std::optional<TimePoint>& last) {
        return !last || now - *last >= limits_.reportInterval;
    };
    Sweep result;
    for (Entry& entry : table_) {
        expire(entry, now);
        if (!isEmpty(entry.unreported) && due(entry.lastReport)) {
            result.counts.push_back(entry.unreported);
            result.counts.back().address = entry.address;
            entry.unreported = Tally{};
            entry.lastReport = now;
        }
    }
    if (!isEmpty(forgotten_) && due(lastForgottenReport_)) {
        result.forgotten = forgotten_;
        forgotten_ = Tally{};
        lastForgottenReport_ = now;
    }
    result.ended = std::move(ended_);
    ended_.clear();
    return result;
}

std::size_t SourceLockout::size() {
    std::lock_guard lock(mutex_);
    return table_.size();
}

} // namespace norva
