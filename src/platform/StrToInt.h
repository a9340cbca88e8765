#pragma once

#include <cstdint>
#include <string>

namespace norva {

// Converts a settings value to a whole number: optional blanks around it, an optional
// sign, then decimal digits, within the signed 32-bit range. Anything else raises
// ConvertError "''<text>'' is not a valid integer value".
std::int32_t StrToInt(const std::string& text);

// The low 16 bits of a whole number, as the heartbeat fields and port numbers keep it
// ("Port" 70000 becomes 4464).
inline std::uint16_t Low16(std::int32_t value) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}

} // namespace norva
