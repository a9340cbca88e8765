#include "commands/SourceLockout.h"

#include "commands/AddressGroup.h"

#include <algorithm>

namespace norva {

namespace {

bool isEmpty(const SourceLockout::Tally& tally) {
    return tally.rejected == 0 && tally.refused == 0 && tally.hellos == 0;
}

} // namespace

SourceLockout::SourceLockout() : SourceLockout(Limits{}) {}

SourceLockout::SourceLockout(Limits limits) : limits_(limits) {
    limits_.tableSize = std::max<std::size_t>(limits_.tableSize, 1);
    overflow_.group = overflowGroup;
}

SourceLockout::Entry* SourceLockout::find(const std::string& group) {
    const auto it = index_.find(group);
    if (it == index_.end())
        return nullptr;
    table_.splice(table_.begin(), table_, it->second);
    return &table_.front();
}

std::optional<SourceLockout::TimePoint> SourceLockout::heldUntil(const Entry& entry,
                                                                 TimePoint now) const {
    if (entry.trusted)
        return TimePoint::max();
    std::optional<TimePoint> until;
    if (entry.lockedUntil && now < *entry.lockedUntil)
        until = *entry.lockedUntil;
    if (!entry.recent.empty() && now - entry.recent.back() < limits_.window)
        until = std::max(until.value_or(now), entry.recent.back() + limits_.window);
    return until;
}

bool SourceLockout::hasRoom(TimePoint now) {
    if (table_.size() < limits_.tableSize)
        return true;
    if (fullUntil_ && now < *fullUntil_)
        return false;
    // The least recently seen free entry. The held ones passed over on the way go to the
    // front, so that the next search does not pass them again: each entry is passed about
    // once per table's worth of newcomers.
    std::optional<TimePoint> soonest;
    for (auto it = table_.end(); it != table_.begin();) {
        --it;
        const std::optional<TimePoint> until = heldUntil(*it, now);
        if (!until) {
            table_.splice(table_.begin(), table_, std::next(it), table_.end());
            return true;
        }
        soonest = std::min(soonest.value_or(*until), *until);
    }
    fullUntil_ = soonest;
    return false;
}

SourceLockout::Entry& SourceLockout::enter(const std::string& group, TimePoint now) {
    if (!hasRoom(now))
        return overflow_;
    if (table_.size() >= limits_.tableSize) {
        // hasRoom() has left the free entry to drop at the back.
        Entry& oldest = table_.back();
        // Whatever the dropped group had pending still reaches the log: its lockout's end
        // line now (a free entry's lockout is over), its counts in the sum of forgotten ones.
        expire(oldest, now);
        forgotten_.rejected += oldest.unreported.rejected;
        forgotten_.refused += oldest.unreported.refused;
        forgotten_.hellos += oldest.unreported.hellos;
        index_.erase(oldest.group);
        table_.pop_back();
    }
    table_.push_front(Entry{});
    table_.front().group = group;
    index_.emplace(group, table_.begin());
    return table_.front();
}

void SourceLockout::queueEnd(Entry& entry) {
    ended_.push_back(Ended{entry.group, entry.ignored});
    entry.lockedUntil.reset();
    entry.ignored = 0;
}

void SourceLockout::expire(Entry& entry, TimePoint now) {
    if (entry.lockedUntil && now >= *entry.lockedUntil)
        queueEnd(entry);
}

bool SourceLockout::locked(const std::string& address, TimePoint now) {
    const std::string group = AddressGroup(address);
    std::lock_guard lock(mutex_);
    Entry* entry = find(group);
    if (!entry) {
        if (hasRoom(now))
            return false;
        entry = &overflow_;
    }
    expire(*entry, now);
    if (!entry->lockedUntil)
        return false;
    ++entry->ignored;
    return true;
}

SourceLockout::Event SourceLockout::rejected(const std::string& address, TimePoint now,
                                             std::string* group) {
    const std::string key = AddressGroup(address);
    std::lock_guard lock(mutex_);
    Entry* found = find(key);
    Entry& entry = found ? *found : enter(key, now);
    if (group)
        *group = entry.group;
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

void SourceLockout::refused(const std::string& address, TimePoint now) {
    const std::string group = AddressGroup(address);
    std::lock_guard lock(mutex_);
    Entry* found = find(group);
    Entry& entry = found ? *found : enter(group, now);
    ++entry.unreported.refused;
}

void SourceLockout::hello(const std::string& address, TimePoint now) {
    const std::string group = AddressGroup(address);
    std::lock_guard lock(mutex_);
    Entry* found = find(group);
    Entry& entry = found ? *found : enter(group, now);
    ++entry.unreported.hellos;
}

void SourceLockout::accepted(const std::string& address, TimePoint now) {
    const std::string group = AddressGroup(address);
    std::lock_guard lock(mutex_);
    Entry* entry = find(group);
    // The device's group is added if there is room: it must not later land in a locked-out
    // overflow group when a flood fills the table.
    if (!entry && hasRoom(now))
        entry = &enter(group, now);
    if (!entry)
        return;
    entry->recent.clear();
    entry->trusted = true;
}

SourceLockout::Sweep SourceLockout::sweep(TimePoint now, bool everyCount) {
    std::lock_guard lock(mutex_);
    const auto due = [&](const std::optional<TimePoint>& last) {
        return everyCount || !last || now - *last >= limits_.reportInterval;
    };
    Sweep result;
    const auto take = [&](Entry& entry) {
        expire(entry, now);
        if (!isEmpty(entry.unreported) && due(entry.lastReport)) {
            result.counts.push_back(entry.unreported);
            result.counts.back().group = entry.group;
            entry.unreported = Tally{};
            entry.lastReport = now;
        }
    };
    for (Entry& entry : table_)
        take(entry);
    take(overflow_);
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
