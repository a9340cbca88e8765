#include "ui/CEditIPAddr.h"

#include "platform/Error.h"
#include "platform/StrToInt.h"
#include "settings/SettingsRules.h"
#include "ui/IPAddrUtils.h"
#include "ui/QtMessageBoxes.h"

#include <QApplication>
#include <QFocusEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRegularExpressionValidator>

#include <algorithm>

namespace norva {

namespace {

constexpr int kFieldWidth = 24;
constexpr int kDotWidth = 3;

const char* const kNotValidEntry =
    " is not a valid entry. Please specify a value between 0 and 255 for this field.";

} // namespace

CEditIPAddr::CEditIPAddr(MessageBoxes* boxes, QWidget* parent) : QWidget(parent), FBoxes(boxes) {
    FPanel = new QFrame(this);
    FPanel->setObjectName("FPanel");
    FPanel->setFrameStyle(QFrame::Box | QFrame::Plain);
    FPanel->setLineWidth(1);
    // The panel is the entry box the fields sit in, so it takes the colour behind
    // entry text; the borderless fields then blend into it.
    FPanel->setBackgroundRole(QPalette::Base);
    FPanel->setAutoFillBackground(true);
    FPanel->setCursor(Qt::IBeamCursor);
    FPanel->installEventFilter(this);

    for (std::size_t i = 0; i < FTriplets.size(); ++i) {
        auto* field = new QLineEdit(FPanel);
        field->setObjectName(QString("FTriplets%1").arg(i));
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setMaxLength(3);
        field->setAcceptDrops(false);
        // The key filter below keeps typing to digits, but a paste (context menu, middle
        // click) inserts text without a key; the validator holds it to the same rule, so
        // reading the address never meets anything but digits. The 255 cap follows from
        // textEdited, which a paste raises as typing does.
        field->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), field));
        // Tab enters the address at its first field; the others are reached by typing,
        // the arrow keys or the mouse.
        field->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        field->installEventFilter(this);
        const int index = static_cast<int>(i);
        connect(field, &QLineEdit::textEdited, this, [this, index] { tripletEdited(index); });
        FTriplets[i] = field;
    }
    for (std::size_t i = 0; i < FDots.size(); ++i) {
        auto* dotLabel = new QLabel(".", FPanel);
        dotLabel->setObjectName(QString("FDots%1").arg(i));
        dotLabel->setAlignment(Qt::AlignCenter);
        dotLabel->installEventFilter(this);
        FDots[i] = dotLabel;
    }

    connect(qApp, &QApplication::focusChanged, this, &CEditIPAddr::focusMoved);

    setMinimumWidth(110);
    resize(110, 21);
    placeParts();
}

CEditIPAddr::~CEditIPAddr() = default;

std::string CEditIPAddr::Text() {
    bool allEmpty = true;
    for (const QLineEdit* field : FTriplets) {
        allEmpty = allEmpty && field->text().isEmpty();
    }
    if (allEmpty) {
        return {};
    }
    std::string result;
    for (QLineEdit* field : FTriplets) {
        const QString typed = field->text();
        QString shown = typed;
        if (typed.isEmpty()) {
            shown = "0";
        } else if (!FAcceptOctal) {
            shown = QString::number(StrToInt(typed.toStdString()));
        }
        // Rewriting an unchanged field would move its caret and drop its undo history.
        if (shown != typed) {
            field->setText(shown);
        }
        if (!result.empty()) {
            result += '.';
        }
        result += shown.toStdString();
    }
    return result;
}

void CEditIPAddr::setText(const std::string& text) {
    if (text.empty()) {
        for (QLineEdit* field : FTriplets) {
            field->clear();
        }
        return;
    }
    std::array<int, 4> octets{};
    try {
        ValidateIPString(text);
        for (int K = 1; K <= 4; ++K) {
            octets[static_cast<std::size_t>(K - 1)] = GetIPOctet(text, K);
        }
    } catch (const Error&) {
        throw NORVA_ASSERTION_FAILED("Bad IP address string given to component");
    }
    for (std::size_t i = 0; i < FTriplets.size(); ++i) {
        FTriplets[i]->setText(QString::number(octets[i]));
    }
    FTriplets[0]->selectAll();
}

bool CEditIPAddr::eventFilter(QObject* watched, QEvent* event) {
    const int index = tripletIndex(watched);
    if (index >= 0) {
        if (event->type() == QEvent::KeyPress) {
            return tripletKeyPress(index, static_cast<QKeyEvent*>(event));
        }
        // A held key repeats as press and release pairs; only the real release counts.
        if (event->type() == QEvent::KeyRelease &&
            !static_cast<QKeyEvent*>(event)->isAutoRepeat()) {
            emit IPChange();
        }
        return false;
    }
    if (event->type() != QEvent::MouseButtonRelease) {
        return false;
    }
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton) {
        return false;
    }
    const QPoint pos = mouse->position().toPoint();
    QLineEdit* target = nullptr;
    for (std::size_t i = 0; i < FDots.size(); ++i) {
        if (watched == FDots[i] && FDots[i]->rect().contains(pos)) {
            target = FTriplets[i];
        }
    }
    if (watched == FPanel && FPanel->rect().contains(pos) &&
        pos.x() > FTriplets[3]->geometry().right()) {
        target = FTriplets[3];
    }
    if (target == nullptr) {
        return false;
    }
    target->setFocus(Qt::MouseFocusReason);
    target->end(false);
    event->accept();
    return true;
}

