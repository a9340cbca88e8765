#include "commands/SourceLockout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace norva {
namespace {

using TimePoint = SourceLockout::TimePoint;

// An arbitrary start; the table must not care where the clock stands.
const TimePoint t0 = TimePoint{} + 1000h;

TimePoint at(double seconds) {
    return t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(seconds));
}

// ---------------------------------------------------------------------------------------
// Packet sequences against the default limits (5 rejections within 60 s, 300 s lockout).

enum class Op {
    Check,  // locked(): expect whether the packet is dropped unchecked
    Reject, // rejected(): expect whether a lockout starts
    Accept, // accepted()
};

struct Step {
    double at;
    const char* address;
    Op op;
    bool expect = false;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

constexpr const char* A = "198.18.0.2";
constexpr const char* B = "198.18.0.6";
constexpr const char* AGroup = "198.18.0.2/32";
constexpr const char* BGroup = "198.18.0.6/32";

// Four rejections from A at 0..3 s, one short of a lockout, then `rest`.
std::vector<Step> afterFourFromA(const std::vector<Step>& rest) {
    std::vector<Step> steps = {
        {0, A, Op::Reject}, {1, A, Op::Reject}, {2, A, Op::Reject}, {3, A, Op::Reject}};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

const Sequence sequences[] = {
    {"FourthRejectionStillLetsTheNextPacketBeChecked",
     afterFourFromA({{3.5, A, Op::Check, false}})},
    {"FifthRejectionStartsTheLockoutAndTheSixthPacketIsNotChecked",
     afterFourFromA(
         {{4, A, Op::Reject, true}, {4.1, A, Op::Check, true}, {5, A, Op::Check, true}})},
    {"ARejectionOneWindowOldNoLongerCounts",
     afterFourFromA({{60, A, Op::Reject, false}, // the one at 0 s has slid out
                     {60.5, A, Op::Check, false},
                     {60.5, A, Op::Reject, true}})}, // 1, 2, 3, 60, 60.5: five within 60 s
    {"FiveRejectionsJustWithinTheWindowLock",
     afterFourFromA({{59.9, A, Op::Reject, true}, {59.9, A, Op::Check, true}})},
    {"SlowGuessingNeverLocks",
     {{0, A, Op::Reject},
      {15, A, Op::Reject},
      {30, A, Op::Reject},
      {45, A, Op::Reject},
      {60, A, Op::Reject},
      {75, A, Op::Reject},
      {90, A, Op::Reject},
      {90.1, A, Op::Check, false}}},
    {"TheLockoutEndsAfterFiveMinutesAndTheCountStartsAfresh",
     afterFourFromA({{4, A, Op::Reject, true},
                     {303.9, A, Op::Check, true},
                     {304, A, Op::Check, false},
                     {304, A, Op::Reject, false}, // the rejections before the lockout are gone
                     {305, A, Op::Reject, false},
                     {306, A, Op::Reject, false},
                     {307, A, Op::Reject, false},
                     {308, A, Op::Reject, true}})},
    {"RejectionsWhileLockedOutNeitherCountNorExtendIt",
     afterFourFromA({{4, A, Op::Reject, true},
                     {100, A, Op::Reject, false},
                     {200, A, Op::Reject, false},
                     {304, A, Op::Check, false}})},
    {"AnAcceptedCommandResetsTheCount", afterFourFromA({{3.5, A, Op::Accept},
                                                        {4, A, Op::Reject, false},
                                                        {5, A, Op::Reject, false},
                                                        {6, A, Op::Reject, false},
                                                        {7, A, Op::Reject, false},
                                                        {7.1, A, Op::Check, false},
                                                        {8, A, Op::Reject, true}})},
    {"TwoAddressesAreIndependent",
     afterFourFromA({{3, B, Op::Reject, false},
                     {3, B, Op::Reject, false},
                     {4, A, Op::Reject, true},
                     {4, B, Op::Check, false},
                     {5, B, Op::Reject, false},
                     {5, B, Op::Accept}, // B's command goes through; A stays locked
                     {6, A, Op::Check, true},
                     {6, B, Op::Check, false}})},
    {"AnUnknownAddressIsNotLocked", {{0, A, Op::Check, false}, {0, A, Op::Accept}}},
};

void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

class LockoutSequence : public ::testing::TestWithParam<Sequence> {};

TEST_P(LockoutSequence, EachPacketGetsItsAnswer) {
    SourceLockout lockout;
    int index = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++) + " at " + std::to_string(step.at) +
                     " s from " + step.address);
        switch (step.op) {
        case Op::Check:
            EXPECT_EQ(lockout.locked(step.address, at(step.at)), step.expect);
            break;
        case Op::Reject:
            EXPECT_EQ(lockout.rejected(step.address, at(step.at)),
                      step.expect ? SourceLockout::Event::LockoutStarted
                                  : SourceLockout::Event::None);
            break;
        case Op::Accept:
            lockout.accepted(step.address, at(step.at));
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, LockoutSequence, ::testing::ValuesIn(sequences),
                         [](const auto& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------------------

void lockOut(SourceLockout& lockout, const std::string& address, double from) {
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(lockout.rejected(address, at(from)), SourceLockout::Event::None);
    ASSERT_EQ(lockout.rejected(address, at(from)), SourceLockout::Event::LockoutStarted);
}

TEST(SourceLockout, TheLimitsComeFromTheConstructor) {
    SourceLockout lockout({.failures = 2, .window = 10s, .lockout = 30s});
    EXPECT_EQ(lockout.rejected(A, at(0)), SourceLockout::Event::None);
    EXPECT_EQ(lockout.rejected(A, at(10)), SourceLockout::Event::None); // window: 0 s gone
    EXPECT_EQ(lockout.rejected(A, at(19)), SourceLockout::Event::LockoutStarted);
    EXPECT_TRUE(lockout.locked(A, at(48.9)));
    EXPECT_FALSE(lockout.locked(A, at(49)));
}

TEST(SourceLockout, NoFailureLimitMeansNoLockoutButRejectionsAreStillCounted) {
    SourceLockout lockout({.failures = 0});
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(lockout.rejected(A, at(0)), SourceLockout::Event::None);
    EXPECT_FALSE(lockout.locked(A, at(0)));
    const auto sweep = lockout.sweep(at(0));
    ASSERT_EQ(sweep.counts.size(), 1u);
    EXPECT_EQ(sweep.counts[0].rejected, 100u);
}

TEST(SourceLockout, TheEndOfALockoutIsReportedOnceByTheSweepWithoutAnotherPacket) {
    SourceLockout lockout;
    lockOut(lockout, A, 0);
    EXPECT_TRUE(lockout.locked(A, at(1)));
    EXPECT_TRUE(lockout.locked(A, at(2)));
    EXPECT_TRUE(lockout.sweep(at(299.9)).ended.empty());

    // The guesser has gone quiet; the timer's sweep alone brings the end line.
    const auto sweep = lockout.sweep(at(300));
    ASSERT_EQ(sweep.ended.size(), 1u);
    EXPECT_EQ(sweep.ended[0].group, AGroup);
    EXPECT_EQ(sweep.ended[0].ignored, 2u);
    EXPECT_TRUE(lockout.sweep(at(301)).ended.empty());
    EXPECT_FALSE(lockout.locked(A, at(301)));
}

TEST(SourceLockout, AnEndSeenByAPacketFirstIsStillReportedOnce) {
    SourceLockout lockout;
    lockOut(lockout, A, 0);
    EXPECT_TRUE(lockout.locked(A, at(10)));
    EXPECT_FALSE(lockout.locked(A, at(300))); // the packet sees the end before the timer does
    EXPECT_EQ(lockout.rejected(A, at(301)), SourceLockout::Event::None);

    const auto sweep = lockout.sweep(at(302));
    ASSERT_EQ(sweep.ended.size(), 1u);
    EXPECT_EQ(sweep.ended[0].group, AGroup);
    EXPECT_EQ(sweep.ended[0].ignored, 1u);
    EXPECT_TRUE(lockout.sweep(at(400)).ended.empty());
}

TEST(SourceLockout, RejectionCountsGoOutAtMostOncePerIntervalPerAddress) {
    SourceLockout lockout({.failures = 0});
    lockout.rejected(A, at(0));
    lockout.rejected(B, at(0));
    lockout.rejected(B, at(0));

    // The first count of an address goes out at the first sweep.
    auto sweep = lockout.sweep(at(1));
    ASSERT_EQ(sweep.counts.size(), 2u);
    for (const auto& tally : sweep.counts)
        EXPECT_EQ(tally.rejected, tally.group == BGroup ? 2u : 1u) << tally.group;

    // Then nothing for a minute, however many come.
    for (int i = 0; i < 1000; ++i)
        lockout.rejected(A, at(2 + i * 0.01));
    for (double t : {2.0, 30.0, 60.9})
        EXPECT_TRUE(lockout.sweep(at(t)).counts.empty()) << t;
    sweep = lockout.sweep(at(61));
    ASSERT_EQ(sweep.counts.size(), 1u);
    EXPECT_EQ(sweep.counts[0].group, AGroup);
    EXPECT_EQ(sweep.counts[0].rejected, 1000u);

    // Nothing new, nothing said; the next rejection waits out its minute.
    EXPECT_TRUE(lockout.sweep(at(200)).counts.empty());
    lockout.rejected(A, at(201));
    EXPECT_EQ(lockout.sweep(at(201)).counts.size(), 1u); // more than a minute since 61 s
}

TEST(SourceLockout, RefusedPacketsAreCountedBesideRejectionsAndNeverLock) {
    SourceLockout lockout;
    for (int i = 0; i < 20; ++i)
        lockout.refused(B, at(0));
    lockout.rejected(B, at(0));
    EXPECT_FALSE(lockout.locked(B, at(0)));

    auto sweep = lockout.sweep(at(0));
    ASSERT_EQ(sweep.counts.size(), 1u);
    EXPECT_EQ(sweep.counts[0].group, BGroup);
    EXPECT_EQ(sweep.counts[0].refused, 20u);
    EXPECT_EQ(sweep.counts[0].rejected, 1u);

    // The same once-a-minute limit, and the same sum for dropped addresses.
    lockout.refused(B, at(0));
    EXPECT_TRUE(lockout.sweep(at(59)).counts.empty());
    SourceLockout small({.tableSize = 1});
    small.refused(A, at(0));
    small.refused(B, at(0)); // drops A
    sweep = small.sweep(at(0));
    EXPECT_EQ(sweep.forgotten.refused, 1u);
    EXPECT_EQ(sweep.forgotten.group, "");
    ASSERT_EQ(sweep.counts.size(), 1u);
    EXPECT_EQ(sweep.counts[0].group, BGroup);
}

// Answered hellos are folded like the rest: counted per group beside the rejections, never a
// lockout, summed for dropped groups, and at the end (everyCount) taken before their minute.
TEST(SourceLockout, HellosAreCountedPerGroupNeverLockAndAreAllTakenAtTheEnd) {
    SourceLockout lockout;
    const char* loopback[] = {"127.0.0.1", "127.3.4.5", "::1"};
    for (int i = 0; i < 300; ++i)
        lockout.hello(loopback[i % 3], at(0));
    lockout.hello(B, at(0));
    EXPECT_FALSE(lockout.locked("127.0.0.1", at(0)));
    EXPECT_FALSE(lockout.locked(B, at(0)));

    auto sweep = lockout.sweep(at(0));
    ASSERT_EQ(sweep.counts.size(), 2u);
    for (const auto& tally : sweep.counts)
        EXPECT_EQ(tally.hellos, tally.group == BGroup ? 1u : 300u) << tally.group;

    for (int i = 0; i < 50; ++i)
        lockout.hello("127.0.0.9", at(1));
    EXPECT_TRUE(lockout.sweep(at(30)).counts.empty()) << "within the group's minute";
    sweep = lockout.sweep(at(30), true);
    ASSERT_EQ(sweep.counts.size(), 1u) << "at the end nothing waits for its minute";
    EXPECT_EQ(sweep.counts[0].hellos, 50u);
    EXPECT_TRUE(lockout.sweep(at(31), true).counts.empty()) << "and nothing is said twice";

    SourceLockout small({.tableSize = 1});
    small.hello(A, at(0));
    small.hello(B, at(0)); // drops A
    EXPECT_EQ(small.sweep(at(0)).forgotten.hellos, 1u);
}

TEST(SourceLockout, AnAcceptedCommandDoesNotSwallowTheRejectionsBeforeIt) {
    SourceLockout lockout;
    lockout.rejected(A, at(0));
    lockout.rejected(A, at(1));
    lockout.accepted(A, at(1));
    const auto sweep = lockout.sweep(at(2));
    ASSERT_EQ(sweep.counts.size(), 1u);
    EXPECT_EQ(sweep.counts[0].rejected, 2u);
}

TEST(SourceLockout, TheTableDropsTheLeastRecentlySeenFreeGroupFirst) {
    SourceLockout lockout({.tableSize = 3});
    lockout.rejected("10.0.0.1", at(0));
    lockout.rejected("10.0.0.2", at(0));
    lockout.rejected("10.0.0.3", at(0));
    EXPECT_FALSE(lockout.locked("10.0.0.1", at(1))); // seen again: .2 is now the oldest
    // A minute on, their rejections no longer count: any of them may go, the oldest first.
    lockout.rejected("10.0.0.4", at(61));
    EXPECT_EQ(lockout.size(), 3u);

    // .2 was forgotten, .1 was kept: five more rejections lock .1 but not .2, whose first
    // one went to .2's new entry (.3, the oldest free one then, made room).
    for (const char* address : {"10.0.0.1", "10.0.0.2"}) {
        for (int i = 0; i < 3; ++i)
            lockout.rejected(address, at(62));
        EXPECT_EQ(lockout.rejected(address, at(62)), SourceLockout::Event::None) << address;
    }
    lockout.rejected("10.0.0.1", at(62));
    EXPECT_TRUE(lockout.locked("10.0.0.1", at(62)));
    EXPECT_FALSE(lockout.locked("10.0.0.2", at(62)));
}

TEST(SourceLockout, AFloodOfRefusedPacketsStaysBoundedAndLosesNoLogLine) {
    // Refused packets never lock, so their groups may be dropped from the full table; their
    // counts are summed instead of being lost.
    SourceLockout lockout({.tableSize = 4096});
    for (int i = 0; i < 10000; ++i)
        lockout.refused("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) +
                            "." + std::to_string(i % 256),
                        at(0));
    EXPECT_EQ(lockout.size(), 4096u);
    const auto sweep = lockout.sweep(at(2));
    EXPECT_EQ(sweep.counts.size(), 4096u);
    EXPECT_EQ(sweep.forgotten.refused, 10000u - 4096u);
    std::uint64_t reported = sweep.forgotten.refused;
    for (const auto& tally : sweep.counts)
        reported += tally.refused;
    EXPECT_EQ(reported, 10000u);

    // The sum of forgotten counts is rate-limited like a group: two rounds of new addresses
    // push out one round with a count unreported each.
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 4096; ++i)
            lockout.refused("10.10" + std::to_string(round) + "." + std::to_string(i / 256) + "." +
                                std::to_string(i % 256),
                            at(0));
    EXPECT_EQ(lockout.sweep(at(4)).forgotten.refused, 0u);
    EXPECT_EQ(lockout.sweep(at(62)).forgotten.refused, 4096u);
}

// ---------------------------------------------------------------------------------------
// Groups: what one guesser owns counts as one.

// Rejects one packet from each address in turn; true when the last one started a lockout
// and none before it did.
bool fiveFrom(SourceLockout& lockout, const std::vector<std::string>& addresses, double time) {
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const auto event = lockout.rejected(addresses[i], at(time));
        if ((event == SourceLockout::Event::LockoutStarted) != (i + 1 == addresses.size()))
            return false;
    }
    return true;
}

TEST(SourceLockout, RotatingLoopbackAddressesAreOneGroup) {
    SourceLockout lockout;
    std::string group;
    for (int i = 1; i <= 4; ++i)
        lockout.rejected("127.0." + std::to_string(i) + "." + std::to_string(i * 7), at(0));
    EXPECT_EQ(lockout.rejected("::1", at(1), &group), SourceLockout::Event::LockoutStarted);
    EXPECT_EQ(group, "127.0.0.0/8");
    for (const char* other : {"127.0.0.1", "127.200.3.4", "::1", "::ffff:127.0.0.9"})
        EXPECT_TRUE(lockout.locked(other, at(2))) << other;
    EXPECT_FALSE(lockout.locked(A, at(2)));
    EXPECT_EQ(lockout.size(), 1u);

    // The end line names the group.
    const auto sweep = lockout.sweep(at(301));
    ASSERT_EQ(sweep.ended.size(), 1u);
    EXPECT_EQ(sweep.ended[0].group, "127.0.0.0/8");
    EXPECT_EQ(sweep.ended[0].ignored, 4u);
}

TEST(SourceLockout, RotatingAddressesOfOneSlash64AreOneGroup) {
    SourceLockout lockout;
    EXPECT_TRUE(fiveFrom(lockout,
                         {"2001:db8:0:1::1", "2001:db8:0:1::2", "2001:db8:0:1:ffff::3",
                          "2001:db8:0:1:1:2:3:4", "2001:db8:0:1::5"},
                         0));
    EXPECT_TRUE(lockout.locked("2001:db8:0:1:dead:beef:0:1", at(1)));
    EXPECT_FALSE(lockout.locked("2001:db8:0:2::1", at(1)));
    // Other IPv4 addresses stay apart, mapped or not.
    EXPECT_TRUE(fiveFrom(lockout, {A, A, "::ffff:198.18.0.2", A, A}, 2));
    EXPECT_FALSE(lockout.locked("198.18.0.3", at(2)));
}

std::string fresh(int i) {
    return "2001:db8:" + std::to_string(i / 10000) + ":" + std::to_string(i % 10000) + "::1";
}

TEST(SourceLockout, ALockedOutGroupSurvivesAFloodOfFreshGroups) {
    SourceLockout lockout({.tableSize = 64});
    lockOut(lockout, A, 0);
    for (int i = 0; i < 10000; ++i) {
        lockout.locked(fresh(i), at(1));
        lockout.rejected(fresh(i), at(1));
    }
    EXPECT_LE(lockout.size(), 64u);
    EXPECT_TRUE(lockout.locked(A, at(2)));
    EXPECT_TRUE(lockout.locked(A, at(299)));
    EXPECT_FALSE(lockout.locked(A, at(300)));
}

TEST(SourceLockout, NewcomersToAFullTableShareOneOverflowGroupThatLocksOut) {
    SourceLockout lockout({.tableSize = 2});
    lockOut(lockout, A, 0);
    // B is not locked out but has guessed within the window: dropping it would let a
    // guesser with many groups start every group's count afresh.
    for (int i = 0; i < 4; ++i)
        lockout.rejected(B, at(0));

    std::string group;
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(lockout.locked(fresh(i), at(1)));
        EXPECT_EQ(lockout.rejected(fresh(i), at(1), &group), SourceLockout::Event::None);
        EXPECT_EQ(group, SourceLockout::overflowGroup);
    }
    EXPECT_EQ(lockout.rejected(fresh(4), at(1)), SourceLockout::Event::LockoutStarted);
    // Any newcomer now is dropped unchecked; the groups in the table keep their own records.
    for (int i = 5; i < 1000; ++i)
        EXPECT_TRUE(lockout.locked(fresh(i), at(2)));
    EXPECT_TRUE(lockout.locked(A, at(2)));
    EXPECT_FALSE(lockout.locked(B, at(2)));
    EXPECT_EQ(lockout.rejected(B, at(2)), SourceLockout::Event::LockoutStarted);
    EXPECT_EQ(lockout.size(), 2u);

