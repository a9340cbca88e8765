// norva-device: plays the Norva power controller's side of the UDP heartbeat, the USB serial
// heartbeat and the TCP command link, so that a setup can be checked by hand and end-to-end
// tests have a real peer.

#include "CommandClient.h"
#include "Log.h"
#include "Options.h"
#include "SerialDevice.h"
#include "UdpDevice.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view MainHelp =
    R"(norva-device: a simulated Norva power controller for trying NorvaHB.

Usage:
  norva-device udp --bind ADDR:PORT [options]        answer UDP heartbeats
  norva-device serial --link PATH | --print-path     answer serial heartbeats on a pty
  norva-device command --host HOST [options]         send a restart or shutdown command
  norva-device MODE --help                           the options of one mode

Every datagram, write and reply is logged on standard output, one line each, as
"HH:MM:SS.mmm recv|send|info TEXT"; payloads are shown in double quotes with
non-printable bytes escaped (\r \n \t \xHH) and long ones cut, with their length.
udp and serial read commands on standard input, one per line, while they run.

Exit status: 0 success, 1 runtime failure (or a missing reply for 'command'),
2 bad usage, 3 'command' could not connect.
)";

constexpr std::string_view UdpHelp = R"(Usage: norva-device udp --bind ADDR:PORT [options]

Answers each "NorvaHB" datagram received on ADDR:PORT, from the socket bound there, to the
address and port it came from (the PC's heartbeat port). Other datagrams ("NorvaRB",
"shutdownACK", "restartACK", ...) are only logged. ADDR is numeric; IPv6 as [ADDR]:PORT.
PORT 0 binds an ephemeral port, shown in the first log line.

Options:
  --bind ADDR:PORT       where to receive heartbeats (required)
  --reply-to ADDR:PORT   send answers and device messages there instead of to the sender
  --from-port P          send answers and device messages from local port P (same ADDR)
  --answer MODE          how to answer every heartbeat (default ack):
                           ack          "NorvaACK"
                           nak          "NorvaNAK"
                           silent       nothing
                           late:MS      "NorvaACK" after MS milliseconds
                           text:STRING  STRING (escapes \n \r \t \0 \xHH \\ allowed)
                           garbage      8 bytes that are not an acknowledgement
                           big:N        a datagram of N bytes (0 to 65507)
  --script A,B,...       one answer MODE per heartbeat, the last one repeats
                         (a comma inside text:STRING is written \,)
  --help                 this text

Commands on standard input (end of input only stops reading it):
  ack | nak | silent | garbage | late MS | text STRING | big N | script A,B,...
                         answer every following heartbeat so
  shutdown               send "NorvaShutdown" to --reply-to or the last heartbeat sender
  restart                send "NorvaRestart" likewise
  send STRING            send STRING likewise
  help                   list the commands
  quit                   end (so do SIGINT and SIGTERM)

Example:
  norva-device udp --bind 127.0.0.1:19100 --script ack,silent,nak,late:700
)";

constexpr std::string_view SerialHelp =
    R"(Usage: norva-device serial (--link PATH | --print-path) [--answer MODE]

Creates a pseudo-terminal set to raw 9600 baud 8N1 and answers each complete "NorvaHB"
that the PC writes to it. Keeps the line open between heartbeats, so the PC never sees
a hang-up; removes the link again on quit, SIGINT and SIGTERM.

Options:
  --link PATH       create the symbolic link PATH to the line (parent folders are
                    created; a stale link there is replaced)
  --print-path      print the line's path (e.g. /dev/pts/7) alone as the first line
  --answer MODE     how to answer every heartbeat (default whole):
                      whole    "NorvaACK" in one write
                      split    "Norv" and "aACK" as two writes about 50 ms apart
                      crlf     "NorvaACK\r\n" in one write
                      silent   nothing
                      garbage  8 bytes that are not an acknowledgement
  --help            this text

Commands on standard input (end of input only stops reading it):
  whole | split | crlf | silent | garbage    answer every following heartbeat so
  send STRING       write STRING on the line (escapes \n \r \t \0 \xHH \\ allowed)
  help              list the commands
  quit              end (so do SIGINT and SIGTERM)

Example:
  norva-device serial --link ~/.config/NorvaHB-ports/COM7 --answer split
)";

constexpr std::string_view CommandHelp = R"(Usage: norva-device command --host HOST [options]

Connects to the PC's command port, sends the hello and reads its 2-byte reply, then sends
the 47-byte command packet and reads its 1-byte acknowledgement, each message right after
the previous reply (the PC drops a connection that stays quiet for 100 ms). Each reply is
logged in hex with the time it took, or as missing after the time-out.

Options:
  --host HOST          the PC: name, IPv4 or IPv6 address (required)
  --port N             TCP port (default 9100)
  --user NAME          user name (default Ostra); cut to 21 bytes
  --password PW        password (default ferno); cut to 21 bytes
  --action A           restart (1, the default), shutdown (2) or a number 0 to 255
  --type T             packet type byte, 0 to 255 (default 7)
  --no-hello           send no hello, only the packet
  --hello-text TEXT    send TEXT as the hello (default hello-000)
  --repeat N           send the packet N times on the connection (default 1; 0: none)
  --timeout MS         how long to wait for each reply (default 500)
  --delay MS           wait MS before each message (default 0)
  --length N           cut the packet to N bytes or pad it with zero bytes (default 47)
  --help               this text
  (NAME, PW and TEXT accept the escapes \0 \xHH \n \r \t \\)

Exit status:
  0  the hello reply 00 00 and an acknowledgement 01 for every packet came in time
  1  a reply was missing, short or different, or the PC closed the connection
  2  bad usage
  3  HOST could not be resolved or connected to

Example:
  norva-device command --host 127.0.0.1 --port 19101 --action shutdown
)";

int usage(const std::string& message) {
    std::fprintf(stderr, "norva-device: %s\n", message.c_str());
    return 2;
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--help" || a == "-h")
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    using namespace norva;
    // A reader that went away must not kill the device before it cleans up.
    std::signal(SIGPIPE, SIG_IGN);

    if (argc < 2)
        return usage("missing mode: udp, serial or command (see norva-device --help)");
    const std::string mode = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (mode == "--help" || mode == "-h" || mode == "help") {
        std::fputs(MainHelp.data(), stdout);
        return 0;
    }

    Log log(stdout);
    try {
        if (mode == "udp") {
            if (wantsHelp(args)) {
                std::fputs(UdpHelp.data(), stdout);
                return 0;
            }
            UdpDevice device(Options::parseUdp(args), log);
            return device.run(STDIN_FILENO);
        }
        if (mode == "serial") {
            if (wantsHelp(args)) {
                std::fputs(SerialHelp.data(), stdout);
                return 0;
            }
            SerialDevice device(Options::parseSerial(args), log);
            return device.run(STDIN_FILENO);
        }
        if (mode == "command") {
            if (wantsHelp(args)) {
                std::fputs(CommandHelp.data(), stdout);
                return 0;
            }
            CommandClient client(Options::parseCommand(args), log);
            return client.run();
        }
        return usage("unknown mode '" + mode + "': use udp, serial or command");
    } catch (const Options::UsageError& e) {
        return usage(e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norva-device: %s\n", e.what());
        return 1;
    }
}
