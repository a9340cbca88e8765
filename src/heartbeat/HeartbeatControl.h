#pragma once

#include <functional>

namespace norva {

class HeartbeatStatus;
class MessageBoxes;
class NetworkMonitor;
class PageValues;
class SerialMonitor;
class SerialPort;
class SettingsFile;
class SettingsHandle;

// Starts and stops the two monitors as one service, in the mode chosen by the radio buttons
// of the heartbeat page as they are now (read through PageValues), and remembers in Run/IsStarted
// whether the user last started or stopped it, so that the next program start resumes it.
class HeartbeatControl {
public:
    HeartbeatControl(SettingsHandle& MyIni, HeartbeatStatus& status, MessageBoxes& boxes,
                     PageValues& pages, NetworkMonitor& network, SerialMonitor& serial,
                     SerialPort& myPort);

    // Refills the heartbeat page from the settings (set by the window).
    std::function<void()> loadSetup;

    void StartSending();
    void StopSending();
    void Button2Click(); // Start
    void Button4Click(); // Stop

    // Start-up step: open the serial port named by Setup/ComPort.
    void OpenStoredPort();
    // Start-up step: resume the heartbeat when it was running at the last exit.
    void ResumeHeartbeat();

    // Start-up step, last: without "Show Status In Tray" the tray shows the plain picture.
    void ShowStartTray();

    // The bracket around Apply on the heartbeat page: BeginApply stops a heartbeat that the
    // user started and says so; EndApply shows the tray for the new settings and starts the
    // heartbeat again with them.
    bool BeginApply();
    void EndApply(bool restart);

private:
    SettingsFile& ini() const;

    SettingsHandle& MyIni_;
    HeartbeatStatus& status_;
    MessageBoxes& boxes_;
    PageValues& pages_;
    NetworkMonitor& network_;
    SerialMonitor& serial_;
    SerialPort& myPort_;
};

} // namespace norva
