#include "platform/StrToInt.h"

#include "platform/Error.h"

#include <cstdint>

namespace norva {

std::int32_t StrToInt(const std::string& text) {
    auto fail = [&]() { return ConvertError("''" + text + "'' is not a valid integer value"); };
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (i < n && blank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t firstDigit = i;
    std::int64_t value = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<std::int64_t>(INT32_MAX) + 1)
            throw fail();
        ++i;
    }
    if (i == firstDigit)
        throw fail();
    while (i < n && blank(text[i]))
        ++i;
    if (i != n)
        throw fail();
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        throw fail();
    return static_cast<std::int32_t>(value);
}

} // namespace norva
