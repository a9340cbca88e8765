// The pending-action warning window following its pending action, driven by the action's
// tick handler instead of the clock.
#include "commands/PendingAction.h"
#include "support/FormFixture.h"
#include "ui/Twarning.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

using norva::PendingAction;
using norva::Twarning;
using norva::test::FormFixture;

namespace {

// A warning window drawing an action of its own, as the window draws the agent's, recording
// the actions it asks for.
class Warning : public testing::Test {
protected:
    Warning() {
        p.doRestart = [this] { actions.emplace_back("restart"); };
        p.doShutdown = [this] { actions.emplace_back("shutdown"); };
        QObject::connect(&p, &PendingAction::shown, &w, &Twarning::showPending);
        QObject::connect(&p, &PendingAction::ticked, &w, &Twarning::showCount);
        QObject::connect(&p, &PendingAction::ended, &w, &Twarning::endShowing);
        QObject::connect(&w, &Twarning::closed, &p, &PendingAction::Closed);
    }

    // The clock stays out of it: every tick comes from the test.
    void show(std::uint8_t mode) {
        p.ShowPending(mode);
        p.Timer1.stop();
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i)
            p.Timer1Timer();
    }

    PendingAction p;
    Twarning w;
    std::vector<std::string> actions;
};

TEST_F(Warning, IsAnAlwaysOnTopWindowWithoutButtons) {
    EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(w.windowTitle(), "Warning");
    EXPECT_EQ(w.size(), QSize(334, 75));
    EXPECT_TRUE(w.findChildren<QAbstractButton*>().isEmpty());
    QStringList texts;
    for (const QWidget* child : w.findChildren<QWidget*>()) {
        const auto* label = qobject_cast<const QLabel*>(child);
        ASSERT_NE(label, nullptr) << "only labels and the picture: "
                                  << child->metaObject()->className();
        if (!label->text().isEmpty())
            texts << label->text();
    }
    texts.sort();
    EXPECT_EQ(texts.join("|"), "By Norva-Pro|Graceful shutdown Initiated");
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(p.Timer1.isActive());
    EXPECT_EQ(p.mode, 0);
}

// The title bar offers the close button only: a window that must not be put away for
// good asks the window manager for neither minimise nor maximise. Showing it, on its own
// or modally from the main window, keeps it so.
void ExpectOnlyACloseButton(const Twarning& w) {
    const Qt::WindowFlags flags = w.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    for (Qt::WindowType wanted : {Qt::CustomizeWindowHint, Qt::WindowTitleHint,
                                  Qt::WindowCloseButtonHint, Qt::WindowStaysOnTopHint})
        EXPECT_TRUE(flags.testFlag(wanted)) << std::hex << wanted;
    for (Qt::WindowType unwanted :
         {Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint,
          Qt::WindowContextHelpButtonHint, Qt::WindowFullscreenButtonHint, Qt::FramelessWindowHint})
        EXPECT_FALSE(flags.testFlag(unwanted)) << std::hex << unwanted;
    EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "a fixed frame";
}

TEST_F(Warning, TitleBarHasOnlyACloseButton) {
    ExpectOnlyACloseButton(w);
    show(1);
    ExpectOnlyACloseButton(w);
}

TEST(WarningInTheProgram, TitleBarHasOnlyACloseButtonAlsoWhenShownModally) {
    FormFixture f;
    f.start();
    Twarning& w = *f.form->warning;
    ExpectOnlyACloseButton(w);
    QTimer::singleShot(0, &w, [&] {
        ExpectOnlyACloseButton(w);
        f.form->agent().pending.Timer1.stop();
        w.reject();
    });
    f.form->agent().pending.ShowPending(0, true);
    EXPECT_TRUE(f.power.calls.empty());
}

