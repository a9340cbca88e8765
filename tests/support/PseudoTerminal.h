#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace norva::test {

// A pseudo-terminal pair standing in for the device's USB serial link: the program opens the
// slave as its serial port, the test plays the device on the master. The line is raw from
// the start.
class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
        char name[128] = {};
        ::ptsname_r(master_, name, sizeof name);
        slave_ = name;
    }
    ~PseudoTerminal() { closeMaster(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& slavePath() const { return slave_; }

    void write(const std::string& bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the program wrote, once `count` bytes have come; less if they do not come in time.
    std::string read(std::size_t count,
                     std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buf[512];
            const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

    // The device goes away, as when its USB cable is pulled.
    void closeMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string slave_;
};

} // namespace norva::test
