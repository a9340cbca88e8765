#pragma once

#include <string_view>

namespace norva {

// A text setting: where it lives in the file, and what a read gives when it is missing.
struct TextKey {
    std::string_view section;
    std::string_view name;
    std::string_view fallback;
};

// A boolean setting (stored as "1"/"0"), with what a read gives when it is missing or not a
// number.
struct FlagKey {
    std::string_view section;
    std::string_view name;
    bool fallback = false;
};

// Every section and key of the settings file, named once: every reader and writer in the
// program goes through these, and nothing else spells a key.
//
// The odd spellings are deliberate and must not be tidied: "AlertPedningAction", the key that
// is written as "username" and read as "Username", and the serial keys read from a section
// spelt "setup". They are the file's format, the one the files on users' machines already
// hold. Names match whatever their case, so "username" and "Username" reach the same line;
// but "AlertPendingAction" would be another key, and every stored choice would be lost.
//
// The fallback is the one the read sites use; the two sites that use another (the address
// shown on the heartbeat page and on the start-up label) pass theirs at the call.
namespace keys {

// [Setup]: the heartbeat and the window.
inline constexpr FlagKey StartInTray{"Setup", "StartInTray"};
inline constexpr FlagKey ShowStatusInTray{"Setup", "ShowStatusInTray"};
inline constexpr FlagKey Network{"Setup", "Network"};
inline constexpr FlagKey USB{"Setup", "USB"};
inline constexpr TextKey IPAddr{"Setup", "IPAddr", ""};
inline constexpr TextKey Port{"Setup", "Port", "9100"};
inline constexpr TextKey Freq{"Setup", "Freq", "5"};
inline constexpr TextKey FailCount{"Setup", "FailCount", "3"};
inline constexpr TextKey ComPort{"Setup", "ComPort", "None"};
// Whether the PC may sleep while the heartbeat runs. Absent or 0: a block lock holds sleep off
// (the device would otherwise power-cycle the sleeping PC); 1: a delay lock only, and the
// heartbeat pauses for the sleep (the device's own watchdog must then allow for it). Set by
// hand, not on the pages.
inline constexpr FlagKey AllowSleep{"Setup", "AllowSleep"};
// Only an edit by hand sets these two; the serial heartbeat reads them under "setup".
inline constexpr TextKey comFreq{"setup", "comFreq", "5"};
inline constexpr TextKey comFail{"setup", "comFail", "3"};

// [Run]: whether the user last started the heartbeat, so the next start resumes it.
inline constexpr FlagKey IsStarted{"Run", "IsStarted"};

// [GSD]: what a command must carry, and whether the warning comes first.
inline constexpr TextKey Username{"GSD", "Username", "Ostra"};
// The same key as Username, in the spelling the shutdown page's Apply writes.
inline constexpr TextKey usernameWritten{"GSD", "username", "Ostra"};
inline constexpr TextKey Password{"GSD", "Password", "ferno"};
inline constexpr FlagKey AlertPedningAction{"GSD", "AlertPedningAction"};
// [GSD], added by hand only (no page writes them): how the command port treats guessing.
// After LockoutFailures rejected packets from one address within LockoutWindow seconds, that
// address's packets go unchecked for LockoutSeconds seconds. Whole numbers, as text.
inline constexpr TextKey LockoutFailures{"GSD", "LockoutFailures", "5"};
inline constexpr TextKey LockoutWindow{"GSD", "LockoutWindow", "60"};
inline constexpr TextKey LockoutSeconds{"GSD", "LockoutSeconds", "300"};
// The peers that may send commands: IPv4 and IPv6 addresses and CIDR ranges, separated by
// commas or spaces. Empty or missing: anyone.
inline constexpr TextKey AcceptFrom{"GSD", "AcceptFrom", ""};

// [GracefulRestart]: the device that asked for the restart under way.
inline constexpr TextKey SourceIP{"GracefulRestart", "SourceIP", ""};

// [Service]: read by the service only. When set, the service writes its counters and state
// to this path for the node exporter's textfile collector.
inline constexpr TextKey MetricsFile{"Service", "MetricsFile", ""};

} // namespace keys

} // namespace norva
