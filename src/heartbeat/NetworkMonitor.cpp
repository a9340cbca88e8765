#include "heartbeat/NetworkMonitor.h"

#include "heartbeat/GuardedTimer.h"
#include "heartbeat/HeartbeatStatus.h"
#include "heartbeat/Tokens.h"
#include "platform/StrToInt.h"
#include "settings/SettingsHandle.h"
#include "settings/SettingsRules.h"
#include "transport/UdpEndpoint.h"

#include <arpa/inet.h>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

namespace norva {

namespace {

bool is(const std::vector<std::uint8_t>& data, std::string_view token) {
    return data.size() == token.size() && std::equal(data.begin(), data.end(), token.begin());
}

// The IPv4 address of a datagram's source text; an IPv4-mapped IPv6 address counts as its
// IPv4 address. Nothing for any other IPv6 address: the heartbeat goes to IPv4 only.
std::optional<std::uint32_t> sourceIPv4(const std::string& source) {
    in_addr v4{};
    if (::inet_pton(AF_INET, source.c_str(), &v4) == 1)
        return v4.s_addr;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, source.c_str(), &v6) == 1 && IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::uint32_t mapped;
        std::memcpy(&mapped, &v6.s6_addr[12], sizeof mapped);
        return mapped;
    }
    return std::nullopt;
}

} // namespace

NetworkMonitor::NetworkMonitor(SettingsHandle& MyIni, UdpEndpoint& UDPServer,
                               HeartbeatStatus& status, MessageBoxes& boxes)
    : MyIni_(MyIni), UDPServer_(UDPServer), status_(status) {
    // Precise timers: a coarse one may fire 5 % off, which would move the watchdog by 25 ms.
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setInterval(1000);
    Timer2.setTimerType(Qt::PreciseTimer);
    Timer2.setInterval(500);
    ConnectTimer(Timer1, boxes, [this] { Timer1Timer(); });
    ConnectTimer(Timer2, boxes, [this] { Timer2Timer(); });
    foreignTimer.setInterval(1000);
    ConnectTimer(foreignTimer, boxes, [this] { foreignTimerTimer(); });
}

SettingsFile& NetworkMonitor::ini() const {
    return MyIni_.file();
}

void NetworkMonitor::Start() {
    // Nothing starts while any of the four values is empty.
    const std::string ip = ini().ReadString(keys::IPAddr);
    const std::string port = ini().ReadString(keys::Port);
    const std::string freq = ini().ReadString(keys::Freq);
    const std::string fail = ini().ReadString(keys::FailCount);
    if (!HeartbeatFieldsFilled(ip, port, freq, fail))
        return;

    UDPServer_.setActive(false);
    countDown = Low16(StrToInt(ini().ReadString(keys::Freq)));
    Reload = countDown;
    FailCntr = Low16(StrToInt(ini().ReadString(keys::FailCount)));
    thePort = StrToInt(ini().ReadString(keys::Port));
    // New bindings on the device's port number: heartbeats leave from it and answers
    // arrive on it.
    UDPServer_.ClearBindings();
    UDPServer_.setDefaultPort(Low16(thePort));
    Timer1.start();
    SendNetHeartbeat();
    status_.showIcon(goodIcon);
    status_.setStatusText("OK");
}

void NetworkMonitor::SendNetHeartbeat() {
    const std::string host = ini().ReadString(keys::IPAddr);
    try {
        UDPServer_.Send(host, Low16(thePort), std::string(Tokens::Heartbeat));
    } catch (...) {
        // The device goes without this heartbeat as surely as if it had gone unanswered, so
        // it counts toward the alert like a miss; otherwise a lasting failure (the port held
        // by another program, an unreachable network) would never raise it. It is neither
        // sent nor missed in the counters, which count heartbeats that went out, and the
        // failure still goes on to the general error report.
        countFailure();
        throw;
    }
    if (!Timer2.isActive())
        Timer2.start();
    ++sentCount;
    announceCounters();
}

