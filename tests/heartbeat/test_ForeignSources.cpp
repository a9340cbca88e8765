// The fold of foreign datagrams: a line at once per new source, at most one count a minute
// after it, quiet sources forgotten, and a table that spoofed addresses cannot grow.
#include "heartbeat/ForeignSources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using norva::ForeignSources;
using Report = ForeignSources::Report;
using namespace std::chrono_literals;

namespace {

// A single report, as record and sweep return it.
std::vector<Report> one(const std::string& source, std::uint64_t count) {
    return {{source, count}};
}

const ForeignSources::Clock::time_point t0 = ForeignSources::Clock::time_point{} + 1h;

TEST(ForeignSources, FirstAtOnceThenOneCountAMinuteThenForgotten) {
    ForeignSources fold;
    EXPECT_EQ(fold.record("10.0.0.9", t0), one("10.0.0.9", 1));
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(fold.record("10.0.0.9", t0 + 30s).empty());
    EXPECT_TRUE(fold.sweep(t0 + 59s).empty());
    // The count of the minute comes with the next datagram after it, not one more line.
    EXPECT_EQ(fold.record("10.0.0.9", t0 + 61s), one("10.0.0.9", 10));
    EXPECT_EQ(fold.sweep(t0 + 121s), one("10.0.0.9", 1));
    EXPECT_TRUE(fold.owed());
    EXPECT_TRUE(fold.sweep(t0 + 181s).empty());
    EXPECT_FALSE(fold.owed()) << "a minute without datagrams forgets the source";
    EXPECT_EQ(fold.record("10.0.0.9", t0 + 182s), one("10.0.0.9", 1));
}

TEST(ForeignSources, FlushReportsEveryPendingCountOnceAndForgetsAll) {
    ForeignSources fold;
    fold.record("10.0.0.9", t0);
    fold.record("10.0.0.9", t0 + 1s);
    fold.record("10.0.0.9", t0 + 2s);
    fold.record("10.0.0.8", t0);
    EXPECT_EQ(fold.flush(), one("10.0.0.9", 2)) << "10.0.0.8 was told at once: nothing owed";
    EXPECT_FALSE(fold.owed());
    EXPECT_TRUE(fold.flush().empty());
}

TEST(ForeignSources, SourcesBeyondTheTableShareOneOverflowEntry) {
    ForeignSources fold;
    for (std::size_t i = 0; i < ForeignSources::MaxSources; ++i)
        ASSERT_EQ(fold.record("10.0." + std::to_string(i) + ".1", t0).size(), 1u);
    EXPECT_EQ(fold.record("10.1.0.1", t0), one(ForeignSources::OtherSources, 1));
    for (int i = 2; i < 200; ++i)
        EXPECT_TRUE(fold.record("10.1.0." + std::to_string(i), t0).empty());
    EXPECT_TRUE(fold.record("10.0.0.1", t0).empty()) << "a known source keeps its entry";
    const std::vector<Report> minute = fold.sweep(t0 + 60s);
    ASSERT_EQ(minute.size(), 2u);
    EXPECT_NE(std::find(minute.begin(), minute.end(), Report{ForeignSources::OtherSources, 198}),
              minute.end());
    EXPECT_EQ(ForeignSources::Line("", 198),
              "Ignored 198 datagrams on the heartbeat port from other addresses: not the "
              "device's address");
    EXPECT_EQ(ForeignSources::Line("10.0.0.9", 1),
              "Ignored 1 datagram on the heartbeat port from 10.0.0.9: not the device's address");
}

} // namespace
