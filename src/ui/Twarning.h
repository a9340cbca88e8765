#pragma once

#include <QDialog>
#include <cstdint>

namespace norva {

// The pending-action warning window: a small window that stays on top and shows the count of
// the pending action in its caption. It only draws what it is told (the action in this
// process, or the service's, announces it); the count, the mode and the clock are the
// action's. Closing the window hides it and says so through closed(), for the action, which
// counts on: nothing here cancels the action.
class Twarning : public QDialog {
    Q_OBJECT
public:
    explicit Twarning(QWidget* parent = nullptr);

    // The action's announcements, drawn. A modal showing waits here until the count ends or
    // the user closes the window; a showing while the window is up only raises it.
    void showPending(std::uint8_t mode, bool modal);
    void showCount(std::int32_t countdown);
    void endShowing();

signals:
    // The window went off screen other than by the window system: the user closed it (its
    // close button, Escape), or the count ended, which the action already knows.
    void closed();

protected:
    void hideEvent(QHideEvent* event) override;
};

} // namespace norva
