// The journal's lines: the priority prefix on every line, the system's "\r" breaks, and whole
// messages from several threads never mixed.
#include "service/JournalLog.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using norva::JournalLog;
using norva::LogLevel;

namespace {

TEST(JournalLogFormat, EveryLineCarriesThePriority) {
    struct Case {
        LogLevel level;
        std::string message;
        std::string expected;
    };
    const Case cases[] = {
        {LogLevel::Error, "Unable to write to NorvaHB", "<3>Unable to write to NorvaHB\n"},
        {LogLevel::Warning, "w", "<4>w\n"},
        {LogLevel::Info, "Heartbeat started", "<6>Heartbeat started\n"},
        {LogLevel::Debug, "d", "<7>d\n"},
        {LogLevel::Error, "Com7 is no longer available\rPlease select another comport",
         "<3>Com7 is no longer available\n<3>Please select another comport\n"},
        {LogLevel::Info, "a\nb\r\nc", "<6>a\n<6>b\n<6>c\n"},
        {LogLevel::Info, "a\r\rb", "<6>a\n<6>\n<6>b\n"},
        {LogLevel::Info, "ends with a break\r", "<6>ends with a break\n"},
        {LogLevel::Info, "ends with a break\r\n", "<6>ends with a break\n"},
        {LogLevel::Info, "", "<6>\n"},
        // A prefix inside the text is text: the journal reads only the first one.
        {LogLevel::Info, "<3>not an error", "<6><3>not an error\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JournalLog::format(c.level, c.message), c.expected) << c.message;
}

TEST(JournalLogSink, GetsOneCallPerMessage) {
    std::vector<std::string> calls;
    JournalLog log([&](std::string_view text) { calls.emplace_back(text); });
    log.error("first\rsecond");
    log.info("third");
    EXPECT_EQ(calls, (std::vector<std::string>{"<3>first\n<3>second\n", "<6>third\n"}));
}

std::string drain(int fd) {
    std::string all;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        all.append(buffer, static_cast<std::size_t>(n));
    return all;
}

// Several threads, each with messages of several lines that are longer than a pipe's atomic
// write: every message arrives whole, its lines together.
TEST(JournalLogFd, MessagesFromThreadsDoNotInterleave) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::thread reader([&] {
        const std::string all = drain(fds[0]);
        std::set<std::string> seen;
        std::size_t at = 0;
        while (at < all.size()) {
            // Each message is its thread's letter repeated over three lines.
            ASSERT_EQ(all.compare(at, 3, "<6>"), 0) << "at " << at;
            const char letter = all[at + 3];
            const std::string line = "<6>" + std::string(3000, letter) + "\n";
            for (int i = 0; i < 3; ++i, at += line.size())
                ASSERT_EQ(all.compare(at, line.size(), line), 0) << "message of " << letter;
            seen.insert(std::string(1, letter));
        }
        EXPECT_EQ(seen.size(), 4u);
    });
    {
        JournalLog log(fds[1]);
        std::vector<std::thread> writers;
        for (char letter : {'a', 'b', 'c', 'd'})
            writers.emplace_back([&log, letter] {
                const std::string line(3000, letter);
                for (int i = 0; i < 50; ++i)
                    log.info(line + "\r" + line + "\r" + line);
            });
        for (auto& w : writers)
            w.join();
    }
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
}

// The journal's stream is a socket; when it goes away, writing must not kill the service.
TEST(JournalLogFd, AClosedSocketDoesNotRaiseSigpipe) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ::close(fds[1]);
    JournalLog log(fds[0]);
    log.error("nobody reads this"); // SIGPIPE's default would end the test program here
    ::close(fds[0]);
    SUCCEED();
}

} // namespace