    // A's lockout ends at 300 s, B's at 302 s, the overflow's at 301 s: a newcomer then gets
    // A's place and its own count.
    EXPECT_TRUE(lockout.locked(fresh(1000), at(299.9)));
    auto sweep = lockout.sweep(at(300.5));
    ASSERT_EQ(sweep.ended.size(), 1u);
    EXPECT_EQ(sweep.ended[0].group, AGroup);
    EXPECT_FALSE(lockout.locked(fresh(1001), at(300.5)));
    sweep = lockout.sweep(at(301));
    ASSERT_EQ(sweep.ended.size(), 1u);
    EXPECT_EQ(sweep.ended[0].group, SourceLockout::overflowGroup);
    EXPECT_EQ(sweep.ended[0].ignored, 996u);
}

TEST(SourceLockout, AGroupWithAnAcceptedCommandKeepsItsPlace) {
    // The device's group, once it has sent a right command, is not pushed out by a flood, so
    // it never ends up in a locked-out overflow group.
    SourceLockout lockout({.tableSize = 2});
    lockout.accepted(B, at(0));
    for (int i = 0; i < 10; ++i)
        lockout.rejected(fresh(i), at(0));
    EXPECT_TRUE(lockout.locked(fresh(100), at(1))); // the overflow group is locked out
    EXPECT_FALSE(lockout.locked(B, at(1)));
    EXPECT_EQ(lockout.size(), 2u);
}

} // namespace
} // namespace norva
