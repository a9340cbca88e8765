#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace norva {

// One line per event on a stream, "HH:MM:SS.mmm <what> <text>", flushed at once so that a
// reader at the far end of a pipe sees each line as it happens.
class Log {
public:
    explicit Log(std::FILE* out) : out_(out) {}

    void line(std::string_view what, std::string_view text);

    // Bytes in double quotes, with anything that is not printable ASCII escaped (\r \n \t
    // \xHH, \" and \\); payloads longer than `limit` are cut and their length added.
    static std::string quote(std::string_view bytes, std::size_t limit = 64);
    // Bytes as two-digit hex values separated by spaces: "00 00".
    static std::string hex(std::string_view bytes);

private:
    std::FILE* out_;
};

} // namespace norva
