#pragma once

#include <QWidget>

#include <array>
#include <memory>
#include <string>

class QFrame;
class QLabel;
class QLineEdit;
class QKeyEvent;

namespace norva {

class MessageBoxes;

// The IPv4 address entry: four small number fields separated by dots, on a panel that looks
// like one entry box. The keyboard moves from field to field the way a user types an
// address, only digits can be typed or pasted, and a field above 255 is corrected to 255
// with a message. Text() and setText() give the whole address as dotted text.
class CEditIPAddr : public QWidget {
    Q_OBJECT

public:
    // boxes shows the "not a valid entry" message; without one the control uses real
    // message boxes of its own.
    explicit CEditIPAddr(MessageBoxes* boxes = nullptr, QWidget* parent = nullptr);
    ~CEditIPAddr() override;

    void setMessageBoxes(MessageBoxes* boxes) { FBoxes = boxes; }

    // The address as "a.b.c.d", or "" when all four fields are empty. Empty fields are
    // filled with "0" and, unless AcceptOctal, digits are rewritten as plain decimal
    // ("007" -> "7"); the fields keep those changes.
    std::string Text();
    // "" empties the fields. Anything but a valid dotted address raises AssertionFailed
    // "Bad IP address string given to component" and leaves the fields as they were;
    // a valid one fills them and selects the text of field 0.
    void setText(const std::string& text);

    bool AcceptOctal() const { return FAcceptOctal; }
    void setAcceptOctal(bool accept) { FAcceptOctal = accept; }

    QSize sizeHint() const override { return {110, 21}; }

    // The parts, for the page that hosts the control and for tests.
    QFrame* panel() const { return FPanel; }
    QLineEdit* triplet(int index) const { return FTriplets.at(static_cast<std::size_t>(index)); }
    QLabel* dot(int index) const { return FDots.at(static_cast<std::size_t>(index)); }

signals:
    // After every key release in any field (OnIPChange).
    void IPChange();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int tripletIndex(const QObject* object) const;
    bool tripletKeyPress(int index, QKeyEvent* event);
    static bool blocksTyping(const QKeyEvent* event);
    static void dispatch(QLineEdit* field, QKeyEvent* event, bool readOnly);
    void tripletEdited(int index);
    void focusMoved(QWidget* old, QWidget* now);
    bool contains(const QWidget* widget) const;
    void placeParts();
    MessageBoxes& boxes();

    QFrame* FPanel = nullptr;
    std::array<QLineEdit*, 4> FTriplets{};
    std::array<QLabel*, 3> FDots{};
    bool FAcceptOctal = false;
    MessageBoxes* FBoxes = nullptr;
    std::unique_ptr<MessageBoxes> FOwnBoxes; // used only when none was given
};

} // namespace norva
