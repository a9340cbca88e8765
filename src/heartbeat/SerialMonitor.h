#pragma once

#include "heartbeat/LinkCounters.h"
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>

namespace norva {

class HeartbeatStatus;
class MessageBoxes;
class SerialPort;
class SettingsHandle;

// The USB heartbeat: "NorvaHB" written to the serial port every "comFreq" seconds, 500 ms
// for "NorvaACK", counters, and the failure alert after "comFail" misses since the start.
// A write that fails is ignored but still counted and watched, so it becomes a miss.
class SerialMonitor : public QObject {
    Q_OBJECT
public:
    SerialMonitor(SettingsHandle& MyIni, SerialPort& myPort, HeartbeatStatus& status,
                  MessageBoxes& boxes);

    // The USB part of StartSending.
    void Start();
    void SendComHeartbeat();
    void comFreqTimer();
    void comRespTimer();
    void myPortTriggerAvail(SerialPort& CP, std::uint16_t Count);
    // The port's OnLinkLost: announces portLost.
    void myPortLinkLost();
    void ComClearStats();
    // The machine woke: the wait for an answer from before the sleep ends without a miss, the
    // count to the next heartbeat starts again, and one heartbeat is written now.
    void Resume();

    // Asked first by each timer handler; false skips the tick (the machine sleeps, or it has
    // just woken and the wake has written its heartbeat). Unset: every tick runs.
    std::function<bool()> beforeTick;

    QTimer comFreq;
    QTimer comResp;

    std::uint16_t comCountDown = 0;
    std::uint16_t comReload = 0;
    std::uint16_t comFailCntr = 0;
    // The counters as one value (the serial link has no negative answers).
    LinkCounters counters() const { return {comSentCount, comrcvdCount, 0, comMissedCount}; }

    std::uint32_t comSentCount = 0;
    std::uint32_t comrcvdCount = 0;
    std::uint32_t comMissedCount = 0;

signals:
    // The three counters after any of them changed (a send, an answer, a miss, a clear).
    void countersChanged(std::uint32_t sent, std::uint32_t rcvd, std::uint32_t missed);
    // The open port's device has gone (unplugged, or the line hung up): the port still reads
    // open but carries nothing any more, and does not reopen by itself. Nothing here changes;
    // a listener may close the port and wait for the device.
    void portLost();

private:
    void announceCounters();

    SettingsHandle& MyIni_;
    SerialPort& myPort_;
    HeartbeatStatus& status_;
};

} // namespace norva
