#include "heartbeat/HeartbeatControl.h"

#include "heartbeat/HeartbeatStatus.h"
#include "heartbeat/NetworkMonitor.h"
#include "heartbeat/PageValues.h"
#include "heartbeat/SerialMonitor.h"
#include "platform/ErrorBox.h"
#include "platform/MessageBoxes.h"
#include "settings/SettingsHandle.h"
#include "settings/SettingsRules.h"
#include "transport/SerialPort.h"

#include <string>

namespace norva {

HeartbeatControl::HeartbeatControl(SettingsHandle& MyIni, HeartbeatStatus& status,
                                   MessageBoxes& boxes, PageValues& pages, NetworkMonitor& network,
                                   SerialMonitor& serial, SerialPort& myPort)
    : MyIni_(MyIni), status_(status), boxes_(boxes), pages_(pages), network_(network),
      serial_(serial), myPort_(myPort) {
    network_.beforeTick = [this] { return beforeTick(); };
    serial_.beforeTick = [this] { return beforeTick(); };
}

SettingsFile& HeartbeatControl::ini() const {
    return MyIni_.file();
}

void HeartbeatControl::StartSending() {
    sleeping_ = false;
    sleepWatch.reset();
    if (pages_.networkMode())
        network_.Start();
    if (pages_.usbMode()) {
        if (serialPortAwaited && serialPortAwaited()) {
            serialStartWaiting_ = true;
            status_.showStopped(pages_.statusInTray());
        } else {
            serial_.Start();
        }
    }
}

void HeartbeatControl::StopSending() {
    serialStartWaiting_ = false; // first: the stopped state shown below is no longer a wait
    sleeping_ = false;
    network_.Timer1.stop();
    network_.Timer2.stop();
    serial_.comFreq.stop();
    serial_.comResp.stop();
    status_.showStopped(pages_.statusInTray());
}

void HeartbeatControl::Start() {
    network_.ClearStats();
    serial_.ComClearStats();
    if (loadSetup)
        loadSetup();
    if (pages_.noneMode())
        return;
    if (pages_.heartbeatFieldsFilled()) {
        StartSending();
        status_.setStatusText("OK");
    }
    ini().WriteBool(keys::IsStarted, true);
}

void HeartbeatControl::Stop() {
    StopSending();
    ini().WriteBool(keys::IsStarted, false);
}

void HeartbeatControl::OpenStoredPort() {
    if (ini().ReadString(keys::ComPort) == "None")
        return;
    // The stored port is read again for each number: a box shown for one port runs the event
    // loop, and what it changed is what the next number is compared with.
    for (unsigned n = 1; n <= HighestPort; ++n) {
        if (ComPortNumber(ini().ReadString(keys::ComPort)) != n)
            continue;
        const auto number = static_cast<std::uint16_t>(n);
        if (myPort_.IsComPortAvailable(n)) {
            myPort_.setComNumber(number);
            if (!storedPortMissing) {
                myPort_.setOpen(true);
                continue;
            }
            // Awaited too when it is there but will not open yet (udev still handing the node
            // to its group at boot, another program holding it): the error is told as the
            // error box would tell it, and the rest of the start-up goes on.
            try {
                myPort_.setOpen(true);
            } catch (const std::exception& e) {
                boxes_.showError(ErrorBoxText(e.what()));
                storedPortMissing(number, "cannot be opened");
            }
        } else {
            if (storedPortMissing) {
                // Awaited instead: the resume that follows shows the state.
                storedPortMissing(number, "is not there");
                continue;
            }
            boxes_.showError("Com" + std::to_string(n) +
                             " is no longer available\rPlease select another comport");
            StopSending();
        }
    }
}

void HeartbeatControl::ResumeHeartbeat() {
    if (ini().ReadBool(keys::IsStarted)) {
        if (pages_.networkMode())
            StartSending();
        else if (pages_.usbMode() && (myPort_.Open() || (serialPortAwaited && serialPortAwaited())))
            StartSending();
        return;
    }
    StopSending();
    // The stopped picture whatever "Show Status In Tray" says; the start-up's last step puts
    // the plain one over it when the box is unticked.
    status_.showTray(TrayFor(TrayState::Stopped, true));
}

void HeartbeatControl::SerialPortLost() {
    if (!pages_.usbMode() || !ini().ReadBool(keys::IsStarted))
        return;
    serial_.comFreq.stop();
    serial_.comResp.stop();
    serialStartWaiting_ = true;
    status_.showStopped(pages_.statusInTray());
}

void HeartbeatControl::SerialPortBack() {
    if (!serialStartWaiting_)
        return;
    serialStartWaiting_ = false;
    StartSending();
}

bool HeartbeatControl::BeginApply() {
    if (!ini().ReadBool(keys::IsStarted))
        return false;
    StopSending();
    return true;
}

void HeartbeatControl::Sleep() {
    if (sleeping_ || (!network_.Timer1.isActive() && !serial_.comFreq.isActive()))
        return;
    sleeping_ = true;
    // The answer a heartbeat sent just before waits for would come while the machine is
    // asleep; its miss would be the sleep's.
    network_.Timer2.stop();
    serial_.comResp.stop();
    status_.showSleeping();
    status_.noteSleep(SleepNote::Sleeping, -1);
}

bool HeartbeatControl::Wake(std::int64_t sleptMs) {
    const bool announced = sleeping_;
    // The clocks' distance now is the new normal: a later tick compares with it, so the same
    // sleep does not wake the heartbeat twice.
    sleepWatch.reset();
    if (!announced && sleptMs < 0)
        return false; // a second wake, or a wake with no sleep before it
    const bool net = network_.Timer1.isActive();
    const bool ser = serial_.comFreq.isActive();
    if (!net && !ser) {
        sleeping_ = false;
        return false;
    }
    sleeping_ = false;
    status_.noteSleep(announced ? SleepNote::Woke : SleepNote::WokeUnannounced, sleptMs);
    status_.showWoken();
    // Serial first: its write cannot raise, and a network send that fails raises its error
    // after both links have resumed.
    if (ser)
        serial_.Resume();
    if (net)
        network_.Resume();
    return true;
}

bool HeartbeatControl::beforeTick() {
    std::int64_t slept = 0;
    if (sleepWatch.slept(&slept)) {
        Wake(slept);
        return false;
    }
    return !sleeping_;
}

void HeartbeatControl::ShowStartTray() {
    if (!pages_.statusInTray())
        status_.showTray(TrayFor(TrayState::Stopped, false));
}

void HeartbeatControl::EndApply(bool restart) {
    // The tray for the new settings: a started heartbeat is shown as responding before its
    // first answer comes.
    status_.showTray(
        TrayFor(ini().ReadBool(keys::IsStarted) ? TrayState::Responding : TrayState::Stopped,
                pages_.statusInTray()));
    if (restart)
        StartSending();
}

} // namespace norva
