// Pacing a costly write: at most one run per interval, a request inside the interval run when
// it ends, the last request never lost, on a clock the test moves and a timer the test fires.
#include "service/Pacer.h"

#include <gtest/gtest.h>

#include <chrono>

using norva::Pacer;
using namespace std::chrono_literals;

namespace {

class PacerTest : public testing::Test {
protected:
    std::chrono::steady_clock::time_point now{1h};
    int runs = 0;
};

// Leading pace (no gathering, the metrics file): a request after a quiet interval runs at
// once; a burst inside the interval is one more run when the interval ends.
TEST_F(PacerTest, RunsAtOnceWhenQuietAndFoldsABurstIntoOneRunAtTheEndOfTheInterval) {
    Pacer pace(
        1000ms, 0ms, [&] { ++runs; }, [&] { return now; });
    pace.request();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(pace.pending());

    for (int i = 0; i < 500; ++i) {
        now += 1ms;
        pace.request();
    }
    EXPECT_EQ(runs, 1) << "inside the interval nothing more runs";
    EXPECT_TRUE(pace.pending());
    ASSERT_TRUE(pace.timer.isActive());
    EXPECT_EQ(pace.timer.interval(), 999) << "armed for the end of the interval";

    // A timer that fires early is put off to the end of the interval, without a run.
    now += 100ms;
    pace.timerTimer();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(pace.timer.isActive());

    now += 400ms; // one interval since the first run
    pace.timerTimer();
    EXPECT_EQ(runs, 2) << "the last request ran when its interval ended";
    EXPECT_FALSE(pace.pending());
    EXPECT_FALSE(pace.timer.isActive()) << "nothing owed, no wake-ups";

    // A second quiet interval later: at once again.
    now += 1s;
    pace.request();
    EXPECT_EQ(runs, 3);
}

// Gathering pace (the bus's PropertiesChanged): every request waits for the interval, so the
// changes of one moment go out together, and at most one run per interval.
TEST_F(PacerTest, AGatheringPaceWaitsOneIntervalFromTheFirstRequest) {
    Pacer pace(
        100ms, 100ms, [&] { ++runs; }, [&] { return now; });
    pace.request();
    now += 2ms;
    pace.request();
    EXPECT_EQ(runs, 0);
    now += 98ms;
    pace.timerTimer();
    EXPECT_EQ(runs, 1);
    pace.timerTimer();
    EXPECT_EQ(runs, 1) << "a timer with nothing pending runs nothing";

    // Ten seconds of requests every millisecond: at most ten runs a second.
    for (int i = 0; i < 10000; ++i) {
        now += 1ms;
        pace.request();
        pace.timerTimer(); // as if it fired every millisecond: early ones wait on
    }
    EXPECT_LE(runs, 1 + 100);
    EXPECT_GE(runs, 1 + 90) << "yet every interval's changes went out";
}

// At the end (the service stopping) what is pending runs now, once; with nothing pending
// nothing runs.
TEST_F(PacerTest, FlushRunsWhatIsPendingAndNothingElse) {
    Pacer pace(
        1000ms, 0ms, [&] { ++runs; }, [&] { return now; });
    pace.flush();
    EXPECT_EQ(runs, 0);
    pace.request();
    now += 10ms;
    pace.request();
    EXPECT_EQ(runs, 1);
    pace.flush();
    EXPECT_EQ(runs, 2);
    EXPECT_FALSE(pace.timer.isActive());
    pace.flush();
    EXPECT_EQ(runs, 2);
}

} // namespace
