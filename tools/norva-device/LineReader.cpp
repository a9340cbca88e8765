#include "LineReader.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace norva {

void LineReader::readAvailable() {
    char chunk[4096];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n > 0)
        buffer_.append(chunk, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open_ = false;
}

std::optional<std::string> LineReader::nextLine() {
    const auto end = buffer_.find('\n');
    if (end == std::string::npos) {
        if (open_ || buffer_.empty())
            return std::nullopt;
        return std::exchange(buffer_, {});
    }
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace norva
