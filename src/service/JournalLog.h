#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace norva {

// How much a log line matters, as the journal records it: the syslog priority numbers.
enum class LogLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// The service's log: lines on standard error, each starting with the priority in angle
// brackets ("<3>" error, "<4>" warning, "<6>" info, "<7>" debug). Under systemd standard error
// goes to the journal, which takes the prefix off and keeps the priority, so `journalctl -p
// err` finds the errors; run by hand, the prefixes show as they are.
//
// - A message with line breaks becomes one prefixed line per piece, so every line keeps its
//   priority. The system's own messages break lines with "\r"; "\n" and "\r\n" count as
//   breaks too. One break at the very end adds no empty line.
// - A message goes out in one write (the whole of it, all its lines), under a lock: messages
//   from several threads never interleave, not even part-way through a line. Should the
//   system write only part, the rest follows before any other message.
// - A failed write is dropped: there is nowhere else to report it. To a socket (the journal's
//   own stream) it is sent with MSG_NOSIGNAL, so a journal that went away does not kill the
//   service with SIGPIPE.
//
// A message that itself starts with "<N>" keeps that text: the journal reads only the
// prefix this class puts first.
class JournalLog {
public:
    // Receives each whole message, already formatted, in one call.
    using Sink = std::function<void(std::string_view formatted)>;

    // Writes to the file descriptor `fd` (standard error unless a test passes another).
    explicit JournalLog(int fd = 2);
    // Hands each formatted message to `sink` instead (tests).
    explicit JournalLog(Sink sink);

    void log(LogLevel level, std::string_view message);
    void error(std::string_view message) { log(LogLevel::Error, message); }
    void warning(std::string_view message) { log(LogLevel::Warning, message); }
    void info(std::string_view message) { log(LogLevel::Info, message); }
    void debug(std::string_view message) { log(LogLevel::Debug, message); }

    // The text one message becomes: "<N>line\n" for each of its lines.
    static std::string format(LogLevel level, std::string_view message);

private:
    void writeAll(std::string_view text);

    int fd_ = -1;
    Sink sink_;
    std::mutex mutex_;
};

} // namespace norva
