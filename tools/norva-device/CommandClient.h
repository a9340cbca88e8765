#pragma once

#include "Log.h"
#include "Options.h"

#include <string>
#include <string_view>

namespace norva {

// The device's side of the TCP command link: connects to the PC, says hello, sends command
// packets and reports each reply and how long it took.
class CommandClient {
public:
    // Exit statuses of run().
    static constexpr int Ok = 0;           // every expected reply came, with the expected bytes
    static constexpr int BadReply = 1;     // a reply was missing, short or different
    static constexpr int NoConnection = 3; // the host could not be resolved or reached

    CommandClient(CommandOptions options, Log& log) : options_(std::move(options)), log_(log) {}
    ~CommandClient();
    CommandClient(const CommandClient&) = delete;
    CommandClient& operator=(const CommandClient&) = delete;

    int run();

    // The command packet: type, user name (21 bytes), password (21 bytes), command, three
    // unused bytes; names are zero-padded and cut to 21 bytes. `length` other than 47 cuts
    // the packet or pads it with zero bytes.
    static std::string buildPacket(const CommandOptions& options);

private:
    bool connectToHost();
    void pause() const;
    // Sends `message`, then waits for `expected.size()` reply bytes and logs them under
    // `label`. False when the reply was missing, short or different.
    bool exchange(std::string_view message, std::string_view description, std::string_view label,
                  std::string_view expected);

    CommandOptions options_;
    Log& log_;
    int socket_ = -1;
    bool broken_ = false; // the connection failed or the PC closed it
};

} // namespace norva
