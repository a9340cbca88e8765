#include "service/JournalLog.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace norva {

JournalLog::JournalLog(int fd) : fd_(fd) {}

JournalLog::JournalLog(Sink sink) : sink_(std::move(sink)) {}

std::string JournalLog::format(LogLevel level, std::string_view message) {
    // Built by appending: GCC 12's optimiser warns falsely about "<" + std::string.
    std::string prefix(1, '<');
    prefix += std::to_string(static_cast<int>(level));
    prefix += '>';
    // A break at the very end closes the last line; it does not open an empty one.
    if (message.ends_with("\r\n"))
        message.remove_suffix(2);
    else if (message.ends_with('\r') || message.ends_with('\n'))
        message.remove_suffix(1);

    std::string out = prefix;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n')
                ++i;
            out += '\n';
            out += prefix;
        } else {
            out += c;
        }
    }
    out += '\n';
    return out;
}

void JournalLog::log(LogLevel level, std::string_view message) {
    const std::string text = format(level, message);
    std::lock_guard lock(mutex_);
    if (sink_)
        sink_(text);
    else
        writeAll(text);
}

void JournalLog::writeAll(std::string_view text) {
    bool socket = true;
    while (!text.empty()) {
        ssize_t n = -1;
        if (socket) {
            n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) {
                socket = false;
                continue;
            }
        } else {
            n = ::write(fd_, text.data(), text.size());
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace norva
