#pragma once

#include "heartbeat/HeartbeatStatus.h"

#include <QString>
#include <cstdint>

class QLabel;
class QMainWindow;

namespace norva {

class MessageBoxes;
class TrayIcon;
struct TForm1Ui;

// Draws what the heartbeat and the command port announce: the status picture and text,
// counters, caption and hidden outputs of the main window, the tray's pictures, hints and
// balloon texts, and the no-response alert. It decides nothing about the heartbeat; it only
// knows how this desktop shows an alert (balloon or box) and whether the window is in the
// tray. Every method takes plain values, so the view can follow a core in this process or
// one it hears from over a bus.
class StatusView {
public:
    StatusView(QMainWindow& window, TForm1Ui& ui, TrayIcon& tray, MessageBoxes& boxes);

    // Main window
    void showIcon(tAppIcons theIcon);
    void setStatusText(const QString& text); // Label1
    // The counters the monitors announce; a label shows its counter's value as a number.
    void showNetworkCounters(std::uint32_t sent, std::uint32_t rcvd, std::uint32_t bad,
                             std::uint32_t missed);
    void showSerialCounters(std::uint32_t sent, std::uint32_t rcvd, std::uint32_t missed);
    void setCaption(const QString& caption);
    void setLabel4(const QString& text);  // also written to standard error
    void appendMemo(const QString& line); // also written to standard error

    // The tray: a picture with its hint, or with its balloon text.
    void showTray(const TrayLook& look);

    // The no-response alert: a balloon when the window is in the tray on a desktop with
    // balloons, otherwise the exclamation sound and a modal error box.
    void noResponseAlert(const QString& balloonText);

    // The system refused a power request ("restart" or "shutdown") for the reason `error`: a
    // Memo1 line, then one error box. The caption is left as it is.
    void powerRequestRefused(const QString& action, const QString& error);

    TForm1Ui& ui() { return ui_; }
    TrayIcon& tray() { return tray_; }
    MessageBoxes& boxes() { return boxes_; }

    bool useBalloon = false;  // the desktop can show balloons
    bool showBalloon = false; // the window was put away into the tray

private:
    static void setCounter(QLabel* label, std::uint32_t value);

    QMainWindow& window_;
    TForm1Ui& ui_;
    TrayIcon& tray_;
    MessageBoxes& boxes_;
};

} // namespace norva
