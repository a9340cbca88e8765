#include "commands/AddressFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norva {
namespace {

struct ParseCase {
    const char* list;
    bool restricts;
    std::size_t good;
    std::vector<std::string> errors;
};

class AddressFilterParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AddressFilterParse, GoodEntriesCountAndEachBadOneGivesItsText) {
    const ParseCase& c = GetParam();
    const AddressFilter filter(c.list);
    EXPECT_EQ(filter.restricts(), c.restricts);
    EXPECT_EQ(filter.size(), c.good);
    EXPECT_EQ(filter.errors(), c.errors);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, AddressFilterParse,
    ::testing::Values(
        ParseCase{"", false, 0, {}}, ParseCase{" ,\t, ", false, 0, {}},
        ParseCase{"198.18.0.2", true, 1, {}},
        ParseCase{"198.18.0.2,10.0.0.0/8 fd00::/8 ,, ::1\t0.0.0.0/0", true, 5, {}},
        ParseCase{"::ffff:192.0.2.1 ::ffff:0:0/96 ::/0 1.2.3.4/32 fe80::1/128", true, 5, {}},
        ParseCase{"198.18.0.256, 10.0.0.0/33, fd00::/129, host.example, 10.0.0.0/, /8, "
                  "10.0.0.0/08x, 10.1/16, [::1], 1.2.3.4/-1, ::1%lo",
                  true,
                  0,
                  {
                      "AcceptFrom: \"198.18.0.256\" is ignored: it is not an IPv4 or IPv6 address",
                      "AcceptFrom: \"10.0.0.0/33\" is ignored: an IPv4 range has a prefix length "
                      "of 0 to 32",
                      "AcceptFrom: \"fd00::/129\" is ignored: an IPv6 range has a prefix length "
                      "of 0 to 128",
                      "AcceptFrom: \"host.example\" is ignored: it is not an IPv4 or IPv6 address",
                      "AcceptFrom: \"10.0.0.0/\" is ignored: an IPv4 range has a prefix length "
                      "of 0 to 32",
                      "AcceptFrom: \"/8\" is ignored: it is not an IPv4 or IPv6 address",
                      "AcceptFrom: \"10.0.0.0/08x\" is ignored: an IPv4 range has a prefix length "
                      "of 0 to 32",
                      "AcceptFrom: \"10.1/16\" is ignored: it is not an IPv4 or IPv6 address",
                      "AcceptFrom: \"[::1]\" is ignored: it is not an IPv4 or IPv6 address",
                      "AcceptFrom: \"1.2.3.4/-1\" is ignored: an IPv4 range has a prefix length "
                      "of 0 to 32",
                      "AcceptFrom: \"::1%lo\" is ignored: it is not an IPv4 or IPv6 address",
                  }},
        ParseCase{"10.0.0.1;10.0.0.2 198.18.0.2",
                  true,
                  1,
                  {"AcceptFrom: \"10.0.0.1;10.0.0.2\" is ignored: it is not an IPv4 or IPv6 "
                   "address"}}));

struct MatchCase {
    const char* list;
    const char* peer;
    bool allowed;
};

class AddressFilterMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(AddressFilterMatch, APeerIsAllowedWhenAGoodEntryCoversIt) {
    const MatchCase& c = GetParam();
    EXPECT_EQ(AddressFilter(c.list).allows(c.peer), c.allowed) << c.list << " / " << c.peer;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, AddressFilterMatch,
    ::testing::Values(
        // No entries: anyone, even a peer text that is no address.
        MatchCase{"", "198.18.0.2", true}, MatchCase{" , ", "fd00::1", true},
        MatchCase{"", "", true},
        // Single addresses.
        MatchCase{"198.18.0.2", "198.18.0.2", true}, MatchCase{"198.18.0.2", "198.18.0.6", false},
        MatchCase{"198.18.0.2", "", false}, MatchCase{"198.18.0.2", "garbage", false},
        MatchCase{"fd00::2", "fd00::2", true}, MatchCase{"fd00::2", "fd00:0::0:2", true},
        MatchCase{"fd00::2", "fd00::3", false},
        // Ranges, at their edges, including prefixes that end inside a byte.
        MatchCase{"192.168.1.0/24", "192.168.1.255", true},
        MatchCase{"192.168.1.0/24", "192.168.2.0", false},
        MatchCase{"192.168.1.7/24", "192.168.1.200", true}, // host bits set: its range
        MatchCase{"198.18.0.0/30", "198.18.0.3", true},
        MatchCase{"198.18.0.0/30", "198.18.0.4", false},
        MatchCase{"10.0.0.0/9", "10.127.255.255", true},
        MatchCase{"10.0.0.0/9", "10.128.0.0", false}, MatchCase{"0.0.0.0/0", "203.0.113.9", true},
        MatchCase{"0.0.0.0/0", "2001:db8::1", false}, MatchCase{"fe80::/10", "febf::1", true},
        MatchCase{"fe80::/10", "fec0::1", false},
        // IPv4-mapped peers and entries meet IPv4 ones.
        MatchCase{"198.18.0.2", "::ffff:198.18.0.2", true},
        MatchCase{"198.18.0.0/30", "::ffff:198.18.0.1", true},
        MatchCase{"198.18.0.0/30", "::ffff:198.18.0.9", false},
        MatchCase{"::ffff:198.18.0.2", "198.18.0.2", true},
        MatchCase{"::ffff:0:0/96", "8.8.8.8", true}, MatchCase{"::/0", "8.8.8.8", true},
        // An IPv4 entry never covers a plain IPv6 peer with the same low bits.
        MatchCase{"198.18.0.2", "::198.18.0.2", false},
        // Bad entries are ignored, never taken as "anyone".
        MatchCase{"not-an-address", "198.18.0.2", false},
        MatchCase{"10.0.0.0/33", "10.0.0.1", false},
        MatchCase{"10.0.0.0/33 198.18.0.2", "198.18.0.2", true},
        MatchCase{"10.0.0.0/33 198.18.0.2", "10.0.0.1", false},
        // Several entries: any one may cover the peer.
        MatchCase{"10.0.0.1, fd00::/8 198.18.0.0/30", "fd12::1", true},
        MatchCase{"10.0.0.1, fd00::/8 198.18.0.0/30", "198.18.0.2", true},
        MatchCase{"10.0.0.1, fd00::/8 198.18.0.0/30", "192.0.2.1", false}));

TEST(AddressFilter, ADefaultFilterRestrictsNothing) {
    const AddressFilter filter;
    EXPECT_FALSE(filter.restricts());
    EXPECT_TRUE(filter.allows("192.0.2.1"));
    EXPECT_TRUE(filter.errors().empty());
}

} // namespace
} // namespace norva
