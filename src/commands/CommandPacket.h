#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace norva {

// Messages arriving on the command port. There is no framing: one read cycle is one message,
// and its first byte tells a hello from a command packet.

inline constexpr uint8_t kHelloFirstByte = 0x68; // 'h'
// Only this many characters of a hello carry meaning; the rest is dropped.
inline constexpr std::size_t kHelloTextLimit = 1024;

// The command record: type, user name, password, command, three unused bytes.
inline constexpr std::size_t kCommandPacketSize = 47;
inline constexpr std::size_t kCredentialFieldSize = 21;

// Values of CommandPacket::type and CommandPacket::command.
inline constexpr uint8_t eCmnd_get = 7;
inline constexpr uint8_t kCommandRestart = 1;
inline constexpr uint8_t kCommandShutdown = 2;

struct CommandPacket {
    uint8_t type = 0;
    // Raw 8-bit bytes as the device sent them, without any code-page conversion.
    std::string userName;
    std::string password;
    uint8_t command = 0;
};

// True when the message is a hello, i.e. its first byte is 'h'. An empty message is not.
bool IsHello(const std::vector<uint8_t>& message);

// The text of a hello: one character per byte, up to the first zero byte or the end of the
// message, and never more than kHelloTextLimit characters.
std::string HelloText(const std::vector<uint8_t>& message);

// Reads the first kCommandPacketSize bytes of the message. Bytes that did not arrive count as
// zero; nothing past the received bytes is read, and anything after the record is ignored.
// Each credential field ends at its first zero byte or takes all kCredentialFieldSize bytes.
CommandPacket DecodeCommandPacket(const std::vector<uint8_t>& message);

// User names match when they are equal after folding A-Z to a-z. No other character folds:
// accented letters and punctuation must match byte for byte.
bool SameUserName(const std::string& a, const std::string& b);

} // namespace norva
