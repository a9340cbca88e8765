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

// Slows password guessing on the command port down to a handful of guesses per address.
//
// After `failures` rejected packets (wrong user name or password) from one address within
// `window`, that address is locked out for `lockout`: its packets are dropped before anything
// is compared, so a guesser learns nothing and costs the program next to nothing. An accepted
// command clears the address's count; other addresses are never affected.
//
// It also counts, per address, the rejected packets and the packets refused because the
// address may not send commands at all, for a log line per address at most once per
// `reportInterval`, so an attack cannot flood the log.
//
// Time is passed in with every call (steady clock; never going back), so tests drive it.
// Addresses are keys as given: the caller passes the peer's address text, which is the same
// text for the same peer (the listener never shows an IPv4 peer as a mapped IPv6 address).
//
// The table is bounded: at most `tableSize` addresses, the least recently seen dropped first,
// so a flood from many addresses cannot grow memory. Each packet costs O(1); sweep() goes
// through the whole table and belongs on a timer.
//
// Every member may be called from any thread; one mutex guards the table.
class SourceLockout {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

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
        std::string address;
        // Packets dropped unchecked while it lasted.
        std::uint64_t ignored = 0;
        // True when the address was dropped from the full table before its time was up (a
        // flood from more addresses than the table holds); its lockout is gone with it.
        bool dropped = false;
    };

    // Packets from one address since its last report.
    struct Tally {
        std::string address;
        std::uint64_t rejected = 0; // checked, wrong user name or password
        std::uint64_t refused = 0;  // not checked: the address may not send commands
    };

    struct Sweep {
        // Lockouts that ended since the last sweep, each reported once.
        std::vector<Ended> ended;
        // Addresses whose counts are due: packets not reported yet, and no report for the
        // address within the last reportInterval. Each address appears at most once per
        // reportInterval.
        std::vector<Tally> counts;
        // The counts of addresses dropped from the full table before they were reported,
        // summed (its address is empty); not 0 at most once per reportInterval.
        Tally forgotten;
    };

    SourceLockout();
    explicit SourceLockout(Limits limits);

    // Call once for every command packet, before anything in it is compared. True: drop the
    // packet unchecked, send nothing and log nothing for it (it is counted for the end line).
    // An address the table does not hold is not added.
    bool locked(const std::string& address, TimePoint now);

    // A packet from `address` was checked and rejected. LockoutStarted when this rejection
    // starts a lockout. Called while the address is locked out it changes nothing.
    Event rejected(const std::string& address, TimePoint now);

    // A packet from `address` was dropped unchecked because the address may not send
    // commands. Counted for the log only; it never starts a lockout.
    void refused(const std::string& address);

    // A command from `address` was accepted: its rejections no longer count toward a lockout.
    // Counts not yet reported are still reported.
    void accepted(const std::string& address);

    // What is due for the log: lockouts ended by `now` and the packet counts. Call it from
    // a timer (about once a second), so that the end of a lockout is logged even when the
    // guesser has gone quiet.
    Sweep sweep(TimePoint now);

    // Addresses the table holds now.
    std::size_t size();

    const Limits& limits() const { return limits_; }

private:
    struct Entry {
        std::string address;
        std::vector<TimePoint> recent; // rejection times within the window, oldest first
        std::optional<TimePoint> lockedUntil;
        std::uint64_t ignored = 0; // while locked out
        Tally unreported;          // its address is left empty
        std::optional<TimePoint> lastReport;
    };
    using Table = std::list<Entry>; // most recently seen first

    // The entry of `address` moved to the front, or nullptr.
    Entry* find(const std::string& address);
    // Adds `address` in front, dropping the least recently seen entry when the table is full.
    Entry& add(const std::string& address);
    // Ends the entry's lockout if its time is up at `now`, queueing the end line.
    void expire(Entry& entry, TimePoint now);
    void queueEnd(Entry& entry, bool dropped);

    Limits limits_;
    std::mutex mutex_;
    Table table_;
    std::unordered_map<std::string, Table::iterator> index_;
    std::vector<Ended> ended_; // ended (or dropped) since the last sweep
    Tally forgotten_;
    std::optional<TimePoint> lastForgottenReport_;
};

} // namespace norva
