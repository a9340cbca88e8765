#include "heartbeat/HeartbeatControl.h"

#include "heartbeat/NetworkMonitor.h"
#include "heartbeat/SerialMonitor.h"
#include "platform/MessageBoxes.h"
#include "settings/SettingsHandle.h"
#include "transport/SerialPort.h"
#include "ui/CEditIPAddr.h"
#include "ui/StatusView.h"
#include "ui/TForm1Ui.h"

#include <QLineEdit>
#include <QRadioButton>
#include <string>

namespace norva {

HeartbeatControl::HeartbeatControl(SettingsHandle& MyIni, StatusView& view, NetworkMonitor& network,
                                   SerialMonitor& serial, SerialPort& myPort)
    : MyIni_(MyIni), view_(view), network_(network), serial_(serial), myPort_(myPort) {}

SettingsFile& HeartbeatControl::ini() const {
    return MyIni_.file();
}

void HeartbeatControl::StartSending() {
    if (view_.ui().networkRB->isChecked())
        network_.Start();
    if (view_.ui().usbRB->isChecked())
        serial_.Start();
}

void HeartbeatControl::StopSending() {
    network_.Timer1.stop();
    network_.Timer2.stop();
    serial_.comFreq.stop();
    serial_.comResp.stop();
    view_.showIcon(stoppedIcon);
    view_.setStatusText("Stopped");
    if (view_.statusInTray())
        view_.setTray(3, "Heartbeat is not running");
    else
        view_.setTray(2, "Norva utility");
}

void HeartbeatControl::Button2Click() {
    network_.ClearStats();
    serial_.ComClearStats();
    if (loadSetup)
        loadSetup();
    const TForm1Ui& ui = view_.ui();
    if (ui.noneRB->isChecked())
        return;
    // Reading the address control's text also fills its empty fields with "0".
    const std::string address = ui.IPAddr->Text();
    if (!address.empty() && !ui.Port->text().isEmpty() && !ui.Freq->text().isEmpty() &&
        !ui.Fail->text().isEmpty()) {
        StartSending();
        view_.setStatusText("OK");
    }
    ini().WriteBool(keys::IsStarted, true);
}

void HeartbeatControl::Button4Click() {
    StopSending();
    ini().WriteBool(keys::IsStarted, false);
}

void HeartbeatControl::OpenStoredPort() {
    if (ini().ReadString(keys::ComPort) == "None")
        return;
    for (unsigned n = 1; n <= 50; ++n) {
        if (ini().ReadString(keys::ComPort) != "COM" + std::to_string(n))
            continue;
        if (myPort_.IsComPortAvailable(n)) {
            myPort_.setComNumber(static_cast<std::uint16_t>(n));
            myPort_.setOpen(true);
        } else {
            view_.boxes().showError("Com" + std::to_string(n) +
                                    " is no longer available\rPlease select another comport");
            StopSending();
        }
    }
}

void HeartbeatControl::ResumeHeartbeat() {
    if (ini().ReadBool(keys::IsStarted)) {
        if (view_.ui().networkRB->isChecked())
            StartSending();
        else if (view_.ui().usbRB->isChecked() && myPort_.Open())
            StartSending();
        return;
    }
    StopSending();
    view_.setTray(3, "Heartbeat is not running");
}

bool HeartbeatControl::BeginApply() {
    if (!ini().ReadBool(keys::IsStarted))
        return false;
    StopSending();
    return true;
}

void HeartbeatControl::EndApply(bool restart) {
    if (restart)
        StartSending();
}

} // namespace norva
