// The About window: its caption and lines word for word, the OK button, and that it neither
// blocks the main window nor opens twice.
#include "ui/TAboutBox.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using norva::TAboutBox;

TEST(AboutBox, CaptionLinesAndDefaultOkButton) {
    QWidget owner;
    TAboutBox box(&owner);
    EXPECT_EQ(box.windowTitle(), "About");

    QStringList lines;
    bool hasIcon = false;
    for (const QLabel* label : box.findChildren<QLabel*>()) {
        if (!label->text().isEmpty())
            lines << label->text();
        else if (!label->pixmap().isNull())
            hasIcon = true;
    }
    EXPECT_TRUE(hasIcon);
    EXPECT_EQ(lines, QStringList({"Product Name:  Norva Utility", "Version:  2.10.09",
                                  "Heartbeat requires Norva version 2.00 or Norva-Pro version "
                                  "1.0 or better.",
                                  "Shutdown requires Norva-Pro version 1.1 or better."}));

    const auto buttons = box.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), "OK");
    EXPECT_TRUE(buttons[0]->isDefault());
}

TEST(AboutBox, OpensWithoutBlockingAndOkClosesIt) {
    QWidget owner;
    owner.show();
    TAboutBox box(&owner);
    box.ShowOrRaise();
    EXPECT_TRUE(box.isVisible());
    EXPECT_FALSE(box.isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    box.findChild<QPushButton*>()->click();
    EXPECT_FALSE(box.isVisible());

    // Enter on the open box presses the default button.
    box.ShowOrRaise();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&box));
    QTest::keyClick(&box, Qt::Key_Return);
    EXPECT_FALSE(box.isVisible());
}

TEST(AboutBox, OpeningAgainKeepsOneWindowAndBringsItToTheFront) {
    QWidget owner;
    owner.show();
    TAboutBox box(&owner);
    box.ShowOrRaise();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&box));

    QWidget other; // another window comes in front
    other.show();
    QApplication::setActiveWindow(&other);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));

    box.ShowOrRaise();
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &box; }, 5000));
    int open = 0;
    for (const QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<const TAboutBox*>(w) && w->isVisible())
            ++open;
    EXPECT_EQ(open, 1);
}

} // namespace
