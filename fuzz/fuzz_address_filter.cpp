// Feeds arbitrary AcceptFrom values to the address list's parser and matcher.
#include "commands/AddressFilter.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool IsSeparator(char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const norva::AddressFilter filter(text);

    // Entries are what lies between separators; each is either good or gives one error.
    std::size_t entries = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!IsSeparator(text[i]) && (i == 0 || IsSeparator(text[i - 1])))
            ++entries;
    Check(filter.size() + filter.errors().size() == entries);
    Check(filter.restricts() == (entries != 0));
    for (const std::string& error : filter.errors())
        Check(error.rfind("AcceptFrom: \"", 0) == 0);

    // A bad entry never lets anyone in: without good entries, no peer is allowed.
    const char* peers[] = {"198.18.0.2", "::1", "::ffff:10.0.0.1", "fe80::1", "0.0.0.0", ""};
    for (const char* peer : peers) {
        const bool allowed = filter.allows(peer);
        if (!filter.restricts())
            Check(allowed);
        else if (filter.size() == 0)
            Check(!allowed);
    }
    // The input is also a peer text; matching it must not misbehave either.
    const bool self = filter.allows(text);
    if (filter.restricts() && filter.size() == 0)
        Check(!self);
    return 0;
}
