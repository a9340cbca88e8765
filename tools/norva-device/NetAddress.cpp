#include "NetAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace norva {

NetAddress::NetAddress() {
    storage_.ss_family = AF_INET;
    length_ = sizeof(sockaddr_in);
}

std::optional<NetAddress> NetAddress::parse(std::string_view text) {
    std::string host;
    std::string_view portText;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        host = std::string(text.substr(1, close - 1));
        portText = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = std::string(text.substr(0, colon));
        portText = text.substr(colon + 1);
        if (host.find(':') != std::string::npos)
            return std::nullopt; // a bare IPv6 address is ambiguous with its port
    }

    unsigned port = 0;
    const auto* end = portText.data() + portText.size();
    const auto [ptr, ec] = std::from_chars(portText.data(), end, port);
    if (portText.empty() || ec != std::errc() || ptr != end || port > 65535)
        return std::nullopt;

    NetAddress result;
    if (text.front() == '[') {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        if (inet_pton(AF_INET6, host.c_str(), &a.sin6_addr) != 1)
            return std::nullopt;
        std::memcpy(&result.storage_, &a, sizeof a);
        result.length_ = sizeof a;
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
            return std::nullopt;
        std::memcpy(&result.storage_, &a, sizeof a);
        result.length_ = sizeof a;
    }
    result.setPort(port);
    return result;
}

NetAddress NetAddress::fromSockaddr(const sockaddr* addr, socklen_t length) {
    NetAddress result;
    const auto n = std::min<socklen_t>(length, sizeof result.storage_);
    std::memcpy(&result.storage_, addr, n);
    result.length_ = n;
    return result;
}

unsigned NetAddress::port() const {
    if (storage_.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

void NetAddress::setPort(unsigned port) {
    const auto p = htons(static_cast<uint16_t>(port));
    if (storage_.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&storage_)->sin6_port = p;
    else
        reinterpret_cast<sockaddr_in*>(&storage_)->sin_port = p;
}

std::string NetAddress::toString() const {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (storage_.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&storage_);
        inet_ntop(AF_INET6, &a->sin6_addr, buffer, sizeof buffer);
        // Appended rather than "[" + std::string: GCC 12 at -O3 reports a false -Wrestrict
        // inside operator+ of a literal and a std::string.
        std::string text = "[";
        text.append(buffer).append("]:").append(std::to_string(port()));
        return text;
    }
    const auto* a = reinterpret_cast<const sockaddr_in*>(&storage_);
    inet_ntop(AF_INET, &a->sin_addr, buffer, sizeof buffer);
    return std::string(buffer) + ":" + std::to_string(port());
}

} // namespace norva
