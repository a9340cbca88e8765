#pragma once

#include <string>
#include <string_view>

namespace norva {

// The group a peer address belongs to, as the key the command port's guards count by.
//
// An address is not what one guesser owns: a local user can bind every connection to a fresh
// address of 127.0.0.0/8 without any privilege, and a host on an IPv6 link owns a whole /64.
// So the lockout and the connection share count per group:
//   - all of 127.0.0.0/8 and ::1 (and ::ffff:127.x.y.z) are one group, "127.0.0.0/8";
//   - any other IPv4 address, mapped ones included, is its own group, "a.b.c.d/32";
//   - an IPv6 address is its /64, "2001:db8:1:2::/64"; a scope ("fe80::1%eth0") is kept
//     after the prefix ("fe80::/64%eth0"), since the same link-local prefix on two links
//     is two different sets of hosts.
// A text that is no address (the listener never gives one) is its own group, the text
// unchanged: it cannot be merged with anything meaningful, and a typo must not share a
// group with a real peer's.
std::string AddressGroup(std::string_view peer);

} // namespace norva
