#include "Log.h"

#include <ctime>

namespace norva {

void Log::line(std::string_view what, std::string_view text) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, now.tv_nsec / 1000000);
    std::fprintf(out_, "%s %.*s %.*s\n", stamp, static_cast<int>(what.size()), what.data(),
                 static_cast<int>(text.size()), text.data());
    std::fflush(out_);
}

std::string Log::quote(std::string_view bytes, std::size_t limit) {
    // Long payloads keep a head that still shows what they start with.
    const bool cut = bytes.size() > limit;
    const auto shown = cut ? bytes.substr(0, limit * 3 / 4) : bytes;
    std::string out = "\"";
    for (const char ch : shown) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
                out += buffer;
            }
        }
    }
    out += '"';
    if (cut)
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

std::string Log::hex(std::string_view bytes) {
    std::string out;
    for (const char ch : bytes) {
        char buffer[4];
        std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(ch));
        if (!out.empty())
            out += ' ';
        out += buffer;
    }
    return out;
}

} // namespace norva
