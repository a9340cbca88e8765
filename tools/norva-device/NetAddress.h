#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>

namespace norva {

// A numeric IPv4 or IPv6 socket address, as written "1.2.3.4:9100" or "[::1]:9100".
class NetAddress {
public:
    NetAddress();

    // Only numeric addresses; IPv6 ones in brackets. Returns nothing on any malformed part.
    static std::optional<NetAddress> parse(std::string_view text);
    static NetAddress fromSockaddr(const sockaddr* addr, socklen_t length);

    int family() const { return storage_.ss_family; }
    unsigned port() const;
    void setPort(unsigned port);
    const sockaddr* sockaddrPtr() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    socklen_t length() const { return length_; }
    std::string toString() const;

private:
    sockaddr_storage storage_{};
    socklen_t length_ = 0;
};

} // namespace norva
