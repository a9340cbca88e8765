#include "platform/Error.h"
#include "platform/MessageBoxes.h"
#include "ui/CEditIPAddr.h"

#include <QApplication>
#include <QClipboard>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace norva;

const char* const kNotValid =
    " is not a valid entry. Please specify a value between 0 and 255 for this field.";

class RecordingBoxes : public MessageBoxes {
public:
    void showError(const std::string& text) override { errors.push_back(text); }
    bool askYesNo(const std::string&) override { return false; }
    void beep() override {}
    std::vector<std::string> errors;
};

// The host window; it records the keys that the control passes on to its parents.
class Host : public QWidget {
public:
    std::vector<int> keysReachingParent;

protected:
    void keyPressEvent(QKeyEvent* event) override { keysReachingParent.push_back(event->key()); }
};

class IPAddrControl : public testing::Test {
protected:
    void SetUp() override {
        host.resize(300, 80);
        control = new CEditIPAddr(&boxes, &host);
        control->move(10, 10);
        outside = new QLineEdit(&host);
        outside->setGeometry(10, 40, 100, 21);
        host.show();
        QApplication::setActiveWindow(&host);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&host));
        outside->setFocus();
        ASSERT_TRUE(outside->hasFocus());
    }

    QLineEdit* field(int i) const { return control->triplet(i); }

    void fill(const QString& a, const QString& b, const QString& c, const QString& d) {
        field(0)->setText(a);
        field(1)->setText(b);
        field(2)->setText(c);
        field(3)->setText(d);
    }

    std::string fields() const {
        return (field(0)->text() + "|" + field(1)->text() + "|" + field(2)->text() + "|" +
                field(3)->text())
            .toStdString();
    }

    // Index of the field with the focus, -1 for none.
    int focused() const {
        for (int i = 0; i < 4; ++i) {
            if (field(i)->hasFocus()) {
                return i;
            }
        }
        return -1;
    }

    void enter(int i, int caret) {
        field(i)->setFocus();
        field(i)->setCursorPosition(caret);
        ASSERT_EQ(focused(), i);
    }

    // Keys go where the user's keys would go: to the widget with the focus.
    void type(const char* keys) {
        for (const char* k = keys; *k != '\0'; ++k) {
            QTest::keyClick(QApplication::focusWidget(), *k);
        }
    }
    void key(Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), k, modifiers);
    }

    Host host;
    RecordingBoxes boxes;
    CEditIPAddr* control = nullptr;
    QLineEdit* outside = nullptr;
};