bool CEditIPAddr::tripletKeyPress(int index, QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Shift || key == Qt::Key_Control) {
        return false;
    }
    const bool keypad = event->modifiers().testFlag(Qt::KeypadModifier);
    // The keypad's decimal key reports a comma on some layouts; it still means a point.
    const bool point = key == Qt::Key_Period || (keypad && key == Qt::Key_Comma);

    QLineEdit* field = FTriplets[static_cast<std::size_t>(index)];
    const int caret = field->cursorPosition();
    const int selectionStart = field->hasSelectedText() ? field->selectionStart() : caret;
    if (key == Qt::Key_Right && index < 3 && caret == field->text().size()) {
        QLineEdit* next = FTriplets[static_cast<std::size_t>(index + 1)];
        next->setFocus(Qt::OtherFocusReason);
        next->setCursorPosition(0);
    } else if (key == Qt::Key_Left && index > 0 && caret == 0) {
        QLineEdit* previous = FTriplets[static_cast<std::size_t>(index - 1)];
        previous->setFocus(Qt::OtherFocusReason);
        previous->end(false);
    } else if (key == Qt::Key_Backspace && index > 0 && selectionStart == 0) {
        // The Backspace still acts here first: a field that loses the focus drops its
        // selection, and a selection at the start is to be deleted.
        dispatch(field, event, blocksTyping(event));
        QLineEdit* previous = FTriplets[static_cast<std::size_t>(index - 1)];
        previous->setFocus(Qt::OtherFocusReason);
        previous->end(false);
        if (!previous->text().isEmpty()) {
            previous->backspace();
        }
        return true;
    } else if ((point || key == Qt::Key_Space) && index < 3 && !field->text().isEmpty()) {
        QLineEdit* next = FTriplets[static_cast<std::size_t>(index + 1)];
        next->setFocus(Qt::OtherFocusReason);
        next->selectAll();
    }

    if (!blocksTyping(event)) {
        return false;
    }
    dispatch(field, event, true);
    return true;
}

bool CEditIPAddr::blocksTyping(const QKeyEvent* event) {
    const int key = event->key();
    const bool chorded =
        (event->modifiers() & (Qt::ShiftModifier | Qt::AltModifier | Qt::ControlModifier)) !=
        Qt::NoModifier;
    const bool dragging = QGuiApplication::mouseButtons().testFlag(Qt::LeftButton);
    const bool edits =
        (key >= Qt::Key_0 && key <= Qt::Key_9) || key == Qt::Key_Backspace || key == Qt::Key_Delete;
    return chorded || dragging || !edits;
}

// Hands the key to the field at once, so that it has acted by the time the filter returns.
// A field that blocks typing handles the key read-only: it may still move the caret,
// select or copy. A key the field leaves unhandled goes on to the parents as usual (Enter
// and Escape reach the dialog), since the event keeps the accepted state the field gave it
// and the filter reports it as handled here.
void CEditIPAddr::dispatch(QLineEdit* field, QKeyEvent* event, bool readOnly) {
    field->setReadOnly(readOnly);
    static_cast<QObject*>(field)->event(event);
    field->setReadOnly(false);
}

void CEditIPAddr::tripletEdited(int index) {
    QLineEdit* field = FTriplets[static_cast<std::size_t>(index)];
    const std::string entered = field->text().toStdString();
    if (!entered.empty() && IsAllDigits(entered) && StrToInt(entered) > 255) {
        field->setText("255");
        field->selectAll();
        boxes().showError(entered + kNotValidEntry);
    } else if (index < 3 && field->text().size() == 3 && field->cursorPosition() == 3) {
        QLineEdit* next = FTriplets[static_cast<std::size_t>(index + 1)];
        next->setFocus(Qt::OtherFocusReason);
        next->setCursorPosition(0);
    }
}

void CEditIPAddr::focusInEvent(QFocusEvent* event) {
    FTriplets[0]->setFocus(event->reason());
    FTriplets[0]->selectAll();
}

void CEditIPAddr::focusMoved(QWidget* old, QWidget* now) {
    if (contains(old) && !contains(now)) {
        FTriplets[0]->selectAll();
    }
}

bool CEditIPAddr::contains(const QWidget* widget) const {
    return widget != nullptr && (widget == this || isAncestorOf(widget));
}

int CEditIPAddr::tripletIndex(const QObject* object) const {
    for (std::size_t i = 0; i < FTriplets.size(); ++i) {
        if (object == FTriplets[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void CEditIPAddr::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeParts();
}

// Field 0, dot 0, field 1, dot 1, field 2, dot 2, field 3 from the left, one pixel in from
// the border; what is left on the right is bare panel.
void CEditIPAddr::placeParts() {
    FPanel->setGeometry(rect());
    const int inset = FPanel->frameWidth() + 1;
    const int height = std::max(0, FPanel->height() - 2 * inset);
    int x = inset;
    for (std::size_t i = 0; i < FTriplets.size(); ++i) {
        FTriplets[i]->setGeometry(x, inset, kFieldWidth, height);
        x += kFieldWidth;
        if (i < FDots.size()) {
            FDots[i]->setGeometry(x, inset, kDotWidth, height);
            x += kDotWidth;
        }
    }
}

MessageBoxes& CEditIPAddr::boxes() {
    if (FBoxes != nullptr) {
        return *FBoxes;
    }
    if (!FOwnBoxes) {
        FOwnBoxes = std::make_unique<QtMessageBoxes>(window());
    }
    return *FOwnBoxes;
}

} // namespace norva
