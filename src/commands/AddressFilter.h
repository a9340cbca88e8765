#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norva {

// Which peers may send commands: the owner's list from the settings file.
//
// The list holds IPv4 and IPv6 addresses and CIDR ranges ("198.18.0.2", "192.168.1.0/24",
// "fd00::/8"), separated by commas, white space or both. A list without entries (empty,
// absent, only separators) restricts nothing: anyone may send commands. A list with entries
// allows exactly the peers that one of its good entries covers.
//
// A bad entry is ignored and gives one error text, for the caller to log; it never widens the
// list: a list whose entries are all bad allows nobody.
//
// IPv4 and IPv6 share one address space here, IPv4 address a.b.c.d being the IPv4-mapped
// ::ffff:a.b.c.d: a mapped peer matches IPv4 entries, a mapped entry matches IPv4 peers, and
// "::/0" covers every peer. An IPv4 range with host bits set ("192.168.1.7/24") means the
// range it lies in.
class AddressFilter {
public:
    // Restricts nothing.
    AddressFilter() = default;
    explicit AddressFilter(std::string_view list);

    // False when the list had no entries, good or bad: every peer is allowed.
    bool restricts() const { return restricts_; }

    // Whether `peer`, an address as text (the form the listener gives, or any form the list
    // accepts, without a range), may send commands. A text that is no address is allowed
    // only when nothing is restricted.
    bool allows(std::string_view peer) const;

    // One text per bad entry, in the list's order, e.g.
    // AcceptFrom: "10.0.0.0/33" is ignored: an IPv4 range has a prefix length of 0 to 32
    const std::vector<std::string>& errors() const { return errors_; }

    // The number of good entries.
    std::size_t size() const { return ranges_.size(); }

private:
    // Every address as IPv6 (IPv4 mapped), with the number of leading bits that must match.
    struct Range {
        std::array<uint8_t, 16> address{};
        int prefix = 128;
    };

    void addEntry(std::string_view entry);

    bool restricts_ = false;
    std::vector<Range> ranges_;
    std::vector<std::string> errors_;
};

} // namespace norva
