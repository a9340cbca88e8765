// echo-peer: the plain baseline for the round-trip figures of bench/run.py.
//
//   echo-peer ADDR PORT
//
// Echoes every UDP datagram received on ADDR:PORT back to its sender, and every byte received
// on a TCP connection to ADDR:PORT back on that connection. One thread, one poll loop, no
// hand-over between threads: it is what the same network path costs with nothing else on it.
// Prints "ready" once both sockets are bound; ends on SIGINT, SIGTERM or the end of stdin.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

int bound(int type, const sockaddr_in& addr) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: echo-peer ADDR PORT\n");
        return 2;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (::inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) {
        std::fprintf(stderr, "echo-peer: bad address %s\n", argv[1]);
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    int udp = bound(SOCK_DGRAM, addr);
    int tcp = bound(SOCK_STREAM, addr);
    if (udp < 0 || tcp < 0 || ::listen(tcp, 16) != 0) {
        std::perror("echo-peer: bind");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    // Slot 0: stdin (its end stops the peer), 1: UDP, 2: listener, then the connections.
    std::vector<pollfd> fds{{0, POLLIN, 0}, {udp, POLLIN, 0}, {tcp, POLLIN, 0}};
    std::vector<char> buf(65536);
    while (!stopRequested) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[0].revents) {
            ssize_t n = ::read(0, buf.data(), buf.size());
            if (n <= 0)
                break;
        }
        if (fds[1].revents & POLLIN) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(udp, buf.data(), buf.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0)
                ::sendto(udp, buf.data(), static_cast<size_t>(n), 0,
                         reinterpret_cast<sockaddr*>(&from), len);
        }
        if (fds[2].revents & POLLIN) {
            int c = ::accept4(tcp, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                fds.push_back({c, POLLIN, 0});
        }
        for (size_t i = 3; i < fds.size();) {
            bool closed = false;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = ::recv(fds[i].fd, buf.data(), buf.size(), 0);
                closed = n <= 0 ||
                         ::send(fds[i].fd, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n;
            }
            if (closed) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    return 0;
}
