#pragma once

#include "heartbeat/HeartbeatState.h"
#include "heartbeat/LinkCounters.h"
#include "platform/FileOps.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace norva {

// The service's counters and state as a file in the Prometheus text exposition format, for
// the node exporter's textfile collector (which reads every "*.prom" file of its folder): a
// fleet is watched through the exporter it already runs, with no network port of the
// service's own.
//
// The metrics, every one with its # HELP and # TYPE lines, in this order:
//   norvahb_up                              gauge   1 while the service runs (the service may
//                                                   write 0 as it stops)
//   norvahb_heartbeat_running               gauge   0/1
//   norvahb_device_responding               gauge   0/1; 0 when stopped or not responding
//   norvahb_heartbeat_mode{mode="none"|"network"|"usb"}
//                                           gauge   1 for the current mode, 0 for the others
//   norvahb_network_sent_total              counter heartbeats sent over UDP
//   norvahb_network_received_total          counter datagrams received from the device
//   norvahb_network_nak_total               counter negative answers ("NorvaNAK")
//   norvahb_network_missed_total            counter heartbeats left without an answer
//   norvahb_usb_sent_total                  counter heartbeats written to the serial link
//   norvahb_usb_received_total              counter answers read from the serial link
//   norvahb_usb_missed_total                counter heartbeats left without an answer
//   norvahb_commands_accepted_total         counter commands accepted on the command port
//   norvahb_commands_rejected_total         counter commands refused on the command port
//   norvahb_power_requests_failed_total     counter restart and shutdown requests the login
//                                                   manager refused
//   norvahb_state_change_timestamp_seconds  gauge   unix time of the last change between
//                                                   responding, not responding and stopped
//   norvahb_sleep_inhibited                 gauge   1 while the service holds the login
//                                                   manager's sleep lock (block or delay)
// The heartbeat counters start over when they are cleared (Start, Clear) and wrap at 2^32,
// as the program keeps them; rate() and increase() take either for a counter reset.
//
// write() puts the whole text in place at once: it goes to a temporary file in the same
// folder (".<name>.XXXXXX", which does not end in ".prom", so the collector never reads it
// half-written), is made readable by all (0644: the exporter runs as another user) and renamed
// over the old file. It is not flushed to the disk: a reader sees the old file or the new one
// either way, the service writes the file afresh at every start, so after a power cut nothing
// older than that start is ever read, and an fsync each second would make the disk commit
// its journal each second on a machine that is otherwise idle. A failed write returns what went
// wrong, for the caller to log, and leaves the old file as it was and no temporary file behind.
class MetricsFile {
public:
    // Everything the file shows: the agent's own values (its state, mode and counters) and
    // the service's counts.
    struct Values {
        bool up = true;
        HeartbeatMode mode = HeartbeatMode::None;
        // Responding / NotResponding: the heartbeat runs, and the device answers / does not
        // answer (has reached the fail count). Sleeping: it runs, paused for the PC's sleep.
        // Stopped or waiting for the serial device: it
        // does not run.
        HeartbeatState state = HeartbeatState::Stopped;
        LinkCounters network;
        LinkCounters usb; // its nak is always 0 and not shown
        std::uint64_t commandsAccepted = 0;
        std::uint64_t commandsRejected = 0;
        std::uint64_t powerRequestsFailed = 0;
        std::int64_t stateChangedAt = 0; // unix time in seconds
        bool sleepInhibited = false;
    };

    // `ops` makes the file's system calls (null: the system's own); tests pass one that fails.
    // It must outlive this object.
    explicit MetricsFile(std::filesystem::path path, FileOps* ops = nullptr);

    const std::filesystem::path& path() const { return path_; }

    // Replaces the file with `values`. The empty text on success; otherwise one line,
    // "cannot write the metrics file <path>: <reason>".
    std::string write(const Values& values);

    // The file's text for `values`.
    static std::string format(const Values& values);

private:
    std::filesystem::path path_;
    FileOps* ops_;
};

} // namespace norva
