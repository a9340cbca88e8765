#pragma once

#include "heartbeat/ForeignSources.h"
#include "heartbeat/LinkCounters.h"
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace norva {

class HeartbeatStatus;
class MessageBoxes;
class SettingsFile;
class SettingsHandle;
class UdpEndpoint;

// The network heartbeat: "NorvaHB" to the device over UDP every "Freq" seconds, 500 ms for
// an answer, counters, and the failure alert after "FailCount" misses since the start (a
// heartbeat that could not be sent counts as one).
// Everything runs on the user-interface thread; what the user sees goes out through the
// shared HeartbeatStatus and the signals below. An error in a timer's handler goes to `boxes`.
class NetworkMonitor : public QObject {
    Q_OBJECT
public:
    NetworkMonitor(SettingsHandle& MyIni, UdpEndpoint& UDPServer, HeartbeatStatus& status,
                   MessageBoxes& boxes);

    // The network part of StartSending.
    void Start();
    // A heartbeat that cannot be sent counts toward the alert as a miss does (FailCntr), is
    // not counted as sent or missed, and its error is raised on to the caller.
    void SendNetHeartbeat();
    void Timer1Timer(); // heartbeat tick, every second while running
    void Timer2Timer(); // the answer watchdog, 500 ms after a heartbeat
    // Every datagram the endpoint receives, whatever the mode, with the address it came from
    // (the binding's peer: dotted IPv4 or IPv6 text). Only the device may answer or send its
    // messages: a datagram whose source is not the stored "IPAddr" is dropped before anything
    // else (the watchdog keeps waiting, no counter, no state, no caption) and counted per
    // source in `foreign` (foreignDatagrams, at most once a minute per source).
    // "IPAddr" is compared as the heartbeat is sent to it: a dotted quad or "localhost"
    // (127.0.0.1); an IPv4-mapped IPv6 source counts as its IPv4 address. A stored address
    // that is neither (a host name, garbage) matches no source, so every datagram is foreign
    // and the foreign report names who is answering.
    void UDPServerUDPRead(const std::vector<std::uint8_t>& AData, const std::string& source);
    // A datagram from the device's own address: the tests' shorthand for the above.
    void UDPServerUDPRead(const std::vector<std::uint8_t>& AData);
    // True when `source` is the stored device address, as UDPServerUDPRead judges it.
    bool fromDevice(const std::string& source) const;
    // Ticks once a second while foreign datagrams are owed a report; stops once none is. Its
    // handler is public for tests to drive.
    QTimer foreignTimer;
    void foreignTimerTimer();
    // Reports every foreign count not yet reported, at once (the service, as it stops).
    void reportPendingForeign();
    // The time the foreign reports go by; the steady clock unless a test sets another.
    std::function<ForeignSources::Clock::time_point()> clock = [] {
        return ForeignSources::Clock::now();
    };
    void ClearStats();
    // The machine woke: the wait for an answer from before the sleep ends without a miss, the
    // count to the next heartbeat starts again, and one heartbeat leaves now.
    void Resume();

    // Asked first by each timer handler; false skips the tick (the machine sleeps, or it has
    // just woken and the wake has sent its heartbeat). Unset: every tick runs.
    std::function<bool()> beforeTick;

    QTimer Timer1;
    QTimer Timer2;

    std::uint16_t countDown = 0;
    std::uint16_t Reload = 0;
    std::uint16_t FailCntr = 0;
    std::int32_t thePort = 0;
    // The four counters as one value.
    LinkCounters counters() const { return {sentCount, rcvdCount, badCount, missedCount}; }

    std::uint32_t sentCount = 0;
    std::uint32_t rcvdCount = 0;
    std::uint32_t badCount = 0;
    std::uint32_t missedCount = 0;

signals:
    // The four counters after any of them changed (a send, an answer, a NAK, a miss, a
    // clear). Values only, so whoever shows them needs nothing of the monitor.
    void countersChanged(std::uint32_t sent, std::uint32_t rcvd, std::uint32_t bad,
                         std::uint32_t missed);
    // The device's "NorvaShutdown" or "NorvaRestart" asks for this window caption.
    void captionRequested(const QString& caption);
    // `count` datagrams from `source`, not the device's address, were dropped since the last
    // report of that source (at most one a minute each; an empty source stands for the many
    // sources beyond those tracked one by one).
    void foreignDatagrams(const QString& source, std::uint64_t count);

private:
    SettingsFile& ini() const;
    void announceCounters();
    // One more heartbeat the device went without: the alert when FailCntr reaches 0.
    void countFailure();
    // Sends the device its reply to a message; a failure is returned, for the handler to
    // raise once the message has been announced.
    std::exception_ptr reply(std::string_view token);
    void reportForeign(const std::vector<ForeignSources::Report>& due);

    ForeignSources foreign_;

    SettingsHandle& MyIni_;
    UdpEndpoint& UDPServer_;
    HeartbeatStatus& status_;
};

} // namespace norva
