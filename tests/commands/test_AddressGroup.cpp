#include "commands/AddressGroup.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace norva {
namespace {

struct Case {
    const char* peer;
    const char* group;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << '"' << c.peer << '"';
}

class AddressGroupTable : public ::testing::TestWithParam<Case> {};

TEST_P(AddressGroupTable, GivesTheGroupKey) {
    EXPECT_EQ(AddressGroup(GetParam().peer), GetParam().group);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, AddressGroupTable,
    ::testing::Values(
        // All of loopback is one local user's: one group, whichever form.
        Case{"127.0.0.1", "127.0.0.0/8"}, Case{"127.0.0.2", "127.0.0.0/8"},
        Case{"127.255.254.3", "127.0.0.0/8"}, Case{"::1", "127.0.0.0/8"},
        Case{"0:0:0:0:0:0:0:1", "127.0.0.0/8"}, Case{"::ffff:127.9.8.7", "127.0.0.0/8"},
        // Other IPv4 addresses, mapped or not, are each their own.
        Case{"198.18.0.2", "198.18.0.2/32"}, Case{"198.18.0.3", "198.18.0.3/32"},
        Case{"::ffff:198.18.0.2", "198.18.0.2/32"}, Case{"::FFFF:c612:2", "198.18.0.2/32"},
        Case{"126.255.255.255", "126.255.255.255/32"}, Case{"128.0.0.0", "128.0.0.0/32"},
        Case{"0.0.0.0", "0.0.0.0/32"},
        // An IPv6 address is its /64, in the one canonical form.
        Case{"2001:db8:1:2::5", "2001:db8:1:2::/64"},
        Case{"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        Case{"2001:0DB8:0001:0002:0:0:0:1", "2001:db8:1:2::/64"},
        Case{"2001:db8:1:3::5", "2001:db8:1:3::/64"}, Case{"fd00::1:2:3:4", "fd00::/64"},
        Case{"::2", "::/64"}, Case{"::ffff:1:2:3", "::/64"},
        // Link-local prefixes of two links are two groups.
        Case{"fe80::1%eth0", "fe80::/64%eth0"}, Case{"fe80::2%eth0", "fe80::/64%eth0"},
        Case{"fe80::1%veth1", "fe80::/64%veth1"},
        // What is no address is its own group, unchanged.
        Case{"", ""}, Case{"localhost", "localhost"}, Case{"127.0.0.256", "127.0.0.256"},
        Case{"127.1", "127.1"}, Case{"1.2.3.4%eth0", "1.2.3.4%eth0"}, Case{"::1::2", "::1::2"},
        Case{"198.18.0.2/32", "198.18.0.2/32"}));

TEST(AddressGroup, ATextWithANulInsideIsNotReadShort) {
    const std::string peer("127.0.0.1\0x", 11);
    EXPECT_EQ(AddressGroup(peer), peer);
}

} // namespace
} // namespace norva
