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
    // Started, and paused while the machine sleeps: nothing is sent, nothing is missed.
    Sleeping,
};

// What happened around a sleep of the machine, as the agent announces it.
enum class SleepNote {
    Sleeping,        // the login manager announced a sleep: the heartbeat paused
    Woke,            // the machine woke from an announced sleep: the heartbeat resumed
    WokeUnannounced, // the clocks show a sleep nobody announced: the heartbeat resumed
    LockTaken,       // the sleep lock is held (block or delay, as AllowSleep says)
    LockReleased,    // the sleep lock is given back
    LockRefused,     // the login manager refused the lock: the heartbeat goes on without it
};

// The heartbeat's mode as stored: network wins when both flags are set, none when neither.
enum class HeartbeatMode { None, Network, Usb };

} // namespace norva
