// Feeds arbitrary peer texts to the address grouping of the command port's guards.
#include "commands/AddressGroup.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string group = norva::AddressGroup(text);
    Check(norva::AddressGroup(text) == group);
    if (group == text)
        return 0; // no address: its own group (or an address text that is its own key)

    // An address: its key is a prefix and its length, an IPv6 scope kept after them; the
    // prefix, grouped again with the scope, gives the same key.
    const std::size_t slash = group.find('/');
    Check(slash != std::string::npos);
    const std::size_t scope = group.find('%');
    const std::string length =
        group.substr(slash, scope == std::string::npos ? scope : scope - slash);
    Check(length == "/8" || length == "/32" || length == "/64");
    Check(length != "/8" || group == "127.0.0.0/8");
    Check(scope == std::string::npos || length == "/64");
    const std::string prefix =
        group.substr(0, slash) + (scope == std::string::npos ? "" : group.substr(scope));
    Check(norva::AddressGroup(prefix) == group);
    return 0;
}
