#include "UdpDevice.h"

#include "LineReader.h"
#include "StopSignal.h"
#include "heartbeat/Tokens.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace norva {

namespace {

int bindUdp(const NetAddress& address) {
    const int fd = socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot create a UDP socket: ") +
                                 std::strerror(errno));
    if (bind(fd, address.sockaddrPtr(), address.length()) != 0) {
        const int e = errno;
        close(fd);
        throw std::runtime_error("cannot bind UDP " + address.toString() + ": " + std::strerror(e));
    }
    return fd;
}

NetAddress localAddress(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    return NetAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&storage), length);
}

std::string bigPayload(std::size_t size) {
    std::string payload(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        payload[i] = static_cast<char>('0' + i % 10);
    return payload;
}

std::string describeScript(const std::vector<UdpAnswer>& script) {
    std::string text;
    for (const auto& a : script) {
        if (!text.empty())
            text += ',';
        text += a.describe();
    }
    return text;
}

} // namespace

UdpDevice::UdpDevice(UdpOptions options, Log& log)
    : options_(std::move(options)), log_(log), script_(options_.script) {
    socket_ = bindUdp(options_.bind);
    if (options_.fromPort) {
        NetAddress from = options_.bind;
        from.setPort(*options_.fromPort);
        try {
            fromSocket_ = bindUdp(from);
        } catch (...) {
            close(socket_);
            throw;
        }
    }
}

UdpDevice::~UdpDevice() {
    if (fromSocket_ >= 0)
        close(fromSocket_);
    close(socket_);
}

int UdpDevice::run(int commandFd) {
    StopSignal stop;
    LineReader commands(commandFd);
    std::string info = "udp on " + localAddress(socket_).toString();
    if (fromSocket_ >= 0)
        info += ", answering from " + localAddress(fromSocket_).toString();
    if (options_.replyTo)
        info += ", replies to " + options_.replyTo->toString();
    log_.line("info", info + ", answer " + describeScript(script_));

    for (;;) {
        pollfd fds[4] = {{stop.fd(), POLLIN, 0},
                         {socket_, POLLIN, 0},
                         {fromSocket_, POLLIN, 0},
                         {commands.fd(), POLLIN, 0}};
        if (poll(fds, 4, pollTimeoutMs()) < 0 && errno != EINTR)
            throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
        if (fds[0].revents) {
            log_.line("info", "stopped by signal " + std::to_string(stop.take()));
            return 0;
        }
        for (int i : {1, 2}) {
            if (fds[i].revents & (POLLIN | POLLERR))
                receive(fds[i].fd);
        }
        sendDue();
        if (fds[3].revents) {
            commands.readAvailable();
            while (auto line = commands.nextLine()) {
                if (!handleCommand(*line)) {
                    log_.line("info", "quit");
                    return 0;
                }
            }
        }
    }
}

void UdpDevice::receive(int fd) {
    static constexpr std::size_t MaxDatagram = 65536;
    std::string buffer(MaxDatagram, '\0');
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&storage), &length);
    if (n < 0) {
        // An ICMP "port unreachable" for an earlier answer comes back as an error here.
        if (errno != EAGAIN && errno != EINTR)
            log_.line("info", std::string("receive error: ") + std::strerror(errno));
        return;
    }
    buffer.resize(static_cast<std::size_t>(n));
    const auto sender = NetAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&storage), length);
    log_.line("recv", sender.toString() + " " + Log::quote(buffer));
    if (buffer == Tokens::Heartbeat) {
        lastSender_ = sender;
        answerHeartbeat(sender);
    }
}

void UdpDevice::answerHeartbeat(const NetAddress& sender) {
    const auto& answer = script_[std::min(heartbeats_, script_.size() - 1)];
    ++heartbeats_;
    const NetAddress to = options_.replyTo.value_or(sender);
    switch (answer.kind) {
    case UdpAnswer::Kind::Ack:
        send(to, Tokens::Ack);
        break;
    case UdpAnswer::Kind::Nak:
        send(to, Tokens::Nak);
        break;
    case UdpAnswer::Kind::Silent:
        break;
    case UdpAnswer::Kind::Late:
        pending_.push_back({Clock::now() + std::chrono::milliseconds(answer.delayMs), to,
                            std::string(Tokens::Ack)});
        break;
    case UdpAnswer::Kind::Text:
        send(to, answer.payload);
        break;
    case UdpAnswer::Kind::Garbage:
        send(to, GarbageAnswer);
        break;
    case UdpAnswer::Kind::Big:
        send(to, bigPayload(answer.size));
        break;
    }
}

void UdpDevice::send(const NetAddress& to, std::string_view payload) {
    const int fd = fromSocket_ >= 0 ? fromSocket_ : socket_;
    const ssize_t n =
        sendto(fd, payload.data(), payload.size(), MSG_NOSIGNAL, to.sockaddrPtr(), to.length());
    if (n < 0) {
        log_.line("info", "cannot send to " + to.toString() + ": " + std::strerror(errno));
        return;
    }
    log_.line("send", to.toString() + " " + Log::quote(payload));
}

void UdpDevice::sendToPeer(std::string_view payload) {
    if (options_.replyTo)
        send(*options_.replyTo, payload);
    else if (lastSender_)
        send(*lastSender_, payload);
    else
        log_.line("info", "no peer yet: no heartbeat has come and there is no --reply-to");
}

bool UdpDevice::handleCommand(const std::string& line) {
    const auto space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    try {
        if (word.empty()) {
        } else if (word == "quit") {
            return false;
        } else if (word == "help") {
            log_.line("info", "commands: ack, nak, silent, late MS, text STRING, garbage, big N, "
                              "script A,B,..., shutdown, restart, send STRING, quit");
        } else if (word == "shutdown") {
            sendToPeer(Tokens::Shutdown);
        } else if (word == "restart") {
            sendToPeer(Tokens::Restart);
        } else if (word == "send") {
            sendToPeer(Options::unescape(rest));
        } else if (word == "script") {
            setScript(Options::parseScript(rest));
        } else if (word == "text") {
            // The rest of the line is the payload, spaces included.
            setScript({Options::parseUdpAnswer("text:" + rest)});
        } else {
            setScript({Options::parseUdpAnswer(rest.empty() ? word : word + ":" + rest)});
        }
    } catch (const Options::UsageError& e) {
        log_.line("info", std::string("ignored '") + line + "': " + e.what());
    }
    return true;
}

void UdpDevice::setScript(std::vector<UdpAnswer> script) {
    script_ = std::move(script);
    heartbeats_ = 0;
    log_.line("info", "answer " + describeScript(script_));
}

int UdpDevice::pollTimeoutMs() const {
    if (pending_.empty())
        return -1;
    auto next = pending_.front().due;
    for (const auto& p : pending_)
        next = std::min(next, p.due);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

void UdpDevice::sendDue() {
    const auto now = Clock::now();
    // Sent in the order they fell due; a later answer with a shorter delay may overtake.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.due < b.due; });
    auto it = pending_.begin();
    for (; it != pending_.end() && it->due <= now; ++it)
        send(it->to, it->payload);
    pending_.erase(pending_.begin(), it);
}

} // namespace norva
