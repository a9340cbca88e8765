// guess-rate: a password guesser against the command port, as fast as it can for a while.
//
//   guess-rate --host ADDRESS [--port 9100] [--seconds 10] [--parallel 16]
//              [--mode reconnect|stream] [--gap-us 1000] [--user Ostra] [--password wrong]
//              [--from ADDRESS,ADDRESS,...]
//
// Every packet is a 47-byte command packet (type 7, restart) with the given user name and a
// password meant to be wrong. The command port answers nothing to a wrong one, so this side
// cannot tell how many of its packets were checked: bench/guess_rate.py counts that from the
// program's own "Bad Password" lines. What this prints is what it sent.
//
// reconnect: `parallel` connections at a time; each connects, sends one packet, half-closes
//   and waits for the program to close, then starts over. One connection is exactly one
//   read cycle on the other side, so no packet is merged with another.
// stream: `parallel` connections kept open, each sending one packet every `gap-us`. Packets
//   that pile up while the other side is busy arrive as one read cycle and count once there.
//
// --from: every new connection is bound to the next of these source addresses in turn, as a
//   guesser that owns many addresses (all of 127/8, an IPv6 /64) would rotate them.
//
// On exit it prints one line of key=value pairs: sent, connections, refused (closed before
// the packet went out), errors, seconds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host;
    std::string port = "9100";
    double seconds = 10;
    int parallel = 16;
    bool stream = false;
    long gapUs = 1000;
    std::string user = "Ostra";
    std::string password = "wrong";
    std::vector<std::string> from;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "guess-rate: %s\nusage: guess-rate --host ADDRESS [--port P] [--seconds S] "
                 "[--parallel K] [--mode reconnect|stream] [--gap-us G] [--user U] "
                 "[--password W] [--from A,B,...]\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage(("missing value after " + arg).c_str());
        const std::string value = argv[++i];
        if (arg == "--host")
            o.host = value;
        else if (arg == "--port")
            o.port = value;
        else if (arg == "--seconds")
            o.seconds = std::atof(value.c_str());
        else if (arg == "--parallel")
            o.parallel = std::atoi(value.c_str());
        else if (arg == "--mode" && (value == "reconnect" || value == "stream"))
            o.stream = value == "stream";
        else if (arg == "--gap-us")
            o.gapUs = std::atol(value.c_str());
        else if (arg == "--user")
            o.user = value;
        else if (arg == "--password")
            o.password = value;
        else if (arg == "--from")
            for (std::size_t at = 0; at <= value.size();) {
                const std::size_t comma = std::min(value.find(',', at), value.size());
                if (comma > at)
                    o.from.push_back(value.substr(at, comma - at));
                at = comma + 1;
            }
        else
            usage(("unknown option " + arg + " " + value).c_str());
    }
    if (o.host.empty() || o.seconds <= 0 || o.parallel < 1 || o.gapUs < 0)
        usage("bad arguments");
    return o;
}

std::array<uint8_t, 47> packet(const Options& o) {
    // type, user name (21), password (21), command, three unused bytes
    std::array<uint8_t, 47> p{};
    p[0] = 7;
    std::memcpy(&p[1], o.user.data(), std::min<std::size_t>(o.user.size(), 21));
    std::memcpy(&p[22], o.password.data(), std::min<std::size_t>(o.password.size(), 21));
    p[43] = 1;
    return p;
}

enum class State { Connecting, Draining, Open };

struct Conn {
    int fd = -1;
    State state = State::Connecting;
    Clock::time_point nextSend;
};

struct Counts {
    long sent = 0;
    long connections = 0;
    long refused = 0;
    long errors = 0;
};

class Guesser {
public:
    Guesser(const Options& o, const addrinfo* target)
        : o_(o), target_(target), packet_(packet(o)), conns_(static_cast<std::size_t>(o.parallel)),
          epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

    Counts run() {
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(o_.seconds));
        for (std::size_t i = 0; i < conns_.size(); ++i)
            open(i);
        std::vector<epoll_event> events(conns_.size());
        while (Clock::now() < end) {
            int timeoutMs = 50;
            if (o_.stream)
                timeoutMs = sendDue();
            const int n =
                ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeoutMs);
            for (int k = 0; k < n; ++k)
                handle(events[static_cast<std::size_t>(k)].data.u64,
                       events[static_cast<std::size_t>(k)].events);
        }
        for (auto& c : conns_)
            if (c.fd >= 0)
                ::close(c.fd);
        return counts_;
    }

