#pragma once

#include "Log.h"
#include "NetAddress.h"
#include "Options.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norva {

// The device's side of the UDP link: answers each "NorvaHB" as the answer script says, logs
// every datagram both ways, and sends the device messages when told to on its command input.
class UdpDevice {
public:
    UdpDevice(UdpOptions options, Log& log);
    ~UdpDevice();
    UdpDevice(const UdpDevice&) = delete;
    UdpDevice& operator=(const UdpDevice&) = delete;

    // Serves until "quit" on the command descriptor or a stop signal; returns the exit status.
    // End of file on the command descriptor only stops reading it.
    int run(int commandFd);

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point due;
        NetAddress to;
        std::string payload;
    };

    void receive(int fd);
    void answerHeartbeat(const NetAddress& sender);
    void send(const NetAddress& to, std::string_view payload);
    void sendToPeer(std::string_view payload);
    bool handleCommand(const std::string& line); // false: quit
    void setScript(std::vector<UdpAnswer> script);
    int pollTimeoutMs() const;
    void sendDue();

    UdpOptions options_;
    Log& log_;
    int socket_ = -1;
    int fromSocket_ = -1; // bound to --from-port; answers and messages leave from it
    std::vector<UdpAnswer> script_;
    std::size_t heartbeats_ = 0;
    std::optional<NetAddress> lastSender_;
    std::vector<Pending> pending_;
};

} // namespace norva
