// Feeds arbitrary messages to the command-packet decoding and the user-name comparison.
#include "commands/CommandPacket.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The reference reading of a field: its bytes up to the first zero within the field.
void CheckField(const std::string& text, const std::array<uint8_t, 47>& record,
                std::size_t offset) {
    Check(text.size() <= norva::kCredentialFieldSize);
    Check(std::memcmp(text.data(), record.data() + offset, text.size()) == 0);
    Check(text.size() == norva::kCredentialFieldSize || record[offset + text.size()] == 0);
    Check(std::memchr(text.data(), 0, text.size()) == nullptr);
}

bool IsAsciiLetter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // An exactly sized copy, so AddressSanitizer sees any read past the received bytes.
    const std::vector<uint8_t> message(data, data + size);
    const norva::CommandPacket packet = norva::DecodeCommandPacket(message);

    std::array<uint8_t, 47> record{};
    std::copy_n(data, std::min(size, record.size()), record.begin());
    Check(packet.type == record[0]);
    Check(packet.command == record[43]);
    CheckField(packet.userName, record, 1);
    CheckField(packet.password, record, 22);

    // The user-name comparison is an equivalence that ignores only the case of A-Z.
    const std::string& a = packet.userName;
    const std::string& b = packet.password;
    const bool same = norva::SameUserName(a, b);
    Check(same == norva::SameUserName(b, a));
    Check(norva::SameUserName(a, a));
    if (a == b)
        Check(same);
    if (same) {
        Check(a.size() == b.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            const unsigned char x = static_cast<unsigned char>(a[i]);
            const unsigned char y = static_cast<unsigned char>(b[i]);
            Check(x == y || (IsAsciiLetter(x) && IsAsciiLetter(y) && (x ^ y) == 0x20));
        }
    }
    std::string upper = a;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    Check(norva::SameUserName(a, upper));
    return 0;
}
