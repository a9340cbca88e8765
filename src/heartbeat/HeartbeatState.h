#pragma once

namespace norva {

// The heartbeat's state as everything outside the agent sees it. Plain C++, so that the
// service's plain parts (the metrics file) take the same value the agent gives.
enum class HeartbeatState {
    Responding,    // started, and the device answers (or the heartbeat has just started)
    NotResponding, // the configured number of heartbeats went unanswered
    Stopped,
    // Started in USB mode while the serial device is missing or gone: the heartbeat resumes
    // when it is back (only where someone waits for it, the service).
    WaitingForSerialDevice,
};

// The heartbeat's mode as stored: network wins when both flags are set, none when neither.
enum class HeartbeatMode { None, Network, Usb };

} // namespace norva
