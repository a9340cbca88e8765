#pragma once

#include <optional>
#include <string>

namespace norva {

// Collects whole lines from a descriptor that a poll loop reports readable (standard input),
// without making the descriptor non-blocking: its file description may be shared with a
// terminal or a parent shell.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The descriptor to poll, or -1 once end of file was read.
    int fd() const { return open_ ? fd_ : -1; }
    // Reads once (call only when poll reported the descriptor readable).
    void readAvailable();
    // The next complete line without its line end; at end of file, a last unterminated line.
    std::optional<std::string> nextLine();

private:
    int fd_;
    bool open_ = true;
    std::string buffer_;
};

} // namespace norva
