#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace norva {

// Slows password guessing on the command port down to a handful of guesses per address group.
//
// Peers are counted by group (AddressGroup): all of loopback is one group, another IPv4
// address its own, an IPv6 address its /64, since that is what one guesser owns. After
// `failures` rejected packets (wrong user name or password) from one group within `window`,
// that group is locked out for `lockout`: its packets are dropped before anything is
// compared, so a guesser learns nothing and costs the program next to nothing. An accepted
// command clears the group's count; other groups are never affected.
//
// It also counts, per group, the rejected packets, the packets refused because the address
// may not send commands at all, and the hellos its owner folds, for a log line per group at
// most once per `reportInterval`, so an attack cannot flood the log.
//
// Time is passed in with every call (steady clock; never going back), so tests drive it.
//
// The table is bounded at `tableSize` groups, so a flood from many groups cannot grow memory.
// A group that is held (locked out, or with a rejection still within the window, or that has
// had a command accepted, i.e. the device) is never dropped to make room: dropping it would
// give a guesser with more groups than the table holds a fresh count for each. Only a free
// group is dropped, the least recently seen first. When every group in the full table is
// held, newcomers share one more group, `overflowGroup`, which is locked out by the same
// rule, so such a flood gets at most `failures` checks per lockout in all. Each packet costs
// O(1) amortised; sweep() goes through the whole table and belongs on a timer.
//
// Every member may be called from any thread; one mutex guards the table.
class SourceLockout {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The name of the group that newcomers share while the table is full of held groups.
    static constexpr const char* overflowGroup = "new groups while the table is full";

    struct Limits {
        // Rejections within `window` that start a lockout; 0 or less switches lockouts off
        // (rejections are still counted for the log).
        int failures = 5;
        std::chrono::seconds window{60};
        std::chrono::seconds lockout{300};
        std::size_t tableSize = 4096; // taken as 1 if 0
        std::chrono::seconds reportInterval{60};
    };

    enum class Event {
        None,
        LockoutStarted, // this rejection was the last one allowed: log one line
    };

    // A lockout that has ended, for its one log line.
    struct Ended {
        std::string group;
        // Packets dropped unchecked while it lasted.
        std::uint64_t ignored = 0;
    };

    // Packets from one group since its last report.
    struct Tally {
        std::string group;
        std::uint64_t rejected = 0; // checked, wrong user name or password
        std::uint64_t refused = 0;  // not checked: the address may not send commands
        std::uint64_t hellos = 0;   // hellos answered (counted only where hello() is called)
    };

    struct Sweep {
        // Lockouts that ended since the last sweep, each reported once.
        std::vector<Ended> ended;
        // Groups whose counts are due: packets not reported yet, and no report for the
        // group within the last reportInterval. Each group appears at most once per
        // reportInterval.
        std::vector<Tally> counts;
        // The counts of groups dropped from the full table before they were reported,
        // summed (its group is empty); not 0 at most once per reportInterval.
        Tally forgotten;
    };

    SourceLockout();
    explicit SourceLockout(Limits limits);

    // Call once for every command packet, before anything in it is compared. True: drop the
    // packet unchecked, send nothing and log nothing for it (it is counted for the end line).
    // A group the table does not hold is not added.
    bool locked(const std::string& address, TimePoint now);

    // A packet from `address` was checked and rejected. LockoutStarted when this rejection
    // starts a lockout. Called while the group is locked out it changes nothing. `group`, if
    // given, receives the group the rejection counted against (for the log line).
    Event rejected(const std::string& address, TimePoint now, std::string* group = nullptr);

    // A packet from `address` was dropped unchecked because the address may not send
    // commands. Counted for the log only; it never starts a lockout.
    void refused(const std::string& address, TimePoint now);

    // A hello from `address` was answered. Counted for the log only, so that a loop of hellos
    // is one line per group and interval.
    void hello(const std::string& address, TimePoint now);

    // A command from `address` was accepted: its group's rejections no longer count toward a
    // lockout, and the group keeps its place in the table from now on. Counts not yet
    // reported are still reported.
    void accepted(const std::string& address, TimePoint now);

    // What is due for the log: lockouts ended by `now` and the packet counts. Call it from
    // a timer (about once a second), so that the end of a lockout is logged even when the
    // guesser has gone quiet. With `everyCount` (at the end of the program) every count not
    // yet reported is taken, whether its interval is over or not.
    Sweep sweep(TimePoint now, bool everyCount = false);

    // Groups the table holds now (the overflow group not counted).
    std::size_t size();

    const Limits& limits() const { return limits_; }

private:
    struct Entry {
        std::string group;
        std::vector<TimePoint> recent; // rejection times within the window, oldest first
        std::optional<TimePoint> lockedUntil;
        std::uint64_t ignored = 0; // while locked out
        Tally unreported;          // its group is left empty
        std::optional<TimePoint> lastReport;
        bool trusted = false; // a command from it was accepted
    };
    using Table = std::list<Entry>; // most recently seen first

    // The entry of `group` moved to the front, or nullptr.
    Entry* find(const std::string& group);
    // The entry for a group the table does not hold: a new one in front when there is room
    // (dropping a free entry if need be), else the overflow group's.
    Entry& enter(const std::string& group, TimePoint now);
    // Whether a group the table does not hold would get an entry of its own at `now`.
    bool hasRoom(TimePoint now);
    // Until when `entry` may not be dropped: the end of its lockout or of its last
    // rejection's window; nullopt when it may be dropped now, max() when never.
    std::optional<TimePoint> heldUntil(const Entry& entry, TimePoint now) const;
    // Ends the entry's lockout if its time is up at `now`, queueing the end line.
    void expire(Entry& entry, TimePoint now);
    void queueEnd(Entry& entry);

    Limits limits_;
    std::mutex mutex_;
    Table table_;
    std::unordered_map<std::string, Table::iterator> index_;
    Entry overflow_;
    // While now < fullUntil_, every entry of the full table is held: newcomers go to the
    // overflow group without a search. Only a search that found nothing free sets it.
    std::optional<TimePoint> fullUntil_;
    std::vector<Ended> ended_; // ended since the last sweep
    Tally forgotten_;
    std::optional<TimePoint> lastForgottenReport_;
};

} // namespace norva
