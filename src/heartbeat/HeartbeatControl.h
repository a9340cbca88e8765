#pragma once

#include "heartbeat/SleepWatch.h"

#include <cstdint>
#include <functional>
#include <string>

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
    void Start(); // the Start button
    void Stop();  // the Stop button

    // Start-up step: open the serial port named by Setup/ComPort.
    void OpenStoredPort();
    // Start-up step: resume the heartbeat when it was running at the last exit (in USB mode
    // only with the port open, or awaited, see below).
    void ResumeHeartbeat();

    // Waiting for a serial port that is not there. A caller that would rather wait for the
    // device than give up on it (the service) sets both functions; the desktop program sets
    // neither, and keeps the error box and a heartbeat that writes to a port that is gone.
    //
    // Told the stored port's number when start-up step 1 finds it not installed ("is not
    // there"), in place of the error box and the stop after it, or installed but failing to
    // open ("cannot be opened", after its error has gone to the boxes), in place of ending the
    // start-up there; the start-up's resume then shows the state.
    std::function<void(std::uint16_t n, const std::string& why)> storedPortMissing;
    // True while the caller waits for the serial port to come (back). A serial start then
    // waits for it instead of writing to a port that is not there: serialStartWaiting()
    // becomes true and the stopped state is shown.
    std::function<bool()> serialPortAwaited;

    // A serial start waits for the awaited port: the heartbeat was started in USB mode (by
    // Start, Apply or the start-up's resume) while the port was awaited, or the port was
    // lost while "IsStarted" was true. Cleared by StopSending and SerialPortBack.
    bool serialStartWaiting() const { return serialStartWaiting_; }
    // The open port's device has gone and the caller now awaits it: with the USB mode and
    // "IsStarted" true, the serial heartbeat stops (no misses are counted for a device that
    // is not there) and its start waits for the port. Otherwise nothing changes here.
    void SerialPortLost();
    // The awaited port is open again and no longer awaited: a waiting start runs now, as the
    // start-up's resume runs it.
    void SerialPortBack();

    // The login manager announced a sleep: a running heartbeat pauses at once (its answer
    // watchdog disarmed, nothing sent or counted as missed until the wake) and "sleeping" is
    // shown. The tick timers go on, so that a wake nobody announces is still seen by the
    // clocks. Nothing happens when no heartbeat runs.
    void Sleep();
    // The machine woke (announced, or seen by the clocks; `sleptMs` when they tell it): a
    // paused or running heartbeat sends one heartbeat on each running link now, its counters
    // going on, its misses untouched by the sleep. A second wake without a sleep between
    // changes nothing. True when the heartbeat woke.
    bool Wake(std::int64_t sleptMs = -1);
    // Paused for a sleep.
    bool sleeping() const { return sleeping_; }
    // Compared at every tick of either monitor. Tests put one on made-up clocks.
    SleepWatch sleepWatch;

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
    bool serialStartWaiting_ = false;
    bool sleeping_ = false;

    // The monitors' beforeTick: a sleep the clocks show is a wake; a paused heartbeat skips.
    bool beforeTick();
};

} // namespace norva
