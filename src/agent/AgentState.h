#pragma once

#include "bus/BusContract.h"
#include "heartbeat/HeartbeatState.h"
#include "heartbeat/LinkCounters.h"

#include <QMap>
#include <QString>
#include <cstdint>

namespace norva {

// The pending action's warning: on screen or not, its mode (0 restart, 1 shutdown), and the
// seconds left of its count.
struct WarningState {
    bool onScreen = false;
    std::uint8_t mode = 0;
    std::int32_t countdown = 0;

    friend bool operator==(const WarningState&, const WarningState&) = default;
};

// The agent as one value: what the window's status page, the bus's properties, the metrics
// file and the admin's tools show. Agent::state() gives it; the listeners hear what changed.
struct AgentState {
    HeartbeatState state = HeartbeatState::Stopped;
    HeartbeatMode mode = HeartbeatMode::None;
    QString deviceAddress; // "Setup/IPAddr" as stored, empty when none is
    LinkCounters network;
    LinkCounters usb;
    WarningState warning;
    // The sleep lock is held now, and whether it is a delay lock ([Setup] AllowSleep) or a
    // block lock. Mode as stored, read with the other stored values.
    bool sleepInhibited = false;
    bool allowSleep = false;

    friend bool operator==(const AgentState&, const AgentState&) = default;
};

// The state and the mode as the bus, the metrics file and the admin's tools name them
// (bus::state, bus::mode): spelt here once, read back by whoever follows the bus.
constexpr const char* StateName(HeartbeatState state) {
    switch (state) {
    case HeartbeatState::Responding:
        return bus::state::Responding;
    case HeartbeatState::NotResponding:
        return bus::state::NotResponding;
    case HeartbeatState::WaitingForSerialDevice:
        return bus::state::WaitingForSerialDevice;
    case HeartbeatState::Sleeping:
        return bus::state::Sleeping;
    case HeartbeatState::Stopped:
        break;
    }
    return bus::state::Stopped;
}
constexpr const char* ModeName(HeartbeatMode mode) {
    return mode == HeartbeatMode::Network ? bus::mode::Network
           : mode == HeartbeatMode::Usb   ? bus::mode::Usb
                                          : bus::mode::None;
}
// The state a name stands for; an unknown name is Stopped (a newer service's state that this
// program does not know protects nothing it can show).
inline HeartbeatState StateFromName(const QString& name) {
    for (const HeartbeatState s :
         {HeartbeatState::Responding, HeartbeatState::NotResponding,
          HeartbeatState::WaitingForSerialDevice, HeartbeatState::Sleeping})
        if (name == QLatin1String(StateName(s)))
            return s;
    return HeartbeatState::Stopped;
}
inline HeartbeatMode ModeFromName(const QString& name) {
    for (const HeartbeatMode m : {HeartbeatMode::Network, HeartbeatMode::Usb})
        if (name == QLatin1String(ModeName(m)))
            return m;
    return HeartbeatMode::None;
}

// The two settings pages' values, named as the settings that cross the bus are ("Setup/Freq",
// "GSD/username", ...: bus::SettingsSchema), the value as the file holds it (a flag "0" or
// "1").
using SettingsValues = QMap<QString, QString>;

} // namespace norva
