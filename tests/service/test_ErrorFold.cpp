// Folding repeated errors: one event at the start, at most one count a minute while the fault
// lasts, one event at its end, all on a clock the test moves.
#include "service/ErrorFold.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using norva::ErrorFold;
using namespace std::chrono_literals;

namespace {

const std::string kBind = "Could not bind socket. Address and port are already in use.";

class ErrorFoldTest : public testing::Test {
protected:
    // Moves the clock on to `t` after the start, polling every second on the way, as the
    // service does.
    void runTo(std::chrono::seconds t) {
        while (now < start + t) {
            now += 1s;
            fold.poll();
        }
    }
    // The error again at `t`, after the polls before it.
    void reportAt(std::chrono::seconds t, const std::string& text = kBind) {
        runTo(t);
        fold.report(text);
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (const auto& e : events)
            out.push_back(e.line());
        events.clear();
        return out;
    }

    std::chrono::steady_clock::time_point start{std::chrono::hours(1)};
    std::chrono::steady_clock::time_point now = start;
    std::vector<ErrorFold::Event> events;
    ErrorFold fold{[this] { return now; },
                   [this](const ErrorFold::Event& e) { events.push_back(e); }};
};

// A fault at every heartbeat (5 s) for 2 min 5 s, then gone: one line at its start, one count
// a minute, one line when the next two heartbeats have passed without it.
TEST_F(ErrorFoldTest, StartsOnceCountsEachMinuteAndEndsWhenTheRepeatsStop) {
    fold.report(kBind);
    EXPECT_EQ(lines(), std::vector<std::string>{kBind});
    EXPECT_TRUE(fold.lasting());

    for (int t = 5; t <= 55; t += 5)
        reportAt(std::chrono::seconds(t));
    EXPECT_TRUE(events.empty()) << "no line for a repeat before the minute is up";
    reportAt(60s); // the minute is up just before it
    EXPECT_EQ(lines(), std::vector<std::string>{kBind + " (repeated 11 times in the last minute)"});

    for (int t = 65; t <= 125; t += 5)
        reportAt(std::chrono::seconds(t));
    EXPECT_EQ(lines(), std::vector<std::string>{kBind + " (repeated 12 times in the last minute)"});

    runTo(134s);
    EXPECT_TRUE(events.empty()) << "one heartbeat missed may be late";
    runTo(135s);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, ErrorFold::Event::Kind::Ended);
    EXPECT_EQ(events[0].count, 26u);
    EXPECT_EQ(lines(), std::vector<std::string>{
                           kBind + " (no longer occurs; it occurred 26 times over 2 min 5 s)"});
    EXPECT_FALSE(fold.lasting());

    reportAt(200s); // comes back: a new start
    EXPECT_EQ(lines(), std::vector<std::string>{kBind});
}

TEST_F(ErrorFoldTest, AMinuteWithoutRepeatsSaysNothingAndSlowRepeatsStayFolded) {
    // A heartbeat every 90 s: the second occurrence is a repeat, and the fault lasts while
    // the repeats keep to their pace.
    fold.report(kBind);
    lines();
    reportAt(90s);
    reportAt(180s);
    runTo(359s);
    EXPECT_EQ(lines(), (std::vector<std::string>{kBind + " (repeated once in the last minute)",
                                                 kBind + " (repeated once in the last minute)"}));
    runTo(360s);
    EXPECT_EQ(lines(), std::vector<std::string>{
                           kBind + " (no longer occurs; it occurred 3 times over 3 min)"});
}

TEST_F(ErrorFoldTest, AnErrorSeenOnceIsForgottenWithoutALine) {
    fold.report("''x3'' is not a valid integer value.");
    lines();
    runTo(std::chrono::duration_cast<std::chrono::seconds>(ErrorFold::FirstRepeatWithin));
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(fold.lasting());
    fold.report("''x3'' is not a valid integer value.");
    EXPECT_EQ(lines(), std::vector<std::string>{"''x3'' is not a valid integer value."});
}

TEST_F(ErrorFoldTest, DifferentTextsAreFoldedApart) {
    const std::string other = "Socket Error # 13\r\nPermission denied";
    fold.report(kBind);
    reportAt(1s, other);
    reportAt(2s);
    reportAt(3s, other);
    EXPECT_EQ(lines(), (std::vector<std::string>{kBind, other}));
    reportAt(4s);
    runTo(7s); // the other, quiet since 3 s with a gap of 2 s, has ended
    EXPECT_EQ(lines(), std::vector<std::string>{
                           other + " (no longer occurs; it occurred 2 times over 2 s)"});
    EXPECT_TRUE(fold.lasting());
}

TEST_F(ErrorFoldTest, AReportAfterAMissedPollEndsTheOldFaultBeforeStartingAnew) {
    fold.report(kBind);
    now += 1s;
    fold.report(kBind);
    lines();
    now += 30s; // no poll meanwhile
    fold.report(kBind);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, ErrorFold::Event::Kind::Ended);
    EXPECT_EQ(events[0].count, 2u);
    EXPECT_EQ(events[1].kind, ErrorFold::Event::Kind::Started);
}

} // namespace