private:
    void open(std::size_t i) {
        Conn& c = conns_[i];
        c.fd = ::socket(target_->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) {
            ++counts_.errors;
            return;
        }
        c.state = State::Connecting;
        if (!o_.from.empty() && !bindNext(c.fd)) {
            ++counts_.errors;
            ::close(c.fd);
            c.fd = -1;
            return;
        }
        if (::connect(c.fd, target_->ai_addr, target_->ai_addrlen) < 0 && errno != EINPROGRESS) {
            ++counts_.errors;
            restart(i);
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = i;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev);
    }

    // Binds `fd` to the next source address of --from (any port).
    bool bindNext(int fd) {
        const std::string& address = o_.from[nextFrom_++ % o_.from.size()];
        sockaddr_storage own{};
        socklen_t length = 0;
        if (target_->ai_family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&own);
            a->sin6_family = AF_INET6;
            length = sizeof *a;
            if (::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) != 1)
                return false;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&own);
            a->sin_family = AF_INET;
            length = sizeof *a;
            if (::inet_pton(AF_INET, address.c_str(), &a->sin_addr) != 1)
                return false;
        }
        // The port is chosen at connect(), per destination, so that a few source addresses
        // do not run out of ports.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        return ::bind(fd, reinterpret_cast<sockaddr*>(&own), length) == 0;
    }

    void restart(std::size_t i) {
        ::close(conns_[i].fd);
        conns_[i].fd = -1;
        open(i);
    }

    bool sendPacket(Conn& c) {
        const ssize_t n = ::send(c.fd, packet_.data(), packet_.size(), MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(packet_.size())) {
            ++counts_.sent;
            return true;
        }
        return false;
    }

    void handle(std::size_t i, uint32_t events) {
        Conn& c = conns_[i];
        if (c.state == State::Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0 || (events & (EPOLLERR | EPOLLHUP))) {
                ++counts_.errors;
                restart(i);
                return;
            }
            if (!(events & EPOLLOUT))
                return;
            ++counts_.connections;
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP;
            ev.data.u64 = i;
            ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
            if (o_.stream) {
                c.state = State::Open;
                c.nextSend = Clock::now();
                return;
            }
            // Closed by the other side before the packet went out: a refused connection.
            if (!sendPacket(c)) {
                ++counts_.refused;
                restart(i);
                return;
            }
            ::shutdown(c.fd, SHUT_WR);
            c.state = State::Draining;
            return;
        }
        // Draining or Open: anything readable is the other side's close (it never answers
        // a wrong password); read it away and start over.
        char sink[256];
        const ssize_t n = ::recv(c.fd, sink, sizeof sink, 0);
        if (n > 0 && !(events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
            return;
        restart(i);
    }

    // Stream mode: sends every packet that is due; returns how long until the next one.
    int sendDue() {
        const auto now = Clock::now();
        auto next = now + std::chrono::milliseconds(50);
        const auto gap = std::chrono::microseconds(o_.gapUs);
        for (auto& c : conns_) {
            if (c.fd < 0 || c.state != State::Open)
                continue;
            if (c.nextSend <= now) {
                sendPacket(c);
                c.nextSend = now + gap;
            }
            next = std::min(next, c.nextSend);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
        return static_cast<int>(std::max<long>(0, wait.count()));
    }

    const Options& o_;
    const addrinfo* target_;
    std::array<uint8_t, 47> packet_;
    std::vector<Conn> conns_;
    int epoll_;
    Counts counts_;
    std::size_t nextFrom_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* target = nullptr;
    if (const int rc = ::getaddrinfo(o.host.c_str(), o.port.c_str(), &hints, &target); rc != 0)
        usage(gai_strerror(rc));
    const auto start = Clock::now();
    const Counts counts = Guesser(o, target).run();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("sent=%ld connections=%ld refused=%ld errors=%ld seconds=%.3f\n", counts.sent,
                counts.connections, counts.refused, counts.errors, seconds);
    ::freeaddrinfo(target);
    return 0;
}
