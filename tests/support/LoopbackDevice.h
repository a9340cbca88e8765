#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace norva::test {

// One message of the device, and how many reply bytes it waits for before the next.
struct DeviceStep {
    std::string message;
    std::size_t replyBytes;
};

// The device on the command port: connects to the port on loopback, sends each message once
// the reply to the previous one is in, then reads until the PC closes the connection (5 s at
// most for each step). Its own thread, so the test's thread can serve the agent meanwhile;
// done() says when it has finished.
class LoopbackDevice {
public:
    using Bytes = std::vector<std::uint8_t>;

    LoopbackDevice(std::uint16_t port, std::vector<DeviceStep> steps)
        : steps_(std::move(steps)), thread_([this, port] { run(port); }) {}
    // One message, then whatever the PC sends until it closes.
    LoopbackDevice(std::uint16_t port, std::string message)
        : LoopbackDevice(port, std::vector<DeviceStep>{{std::move(message), 0}}) {}
    ~LoopbackDevice() {
        if (thread_.joinable())
            thread_.join();
    }
    LoopbackDevice(const LoopbackDevice&) = delete;
    LoopbackDevice& operator=(const LoopbackDevice&) = delete;

    bool done() const { return done_; }
    // What came back for each step (waits for the device's end); whatever came after the last
    // step's reply is put with it.
    std::vector<Bytes> replies() {
        if (thread_.joinable())
            thread_.join();
        return replies_;
    }
    // Everything that came back, as text (waits for the device's end).
    std::string reply() {
        std::string all;
        for (const Bytes& b : replies())
            all.append(b.begin(), b.end());
        return all;
    }
    // Whether the PC closed the connection (read once done() is true).
    bool closedByPeer() const { return closed_; }

private:
    void run(std::uint16_t port) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            for (std::size_t i = 0; i < steps_.size(); ++i) {
                ::send(s, steps_[i].message.data(), steps_[i].message.size(), MSG_NOSIGNAL);
                const bool last = i + 1 == steps_.size();
                replies_.push_back(receive(s, last ? SIZE_MAX : steps_[i].replyBytes));
            }
        }
        ::close(s);
        done_ = true;
    }

    // Until `want` bytes are in, the peer closes, or 5 s.
    Bytes receive(int s, std::size_t want) {
        using namespace std::chrono_literals;
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (got.size() < want && !closed_ && std::chrono::steady_clock::now() < deadline) {
            pollfd p{s, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            std::uint8_t buf[256];
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0)
                closed_ = true;
            else
                got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    std::vector<DeviceStep> steps_;
    std::vector<Bytes> replies_;
    bool closed_ = false;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace norva::test