struct ModeCase {
    const char* name;
    std::uint8_t mode;
    std::vector<std::string> actions;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

class CountdownByMode : public Warning, public testing::WithParamInterface<ModeCase> {};

TEST_P(CountdownByMode, CountsTenTicksInTheCaptionThenActsOnce) {
    p.ShowPending(GetParam().mode);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(p.Timer1.isActive());
    EXPECT_EQ(p.Timer1.interval(), 1000);
    EXPECT_EQ(p.countdown, 10);
    EXPECT_EQ(w.windowTitle(), "Warning");
    p.Timer1.stop();
    for (int left = 9; left >= 0; --left) {
        EXPECT_TRUE(actions.empty()) << left;
        p.Timer1Timer();
        EXPECT_EQ(w.windowTitle(), QString("Timer = %1").arg(left));
    }
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(p.Timer1.isActive());
    EXPECT_EQ(actions, GetParam().actions);
}

INSTANTIATE_TEST_SUITE_P(Cases, CountdownByMode,
                         testing::Values(ModeCase{"Restart", 0, {"restart"}},
                                         ModeCase{"Shutdown", 1, {"shutdown"}},
                                         ModeCase{"OtherModeDoesNothing", 2, {}}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(Warning, ClosingDoesNotStopTheAction) {
    p.ShowPending(0);
    ticks(3);
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(p.onScreen());
    EXPECT_TRUE(p.Timer1.isActive()) << "the clock keeps counting after a close";
    p.Timer1.stop();
    ticks(6);
    EXPECT_TRUE(actions.empty());
    ticks(1);
    EXPECT_EQ(actions, std::vector<std::string>{"restart"});
}

TEST_F(Warning, SecondShowingWhileVisibleChangesOnlyTheMode) {
    show(0);
    ticks(4);
    p.ShowPending(1); // a shutdown command during a restart countdown
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(p.countdown, 6);
    EXPECT_EQ(w.windowTitle(), "Timer = 6");
    ticks(5);
    EXPECT_TRUE(actions.empty());
    ticks(1);
    EXPECT_EQ(actions, std::vector<std::string>{"shutdown"});
}

TEST_F(Warning, ShowingAfterTheUserClosedItStartsTheCountAgain) {
    show(0);
    ticks(4);
    w.close();
    ticks(2);
    p.ShowPending(0);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(p.countdown, 10);
    EXPECT_EQ(w.windowTitle(), "Timer = 4") << "the last count until the first tick";
    p.Timer1.stop();
    ticks(9);
    EXPECT_TRUE(actions.empty());
    ticks(1);
    EXPECT_EQ(actions, std::vector<std::string>{"restart"});
    EXPECT_FALSE(w.isVisible());
}

TEST_F(Warning, ModeIsKeptBetweenShowings) {
    show(1);
    ticks(10);
    p.ShowPending(p.mode); // as Button9 does, without setting a mode
    EXPECT_TRUE(w.isVisible());
    p.Timer1.stop();
    ticks(10);
    EXPECT_EQ(actions, (std::vector<std::string>{"shutdown", "shutdown"}));
}

// Button9 shows the warning modally; the modal showing ends with the count, and the
// restart is requested through the main window.
TEST(Button9, ShowsTheWarningModallyAndRestartsAtZero) {
    FormFixture f;
    f.start();
    Twarning& w = *f.form->warning;
    PendingAction& p = f.form->agent().pending;
    bool wasModal = false;
    std::vector<std::string> callsBeforeEnd;
    QTimer::singleShot(0, &w, [&] {
        wasModal = w.isVisible() && w.isModal();
        p.Timer1.stop();
        for (int i = 0; i < 9; ++i)
            p.Timer1Timer();
        callsBeforeEnd = f.power.calls;
        p.Timer1Timer();
    });
    // Should the count not end the modal showing, this does, and the checks below fail.
    QTimer failSafe;
    failSafe.setSingleShot(true);
    QObject::connect(&failSafe, &QTimer::timeout, &w, [&] { w.reject(); });
    failSafe.start(20000);

    f.form->ui.Button9->click();

    EXPECT_TRUE(failSafe.isActive()) << "the modal showing did not end at 0";
    EXPECT_TRUE(wasModal);
    EXPECT_TRUE(callsBeforeEnd.empty());
    EXPECT_EQ(f.power.calls, std::vector<std::string>{"reboot"});
    EXPECT_EQ(f.form->windowTitle(), "DO restart");
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(f.boxes.errors.empty());
}

} // namespace