TEST_F(IPAddrControl, PartsAndGeometry) {
    EXPECT_EQ(control->size(), QSize(110, 21));
    EXPECT_EQ(control->minimumWidth(), 110);
    EXPECT_EQ(control->panel()->geometry(), control->rect());
    EXPECT_EQ(control->panel()->frameShape(), QFrame::Box);
    EXPECT_EQ(control->panel()->cursor().shape(), Qt::IBeamCursor);
    int x = -1;
    for (int i = 0; i < 4; ++i) {
        QLineEdit* f = field(i);
        EXPECT_EQ(f->width(), 24);
        EXPECT_FALSE(f->hasFrame());
        EXPECT_EQ(f->maxLength(), 3);
        EXPECT_EQ(f->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
        EXPECT_EQ(f->focusPolicy() == Qt::StrongFocus, i == 0) << "only field 0 takes Tab";
        EXPECT_GT(f->x(), x);
        x = f->x();
        if (i < 3) {
            QLabel* d = control->dot(i);
            EXPECT_EQ(d->text(), ".");
            EXPECT_EQ(d->width(), 3);
            EXPECT_GT(d->x(), x);
            x = d->x();
        }
    }
    EXPECT_LT(field(3)->geometry().right(), control->panel()->width() - 1);
}

TEST_F(IPAddrControl, TwelveDigitsFillTheFourFields) {
    QSignalSpy changes(control, &CEditIPAddr::IPChange);
    control->setFocus();
    type("192");
    EXPECT_EQ(focused(), 1);
    EXPECT_EQ(field(1)->cursorPosition(), 0);
    type("168001010");
    EXPECT_EQ(fields(), "192|168|001|010");
    type("7"); // a full field 3 takes no more and sends the focus nowhere
    EXPECT_EQ(fields(), "192|168|001|010");
    EXPECT_EQ(focused(), 3);
    EXPECT_EQ(changes.count(), 13);
    EXPECT_TRUE(boxes.errors.empty());

    EXPECT_EQ(control->Text(), "192.168.1.10");
    EXPECT_EQ(fields(), "192|168|1|10");
}

TEST_F(IPAddrControl, ThirdDigitOfTheLastFieldStaysThere) {
    enter(3, 0);
    type("25");
    EXPECT_EQ(focused(), 3);
    type("4");
    EXPECT_EQ(focused(), 3);
    EXPECT_EQ(field(3)->text(), "254");
}

TEST_F(IPAddrControl, ValueAboveTheOctetRangeBecomes255WithAMessage) {
    enter(1, 0);
    type("300");
    EXPECT_EQ(field(1)->text(), "255");
    EXPECT_EQ(field(1)->selectedText(), "255");
    EXPECT_EQ(focused(), 1);
    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(boxes.errors[0], std::string("300") + kNotValid);

    // Typing over the selection corrects again; a value in range needs no message.
    type("999");
    EXPECT_EQ(field(1)->text(), "255");
    ASSERT_EQ(boxes.errors.size(), 2u);
    EXPECT_EQ(boxes.errors[1], std::string("999") + kNotValid);
    type("255");
    EXPECT_EQ(boxes.errors.size(), 2u);
    EXPECT_EQ(focused(), 2);
}

TEST_F(IPAddrControl, PointOrSpaceMovesOnOnlyFromAFilledField) {
    fill("", "55", "66", "");
    enter(0, 0);
    type(".");
    type(" ");
    EXPECT_EQ(focused(), 0);
    EXPECT_EQ(fields(), "|55|66|");

    type("10.");
    EXPECT_EQ(focused(), 1);
    EXPECT_EQ(field(1)->selectedText(), "55");
    EXPECT_EQ(fields(), "10|55|66|");

    type(" ");
    EXPECT_EQ(focused(), 2);
    EXPECT_EQ(field(2)->selectedText(), "66");

    key(Qt::Key_Period, Qt::KeypadModifier);
    EXPECT_EQ(focused(), 3);
    type("4.");
    EXPECT_EQ(focused(), 3);
    EXPECT_EQ(fields(), "10|55|66|4");
}

struct BackspaceCase {
    const char* field1;
    const char* field2;
    bool field2Selected;
    const char* fieldsAfter;
};

class BackspaceAtTheStart : public IPAddrControl,
                            public testing::WithParamInterface<BackspaceCase> {};

TEST_P(BackspaceAtTheStart, TakesTheLastDigitOfTheFieldBefore) {
    const BackspaceCase& c = GetParam();
    fill("1", c.field1, c.field2, "4");
    enter(2, 0);
    if (c.field2Selected) {
        field(2)->selectAll();
    }
    key(Qt::Key_Backspace);
    EXPECT_EQ(fields(), c.fieldsAfter);
    EXPECT_EQ(focused(), 1);
    EXPECT_EQ(field(1)->cursorPosition(), field(1)->text().size());
}

INSTANTIATE_TEST_SUITE_P(Cases, BackspaceAtTheStart,
                         testing::Values(BackspaceCase{"168", "3", false, "1|16|3|4"},
                                         BackspaceCase{"7", "3", false, "1||3|4"},
                                         BackspaceCase{"", "", false, "1|||4"},
                                         // The Backspace still deletes field 2's selection.
                                         BackspaceCase{"168", "45", true, "1|16||4"}));

TEST_F(IPAddrControl, BackspaceInsideAFieldOnlyEditsIt) {
    fill("1", "168", "23", "4");
    enter(2, 1);
    key(Qt::Key_Backspace);
    EXPECT_EQ(fields(), "1|168|3|4");
    EXPECT_EQ(focused(), 2);
    enter(0, 0);
    key(Qt::Key_Backspace); // nothing before field 0
    EXPECT_EQ(fields(), "1|168|3|4");
    EXPECT_EQ(focused(), 0);
}

TEST_F(IPAddrControl, ArrowsCrossFieldEdgesOnlyAtTheEdges) {
    enter(0, 0);
    key(Qt::Key_Right); // empty field 0: its caret is at the end
    EXPECT_EQ(focused(), 1);
    EXPECT_EQ(field(1)->cursorPosition(), 0);

    enter(0, 0);
    key(Qt::Key_Left);
    EXPECT_EQ(focused(), 0);

    fill("", "12", "34", "56");
    enter(2, 1);
    key(Qt::Key_Right); // within the field the caret moves as usual
    EXPECT_EQ(focused(), 2);
    EXPECT_EQ(field(2)->cursorPosition(), 2);
    key(Qt::Key_Right);
    EXPECT_EQ(focused(), 3);
    EXPECT_EQ(field(3)->cursorPosition(), 0);
    key(Qt::Key_Left);
    EXPECT_EQ(focused(), 2);
    EXPECT_EQ(field(2)->cursorPosition(), 2);
    key(Qt::Key_Left);
    EXPECT_EQ(focused(), 2);
    EXPECT_EQ(field(2)->cursorPosition(), 1);

    enter(3, 2);
    key(Qt::Key_Right);
    EXPECT_EQ(focused(), 3);
    EXPECT_EQ(fields(), "|12|34|56");
}

TEST_F(IPAddrControl, OnlyPlainDigitsBackspaceAndDeleteChangeText) {
    QApplication::clipboard()->setText("123");
    fill("12", "", "", "");
    enter(0, 1);
    type("a-,");
    key(Qt::Key_1, Qt::ShiftModifier);
    key(Qt::Key_2, Qt::AltModifier);
    key(Qt::Key_V, Qt::ControlModifier);         // paste
    key(Qt::Key_Insert, Qt::ShiftModifier);      // paste
    key(Qt::Key_Backspace, Qt::ControlModifier); // delete word
    key(Qt::Key_Delete, Qt::ShiftModifier);      // cut
    key(Qt::Key_Return);
    EXPECT_EQ(fields(), "12|||");
    EXPECT_EQ(focused(), 0);
    EXPECT_EQ(field(0)->cursorPosition(), 1);

    // Keys that change no text still select and move the caret.
    key(Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(field(0)->selectedText(), "2");
    key(Qt::Key_Home);
    EXPECT_EQ(field(0)->cursorPosition(), 0);

    key(Qt::Key_Delete);
    EXPECT_EQ(field(0)->text(), "2");
    key(Qt::Key_7, Qt::KeypadModifier);
    EXPECT_EQ(field(0)->text(), "72");
}

struct PasteCase {
    const char* name;
    const char* clipboard; // UTF-8
    const char* field1;    // before, caret at its end
    const char* after;     // field 1 after the paste
    const char* message;   // the text of the error box, "" for none
};

void PrintTo(const PasteCase& c, std::ostream* os) {
    *os << c.name;
}

class Pasting : public IPAddrControl, public testing::WithParamInterface<PasteCase> {};

// A paste (the field's context menu, a middle click) inserts text without a key, so it must
// meet the same rules as typing: digits only, three of them, and the cap at 255. Whatever
// the paste left, reading the address works.
TEST_P(Pasting, KeepsTheTypingRules) {
    const PasteCase& c = GetParam();
    QApplication::clipboard()->setText(QString::fromUtf8(c.clipboard));
    fill("10", c.field1, "", "5");
    enter(1, field(1)->text().size());
    field(1)->paste();
    EXPECT_EQ(field(1)->text().toStdString(), c.after);
    if (*c.message == '\0') {
        EXPECT_TRUE(boxes.errors.empty());
    } else {
        ASSERT_EQ(boxes.errors.size(), 1u);
        EXPECT_EQ(boxes.errors[0], std::string(c.message) + kNotValid);
    }
    std::string text;
    EXPECT_NO_THROW(text = control->Text());
    EXPECT_EQ(text, "10." + std::string(*c.after == '\0' ? "0" : c.after) + ".0.5");
}

INSTANTIATE_TEST_SUITE_P(Cases, Pasting,
                         testing::Values(PasteCase{"Digits", "42", "", "42", ""},
                                         PasteCase{"AppendedDigit", "7", "1", "17", ""},
                                         PasteCase{"LetterAfterDigit", "1a", "", "", ""},
                                         PasteCase{"Letters", "abc", "2", "2", ""},
                                         PasteCase{"LeadingSpace", " 12", "", "", ""},
                                         PasteCase{"Minus", "-1", "", "", ""},
                                         PasteCase{"PartOfAnAddress", "1.2", "", "", ""},
                                         PasteCase{"NonAsciiDigit", "\u0663", "", "", ""},
                                         PasteCase{"AboveTheCap", "300", "", "255", "300"},
                                         PasteCase{"AboveTheCapAfterADigit", "00", "9", "255",
                                                   "900"},
                                         PasteCase{"FourDigitsKeepThree", "1234", "", "123", ""}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(IPAddrControl, KeysTheFieldDoesNotUseReachTheParent) {
    enter(1, 0);
    host.keysReachingParent.clear();
    key(Qt::Key_Return);
    key(Qt::Key_Escape);
    type("5");
    EXPECT_EQ(host.keysReachingParent, (std::vector<int>{Qt::Key_Return, Qt::Key_Escape}));
}

TEST_F(IPAddrControl, NoTypingWhileTheLeftMouseButtonIsHeld) {
    enter(0, 0);
    QWindow* window = host.windowHandle();
    const QPoint onField = field(0)->mapTo(&host, QPoint(12, 5));
    QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, onField);
    ASSERT_TRUE(QGuiApplication::mouseButtons().testFlag(Qt::LeftButton));
    type("5");
    EXPECT_EQ(field(0)->text(), "");
    QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, onField);
    type("5");
    EXPECT_EQ(field(0)->text(), "5");
}

TEST_F(IPAddrControl, FocusEnteringAndLeavingTheControlSelectsField0) {
    control->setText("192.168.1.10");
    control->setFocus();
    EXPECT_EQ(focused(), 0);
    EXPECT_EQ(field(0)->selectedText(), "192");

    enter(2, 0);
    outside->setFocus();
    EXPECT_TRUE(outside->hasFocus());
    EXPECT_EQ(field(0)->selectedText(), "192");

    // Moving between the fields is not leaving the control.
    enter(0, 1);
    enter(1, 0);
    EXPECT_EQ(field(0)->selectedText(), "");
}

TEST_F(IPAddrControl, ClickOnADotOrTheBareRightEndEntersTheNearbyField) {
    fill("1", "22", "333", "4");
    for (int i = 0; i < 3; ++i) {
        outside->setFocus();
        QTest::mouseClick(control->dot(i), Qt::LeftButton);
        EXPECT_EQ(focused(), i);
        EXPECT_EQ(field(i)->cursorPosition(), field(i)->text().size());
    }
    outside->setFocus();
    const int rightOfField3 = field(3)->geometry().right() + 1;
    QTest::mouseClick(control->panel(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(rightOfField3, control->panel()->height() / 2));
    EXPECT_EQ(focused(), 3);
    EXPECT_EQ(field(3)->cursorPosition(), 1);

    outside->setFocus();
    QTest::mouseClick(control->panel(), Qt::LeftButton, Qt::NoModifier, QPoint(0, 0));
    EXPECT_TRUE(outside->hasFocus());
}

struct ReadCase {
    std::array<const char*, 4> typed;
    bool acceptOctal;
    const char* text;
    const char* fieldsAfter;
};

class ReadingText : public IPAddrControl, public testing::WithParamInterface<ReadCase> {};

TEST_P(ReadingText, FillsEmptyFieldsAndRewritesDecimal) {
    const ReadCase& c = GetParam();
    control->setAcceptOctal(c.acceptOctal);
    fill(c.typed[0], c.typed[1], c.typed[2], c.typed[3]);
    EXPECT_EQ(control->Text(), c.text);
    EXPECT_EQ(fields(), c.fieldsAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadingText,
    testing::Values(ReadCase{{"", "", "", ""}, false, "", "|||"},
                    ReadCase{{"10", "", "", "5"}, false, "10.0.0.5", "10|0|0|5"},
                    ReadCase{{"192", "168", "", "010"}, false, "192.168.0.10", "192|168|0|10"},
                    ReadCase{{"007", "000", "08", "255"}, false, "7.0.8.255", "7|0|8|255"},
                    ReadCase{{"010", "", "007", "1"}, true, "010.0.007.1", "010|0|007|1"},
                    ReadCase{{"", "", "", ""}, true, "", "|||"}));

TEST_F(IPAddrControl, WritingText) {
    EXPECT_FALSE(control->AcceptOctal());
    control->setText("0.0.0.0");
    EXPECT_EQ(fields(), "0|0|0|0");
    EXPECT_EQ(control->Text(), "0.0.0.0");

    control->setText("192.168.1.10");
    EXPECT_EQ(fields(), "192|168|1|10");
    EXPECT_EQ(field(0)->selectedText(), "192");

    control->setText("");
    EXPECT_EQ(fields(), "|||");
    EXPECT_EQ(control->Text(), "");
}

class WritingBadText : public IPAddrControl, public testing::WithParamInterface<const char*> {};

TEST_P(WritingBadText, FailsAndChangesNothing) {
    fill("10", "", "7", "1");
    try {
        control->setText(GetParam());
        ADD_FAILURE() << "accepted";
    } catch (const AssertionFailed& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Bad IP address string given to component (", 0), 0u)
            << e.what();
    }
    EXPECT_EQ(fields(), "10||7|1");
}

INSTANTIATE_TEST_SUITE_P(Cases, WritingBadText,
                         testing::Values("192.168.01.1", "1.2.3", "1.2.3.4.5", "256.1.1.1",
                                         "a.b.c.d", "1111.2.3.4", "1.2.3.4 ", "1234.123.123.123"));

} // namespace
