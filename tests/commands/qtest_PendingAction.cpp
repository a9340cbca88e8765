// The pending action behind the warning, with no window at all: its count, its mode and what
// it announces, driven by its tick handler instead of the clock.
#include "commands/PendingAction.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

using norva::PendingAction;

namespace {

// A pending action on its own, recording the actions it asks for and what it announces, in
// the order it announces them.
class Pending : public testing::Test {
protected:
    Pending() {
        p.doRestart = [this] { events.emplace_back("restart"); };
        p.doShutdown = [this] { events.emplace_back("shutdown"); };
        QObject::connect(&p, &PendingAction::shown, [this](std::uint8_t mode, bool modal) {
            events.push_back("shown " + std::to_string(mode) + (modal ? " modal" : ""));
        });
        QObject::connect(&p, &PendingAction::ticked, [this](std::int32_t left) {
            events.push_back("Timer = " + std::to_string(left));
        });
        QObject::connect(&p, &PendingAction::ended, [this] { events.emplace_back("ended"); });
    }

    // The clock stays out of it: every tick comes from the test.
    void show(std::uint8_t mode, bool modal = false) {
        p.ShowPending(mode, modal);
        p.Timer1.stop();
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i)
            p.Timer1Timer();
    }
    // The announcements and actions since the last call.
    std::vector<std::string> take() { return std::exchange(events, {}); }
    std::vector<std::string> actions() {
        std::vector<std::string> done;
        for (const std::string& e : events)
            if (e == "restart" || e == "shutdown")
                done.push_back(e);
        return done;
    }

    PendingAction p;
    std::vector<std::string> events;
};

TEST_F(Pending, IsHiddenAndIdleUntilShown) {
    EXPECT_FALSE(p.Timer1.isActive());
    EXPECT_FALSE(p.onScreen());
    EXPECT_EQ(p.mode, 0);
    EXPECT_EQ(p.Timer1.interval(), 1000);
    EXPECT_TRUE(events.empty());
}

struct ModeCase {
    const char* name;
    std::uint8_t mode;
    std::vector<std::string> actions;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

class CountdownByMode : public Pending, public testing::WithParamInterface<ModeCase> {};

TEST_P(CountdownByMode, CountsTenTicksThenEndsTheShowingAndActsOnce) {
    const ModeCase& c = GetParam();
    p.ShowPending(c.mode);
    EXPECT_TRUE(p.onScreen());
    EXPECT_TRUE(p.Timer1.isActive());
    EXPECT_EQ(p.countdown, 10);
    EXPECT_EQ(take(), std::vector<std::string>{"shown " + std::to_string(c.mode)});
    p.Timer1.stop();
    for (int left = 9; left >= 1; --left) {
        p.Timer1Timer();
        EXPECT_EQ(take(), std::vector<std::string>{"Timer = " + std::to_string(left)});
    }
    p.Timer1Timer();
    std::vector<std::string> last{"Timer = 0", "ended"};
    last.insert(last.end(), c.actions.begin(), c.actions.end());
    EXPECT_EQ(take(), last) << "the window closes before the action is requested";
    EXPECT_FALSE(p.onScreen());
    EXPECT_FALSE(p.Timer1.isActive());
}

INSTANTIATE_TEST_SUITE_P(Cases, CountdownByMode,
                         testing::Values(ModeCase{"Restart", 0, {"restart"}},
                                         ModeCase{"Shutdown", 1, {"shutdown"}},
                                         ModeCase{"OtherModeDoesNothing", 2, {}}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(Pending, ClosingDoesNotStopTheAction) {
    p.ShowPending(0);
    ticks(3);
    p.Closed();
    EXPECT_FALSE(p.onScreen());
    EXPECT_TRUE(p.Timer1.isActive()) << "the clock keeps counting after a close";
    p.Timer1.stop();
    ticks(6);
    EXPECT_TRUE(actions().empty());
    ticks(1);
    EXPECT_EQ(actions(), std::vector<std::string>{"restart"});
}

TEST_F(Pending, SecondShowingWhileOnScreenChangesOnlyTheMode) {
    show(0);
    ticks(4);
    take();
    p.ShowPending(1); // a shutdown command during a restart countdown
    EXPECT_EQ(take(), std::vector<std::string>{"shown 1"}) << "the window is raised";
    EXPECT_TRUE(p.onScreen());
    EXPECT_EQ(p.countdown, 6);
    ticks(5);
    EXPECT_TRUE(actions().empty());
    ticks(1);
    EXPECT_EQ(actions(), std::vector<std::string>{"shutdown"});
}

TEST_F(Pending, ShowingAfterTheUserClosedItStartsTheCountAgain) {
    show(0);
    ticks(4);
    p.Closed();
    ticks(2);
    p.ShowPending(0);
    EXPECT_TRUE(p.onScreen());
    EXPECT_EQ(p.countdown, 10);
    p.Timer1.stop();
    ticks(9);
    EXPECT_TRUE(actions().empty());
    ticks(1);
    EXPECT_EQ(actions(), std::vector<std::string>{"restart"});
    EXPECT_FALSE(p.onScreen());
}

TEST_F(Pending, ModeIsKeptBetweenShowings) {
    show(1);
    ticks(10);
    show(p.mode, true); // as Button9 does, without setting a mode
    ticks(10);
    EXPECT_EQ(actions(), (std::vector<std::string>{"shutdown", "shutdown"}));
}

} // namespace
