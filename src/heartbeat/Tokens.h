#pragma once

#include <string_view>

namespace norva::Tokens {

// The texts exchanged with the device over UDP and the serial line: plain ASCII, one token
// per datagram or write, no terminator. Every token sent or matched comes from here.
inline constexpr std::string_view Heartbeat = "NorvaHB";       // PC -> device
inline constexpr std::string_view Ack = "NorvaACK";            // device -> PC
inline constexpr std::string_view Nak = "NorvaNAK";            // device -> PC (UDP)
inline constexpr std::string_view Shutdown = "NorvaShutdown";  // device -> PC (UDP)
inline constexpr std::string_view Restart = "NorvaRestart";    // device -> PC (UDP)
inline constexpr std::string_view ShutdownAck = "shutdownACK"; // PC -> device (UDP)
inline constexpr std::string_view RestartAck = "restartACK";   // PC -> device (UDP)
inline constexpr std::string_view RestartNotice = "NorvaRB";   // PC -> device (UDP)

} // namespace norva::Tokens
