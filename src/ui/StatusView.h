#pragma once

#include <QString>
#include <cstdint>
#include <string>

class QLabel;
class QMainWindow;

namespace norva {

class MessageBoxes;
class TrayIcon;
struct TForm1Ui;

// tAppIcons: which status picture the window shows.
enum tAppIcons { badIcon = 0, goodIcon = 1, stoppedIcon = 2 };

// How the rest of the program reports to the user: the status picture and text, counters,
// caption and hidden outputs of the main window, the tray's pictures and hints, and the
// no-response alert. It also keeps the display flags the heartbeat monitors share.
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

    // Tray states; they follow the "Show Status In Tray" box as it is on the page now.
    bool statusInTray() const;
    void setTray(int index, const QString& balloonText);

    // The no-response alert: a balloon when the window is in the tray on a desktop with
    // balloons, otherwise the exclamation sound and a modal error box.
    void noResponseAlert(const std::string& balloonText);

    // The failure state after the configured number of misses: bad picture, "Fail", the
    // tray, `failed`, then the no-response alert with the monitor's balloon text.
    void showFailure(const std::string& balloonText);
    // The device answered: `failed` cleared, good picture, the tray, "OK".
    void showAnswered();

    TForm1Ui& ui() { return ui_; }
    TrayIcon& tray() { return tray_; }
    MessageBoxes& boxes() { return boxes_; }

    bool failed = false;      // the heartbeat display is in the failure state
    bool useBalloon = false;  // the desktop can show balloons
    bool showBalloon = false; // the window was put away into the tray

private:
    static void setCounter(QLabel* label, std::uint32_t value);
    void showTrayResponding();    // picture 0 + hint, or plain
    void showTrayNotResponding(); // picture 1 + hint, or plain

    QMainWindow& window_;
    TForm1Ui& ui_;
    TrayIcon& tray_;
    MessageBoxes& boxes_;
};

} // namespace norva
