#include "heartbeat/SerialMonitor.h"

#include "heartbeat/GuardedTimer.h"
#include "heartbeat/HeartbeatStatus.h"
#include "heartbeat/Tokens.h"
#include "platform/StrToInt.h"
#include "settings/SettingsHandle.h"
#include "transport/SerialPort.h"

#include <string>

namespace norva {

SerialMonitor::SerialMonitor(SettingsHandle& MyIni, SerialPort& myPort, HeartbeatStatus& status,
                             MessageBoxes& boxes)
    : MyIni_(MyIni), myPort_(myPort), status_(status) {
    comFreq.setTimerType(Qt::PreciseTimer);
    comFreq.setInterval(1000);
    comResp.setTimerType(Qt::PreciseTimer);
    comResp.setInterval(500);
    ConnectTimer(comFreq, boxes, [this] { comFreqTimer(); });
    ConnectTimer(comResp, boxes, [this] { comRespTimer(); });
}

void SerialMonitor::Start() {
    const SettingsFile& ini = MyIni_.file();
    comCountDown = Low16(StrToInt(ini.ReadString(keys::comFreq)));
    comFailCntr = Low16(StrToInt(ini.ReadString(keys::comFail)));
    comReload = comCountDown;
    comFreq.start();
    SendComHeartbeat();
    status_.showIcon(goodIcon);
    status_.setStatusText("OK");
}

void SerialMonitor::SendComHeartbeat() {
    try {
        myPort_.PutString(std::string(Tokens::Heartbeat));
    } catch (const std::exception&) {
        // A port that cannot be written shows up as misses and, in time, the alert.
    }
    if (!comResp.isActive())
        comResp.start();
    ++comSentCount;
    announceCounters();
}

void SerialMonitor::comFreqTimer() {
    if (beforeTick && !beforeTick())
        return;
    --comCountDown;
    if (comCountDown == 0) {
        comCountDown = comReload;
        SendComHeartbeat();
    }
}

void SerialMonitor::comRespTimer() {
    if (beforeTick && !beforeTick())
        return;
    comResp.stop();
    ++comMissedCount;
    announceCounters();
    --comFailCntr;
    if (comFailCntr != 0)
        return;
    status_.showFailure("Your Norva is not responding to the Heartbeat (USB)");
}

void SerialMonitor::myPortTriggerAvail(SerialPort& CP, std::uint16_t Count) {
    std::string text;
    // Fewer than 8 bytes stay unread in the port and are counted again with the next event.
    if (Count >= 8) {
        for (std::uint16_t i = 0; i < Count; ++i)
            text.push_back(static_cast<char>(CP.GetChar()));
        ++comrcvdCount;
        announceCounters();
        if (status_.failed)
            status_.showAnswered();
    }
    if (text == Tokens::Ack)
        comResp.stop();
}

void SerialMonitor::myPortLinkLost() {
    emit portLost();
}

void SerialMonitor::Resume() {
    comResp.stop();
    comCountDown = comReload;
    comFreq.start();
    SendComHeartbeat();
}

void SerialMonitor::ComClearStats() {
    comSentCount = comrcvdCount = comMissedCount = 0;
    announceCounters();
}

void SerialMonitor::announceCounters() {
    emit countersChanged(comSentCount, comrcvdCount, comMissedCount);
}

} // namespace norva