void NetworkMonitor::Timer1Timer() {
    if (beforeTick && !beforeTick())
        return;
    --countDown;
    if (countDown == 0) {
        countDown = Reload;
        SendNetHeartbeat();
    }
}

void NetworkMonitor::Timer2Timer() {
    if (beforeTick && !beforeTick())
        return;
    ++missedCount;
    announceCounters();
    Timer2.stop();
    countFailure();
}

void NetworkMonitor::countFailure() {
    --FailCntr;
    if (FailCntr != 0)
        return;
    status_.showFailure("Your Norva is not responding to the Heartbeat (Network)");
}

bool NetworkMonitor::fromDevice(const std::string& source) const {
    std::uint32_t device = 0;
    if (!UdpEndpoint::NumericIPv4(ini().ReadString(keys::IPAddr), device))
        return false;
    const std::optional<std::uint32_t> from = sourceIPv4(source);
    return from && *from == device;
}

void NetworkMonitor::UDPServerUDPRead(const std::vector<std::uint8_t>& AData,
                                      const std::string& source) {
    if (!fromDevice(source)) {
        // Anyone can send to this port: an answer from elsewhere must not make a silent
        // device look alive, end the wait for its answer or raise its message.
        reportForeign(foreign_.record(source, clock()));
        if (foreign_.owed() && !foreignTimer.isActive())
            foreignTimer.start();
        return;
    }
    UDPServerUDPRead(AData);
}

void NetworkMonitor::foreignTimerTimer() {
    reportForeign(foreign_.sweep(clock()));
    if (!foreign_.owed())
        foreignTimer.stop();
}

void NetworkMonitor::reportPendingForeign() {
    foreignTimer.stop();
    reportForeign(foreign_.flush());
}

void NetworkMonitor::reportForeign(const std::vector<ForeignSources::Report>& due) {
    for (const ForeignSources::Report& r : due)
        emit foreignDatagrams(QString::fromStdString(r.source), r.count);
}

void NetworkMonitor::UDPServerUDPRead(const std::vector<std::uint8_t>& AData) {
    Timer2.stop(); // any datagram ends the wait for an answer
    ++rcvdCount;
    // The device waits for its reply, so it leaves before anyone hears of the message: the
    // listeners may take long (the service writes a file, a journal line and bus signals).
    // They hear the same things in the same order as ever, a failed send included, which
    // still ends the handler after the caption.
    const char* caption = nullptr;
    std::exception_ptr replyFailed;
    if (is(AData, Tokens::Shutdown)) {
        caption = "Shutdown";
        replyFailed = reply(Tokens::ShutdownAck);
    } else if (is(AData, Tokens::Restart)) {
        caption = "Restart";
        replyFailed = reply(Tokens::RestartAck);
    }
    announceCounters();
    if (is(AData, Tokens::Ack)) {
        status_.showAnswered();
    } else if (caption) {
        // Only the caption changes: power actions come through the command port alone.
        emit captionRequested(QString::fromLatin1(caption));
        if (replyFailed)
            std::rethrow_exception(replyFailed);
    } else if (is(AData, Tokens::Nak)) {
        ++badCount;
        announceCounters();
    }
}

std::exception_ptr NetworkMonitor::reply(std::string_view token) {
    // To the configured address and port, not to wherever the message came from.
    try {
        const std::string host = ini().ReadString(keys::IPAddr);
        UDPServer_.Send(host, Low16(thePort), std::string(token));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

void NetworkMonitor::Resume() {
    Timer2.stop();
    countDown = Reload;
    Timer1.start();
    SendNetHeartbeat();
}

void NetworkMonitor::ClearStats() {
    sentCount = rcvdCount = missedCount = badCount = 0;
    announceCounters();
}

void NetworkMonitor::announceCounters() {
    emit countersChanged(sentCount, rcvdCount, badCount, missedCount);
}

} // namespace norva
