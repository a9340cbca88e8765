#pragma once

#include "NetAddress.h"

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace norva {

// Eight bytes that are not an acknowledgement, the same on every link: the length of one, so
// that the PC counts it as an answer without taking it for one.
inline constexpr std::string_view GarbageAnswer{"\x00\xffgarb!?", 8};

// What the UDP device sends back for one heartbeat.
struct UdpAnswer {
    enum class Kind { Ack, Nak, Silent, Late, Text, Garbage, Big };
    Kind kind = Kind::Ack;
    unsigned delayMs = 0; // Late
    std::string payload;  // Text: the bytes to send
    std::size_t size = 0; // Big: datagram length

    std::string describe() const;
};

// What the serial device writes back for one heartbeat.
enum class SerialAnswer { Whole, Split, Crlf, Silent, Garbage };

struct UdpOptions {
    NetAddress bind;
    std::optional<NetAddress> replyTo;
    std::optional<unsigned> fromPort;
    std::vector<UdpAnswer> script{UdpAnswer{}}; // one entry per heartbeat, the last repeats
};

struct SerialOptions {
    std::string link;
    bool printPath = false;
    SerialAnswer answer = SerialAnswer::Whole;
};

struct CommandOptions {
    std::string host;
    unsigned port = 9100;
    std::string user = "Ostra";
    std::string password = "ferno";
    unsigned action = 1;
    unsigned type = 7;
    bool hello = true;
    std::string helloText = "hello-000";
    unsigned repeat = 1;
    unsigned timeoutMs = 500;
    unsigned delayMs = 0; // wait before each message, to try the PC's 100 ms read cycle
    std::size_t length = 47;
};

// Command-line and stdin-command parsing. Every malformed input throws UsageError with a
// one-line message meant for a person.
class Options {
public:
    class UsageError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    static UdpOptions parseUdp(const std::vector<std::string>& args);
    static SerialOptions parseSerial(const std::vector<std::string>& args);
    static CommandOptions parseCommand(const std::vector<std::string>& args);

    // "ack", "late:700", "text:NorvaACK\n", "big:9000" ...
    static UdpAnswer parseUdpAnswer(std::string_view text);
    // "ack,silent,nak,late:700": commas inside a text entry are written "\,".
    static std::vector<UdpAnswer> parseScript(std::string_view text);
    static SerialAnswer parseSerialAnswer(std::string_view text);
    static std::string_view serialAnswerName(SerialAnswer answer);

    // A plain decimal number within [min, max]; `what` names it in the error message.
    static unsigned long parseNumber(std::string_view text, unsigned long min, unsigned long max,
                                     std::string_view what);
    static NetAddress parseAddress(std::string_view text, bool allowPortZero,
                                   std::string_view what);

    // Backslash escapes in texts given on the command line or stdin: \n \r \t \0 \\ \xHH;
    // a backslash before any other character stands for that character.
    static std::string unescape(std::string_view text);
};

} // namespace norva
