// Feeds arbitrary messages to the hello decoding and checks what it promises.
#include "commands/CommandPacket.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // An exactly sized copy, so AddressSanitizer sees any read past the received bytes.
    const std::vector<uint8_t> message(data, data + size);

    Check(norva::IsHello(message) == (size > 0 && data[0] == 0x68));

    const std::string text = norva::HelloText(message);
    Check(text.size() <= norva::kHelloTextLimit && text.size() <= size);
    // The text is the message's own bytes, without a zero byte...
    Check(std::memchr(text.data(), 0, text.size()) == nullptr);
    Check(text.empty() || std::memcmp(text.data(), data, text.size()) == 0);
    // ...and it stops only at a zero byte, the end of the message or the limit.
    Check(text.size() == size || text.size() == norva::kHelloTextLimit || data[text.size()] == 0);
    return 0;
}
