#include "commands/AddressFilter.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

namespace norva {

namespace {

constexpr std::string_view separators = ", \t\r\n";

// The first 12 bytes of an IPv4-mapped IPv6 address.
constexpr std::array<uint8_t, 12> mappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

struct Parsed {
    std::array<uint8_t, 16> address{};
    bool v4 = false;
};

// An address as inet_pton reads it (dotted quad, or any IPv6 text form); IPv4 is mapped.
std::optional<Parsed> parseAddress(std::string_view text) {
    // inet_pton wants a terminated string, and neither form is longer than this.
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string terminated(text);
    Parsed parsed;
    uint8_t v4[4];
    if (::inet_pton(AF_INET, terminated.c_str(), v4) == 1) {
        std::copy(mappedPrefix.begin(), mappedPrefix.end(), parsed.address.begin());
        std::copy(v4, v4 + 4, parsed.address.begin() + 12);
        parsed.v4 = true;
        return parsed;
    }
    if (::inet_pton(AF_INET6, terminated.c_str(), parsed.address.data()) == 1)
        return parsed;
    return std::nullopt;
}

// A prefix length: decimal digits only, at most `limit`.
std::optional<int> parsePrefix(std::string_view text, int limit) {
    if (text.empty() || text.size() > 3)
        return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > limit)
        return std::nullopt;
    return value;
}

// Whether the first `bits` bits of a and b are equal.
bool samePrefix(const std::array<uint8_t, 16>& a, const std::array<uint8_t, 16>& b, int bits) {
    const auto whole = static_cast<std::size_t>(bits / 8);
    if (!std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(whole), b.begin()))
        return false;
    const int rest = bits % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

} // namespace

AddressFilter::AddressFilter(std::string_view list) {
    std::size_t at = 0;
    while ((at = list.find_first_not_of(separators, at)) != std::string_view::npos) {
        const std::size_t end = std::min(list.find_first_of(separators, at), list.size());
        addEntry(list.substr(at, end - at));
        at = end;
    }
}

void AddressFilter::addEntry(std::string_view entry) {
    restricts_ = true;
    const auto fail = [&](std::string_view why) {
        errors_.push_back("AcceptFrom: \"" + std::string(entry) +
                          "\" is ignored: " + std::string(why));
    };

    const std::size_t slash = entry.find('/');
    const std::optional<Parsed> parsed = parseAddress(entry.substr(0, slash));
    if (!parsed) {
        fail("it is not an IPv4 or IPv6 address");
        return;
    }
    Range range;
    range.address = parsed->address;
    if (slash != std::string_view::npos) {
        const std::string_view length = entry.substr(slash + 1);
        const std::optional<int> prefix = parsePrefix(length, parsed->v4 ? 32 : 128);
        if (!prefix) {
            fail(parsed->v4 ? "an IPv4 range has a prefix length of 0 to 32"
                            : "an IPv6 range has a prefix length of 0 to 128");
            return;
        }
        range.prefix = parsed->v4 ? 96 + *prefix : *prefix;
    }
    ranges_.push_back(range);
}

bool AddressFilter::allows(std::string_view peer) const {
    if (!restricts_)
        return true;
    const std::optional<Parsed> parsed = parseAddress(peer);
    if (!parsed)
        return false;
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const Range& range) {
        return samePrefix(range.address, parsed->address, range.prefix);
    });
}

} // namespace norva
