#pragma once

#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <functional>

namespace norva {

// The pending-action warning: a small window that stays on top, counts ten seconds in its
// caption and then restarts or shuts the computer down. Nothing in it cancels the action;
// closing it only hides it.
class Twarning : public QDialog {
    Q_OBJECT
public:
    explicit Twarning(QWidget* parent = nullptr);

    // What the end of the count does, by mode: 0 restart, 1 shutdown.
    std::function<void()> doRestart;
    std::function<void()> doShutdown;

    // Shows the window with the given mode. While it is visible only the mode changes: the
    // count goes on from where it is.
    void ShowPending(std::uint8_t newMode);

    void Timer1Timer();

    std::int32_t countdown = 0;
    std::uint8_t mode = 0;
    QTimer Timer1;

protected:
    void showEvent(QShowEvent* event) override;
};

} // namespace norva
