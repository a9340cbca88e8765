#include "commands/CommandPacket.h"

#include <algorithm>
#include <array>

namespace norva {

namespace {

// Text of a fixed-width field: stops at the first zero byte, or takes the whole field.
std::string FieldText(const uint8_t* field, std::size_t width) {
    const uint8_t* end = std::find(field, field + width, uint8_t{0});
    return std::string(field, end);
}

char FoldAsciiUpper(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool IsHello(const std::vector<uint8_t>& message) {
    return !message.empty() && message.front() == kHelloFirstByte;
}

std::string HelloText(const std::vector<uint8_t>& message) {
    return FieldText(message.data(), std::min(message.size(), kHelloTextLimit));
}

CommandPacket DecodeCommandPacket(const std::vector<uint8_t>& message) {
    // Work on a zero-filled copy of the record so a short message never makes us read past
    // what was received.
    std::array<uint8_t, kCommandPacketSize> record{};
    std::copy_n(message.begin(), std::min(message.size(), record.size()), record.begin());

    constexpr std::size_t userNameOffset = 1;
    constexpr std::size_t passwordOffset = userNameOffset + kCredentialFieldSize;
    constexpr std::size_t commandOffset = passwordOffset + kCredentialFieldSize;
    static_assert(commandOffset == 43);

    CommandPacket packet;
    packet.type = record[0];
    packet.userName = FieldText(record.data() + userNameOffset, kCredentialFieldSize);
    packet.password = FieldText(record.data() + passwordOffset, kCredentialFieldSize);
    packet.command = record[commandOffset];
    return packet;
}

bool SameUserName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return FoldAsciiUpper(x) == FoldAsciiUpper(y); });
}

} // namespace norva
