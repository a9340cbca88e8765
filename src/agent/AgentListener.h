#pragma once

#include "heartbeat/HeartbeatStatus.h"
#include "heartbeat/LinkCounters.h"
#include "heartbeat/TrayRules.h"

#include <QString>
#include <cstdint>

namespace norva {

// Everything the agent announces, as one interface: the window (through its backend), the
// service's journal and metrics, its bus interface and the tests' announcement log each
// implement all of it. A new announcement is a new pure virtual here, so every observer that
// does not handle it stops compiling instead of silently missing it.
//
// Called on the agent's thread (the user-interface thread), in the order things happened,
// and only while the listener is registered (Agent::addListener). A listener must not add or
// remove listeners from inside a call.
class AgentListener {
public:
    virtual ~AgentListener() = default;

    // The heartbeat as the status page and tray show it. The status picture comes again at
    // every answer (and at a start, before any answer): a listener that cares about changes
    // compares with what it showed.
    virtual void iconShown(tAppIcons icon) = 0;
    virtual void statusTextShown(const QString& text) = 0;
    virtual void trayShown(const TrayLook& look) = 0;
    // The configured number of heartbeats went unanswered: alert the user (the text is the
    // balloon's, where the alert is a balloon).
    virtual void noResponse(const QString& balloonText) = 0;
    // One link's counters changed (a heartbeat, an answer, a miss, a clear).
    virtual void countersChanged(Link link, const LinkCounters& counters) = 0;
    // The serial device of a USB heartbeat went away: its start now waits for the device.
    virtual void serialPortLost() = 0;
    // Settings were applied: the mode and the device's address may have changed.
    virtual void settingsApplied() = 0;

    // The device sent a message (a caption for the window).
    virtual void deviceMessage(const QString& caption) = 0;
    // Datagrams from an address that is not the device's reached the heartbeat port and were
    // dropped: `count` of them from `source` since its last report, at most one report per
    // source a minute (an empty source: the many beyond those counted one by one).
    // ForeignSources::Line is its line.
    virtual void foreignDatagrams(const QString& source, std::uint64_t count) = 0;
    // The command port and the power actions: the window's caption, its status line (Label4),
    // its log (Memo1).
    virtual void captionShown(const QString& caption) = 0;
    virtual void statusLine(const QString& text) = 0;
    virtual void logLine(const QString& line) = 0;
    // A command was accepted from `source` ("restart" or "shutdown"), or refused.
    virtual void commandAccepted(const QString& source, const QString& action) = 0;
    virtual void commandRejected() = 0;
    // The login manager refused a restart or shutdown ("restart", "shutdown").
    virtual void powerRequestFailed(const QString& action, const QString& error) = 0;

    // The pending action's warning: put on screen (modally for the test button), one second
    // less, the count ended.
    virtual void warningShown(std::uint8_t mode, bool modal) = 0;
    virtual void warningTicked(std::int32_t countdown) = 0;
    virtual void warningEnded() = 0;

    // The machine's sleep: the heartbeat paused for it or resumed after it, the sleep lock
    // taken, given back or refused. `detail`: the login manager's refusal, or for a wake seen
    // by the clocks how long the machine slept ("12 s"); otherwise empty.
    virtual void sleepChanged(SleepNote note, const QString& detail) = 0;

protected:
    AgentListener() = default;
    AgentListener(const AgentListener&) = default;
    AgentListener& operator=(const AgentListener&) = default;
};

} // namespace norva
