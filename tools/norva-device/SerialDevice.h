#pragma once

#include "Log.h"
#include "Options.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace norva {

// The device's side of the USB serial link, on a pseudo-terminal: the PC opens the slave (or a
// link to it) as its serial port, and each complete "NorvaHB" it writes is answered on the
// master as the answer mode says.
class SerialDevice {
public:
    SerialDevice(SerialOptions options, Log& log);
    // Removes the link (if it still points to this device's line) and closes the line.
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    const std::string& linePath() const { return slavePath_; }

    // Serves until "quit" on the command descriptor or a stop signal; returns the exit status.
    int run(int commandFd);

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };

    void openLine();
    void createLink();
    void removeLink();
    void readLine();
    void answerHeartbeat();
    void write(std::string_view bytes);
    bool handleCommand(const std::string& line); // false: quit
    int pollTimeoutMs() const;
    void writeDue();

    SerialOptions options_;
    Log& log_;
    int master_ = -1;
    int keeper_ = -1; // our own slave descriptor: the line never hangs up between PC opens
    std::string slavePath_;
    bool linked_ = false;
    std::string received_; // bytes read that do not yet hold a whole heartbeat
    std::vector<Pending> pending_;
    Clock::time_point retryAt_{}; // while nobody holds the slave, the master is not polled
};

} // namespace norva
