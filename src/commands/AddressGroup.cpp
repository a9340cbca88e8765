#include "commands/AddressGroup.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace norva {

namespace {

std::string ipv4Group(const std::uint8_t* a) {
    if (a[0] == 127)
        return "127.0.0.0/8";
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]) + "/32";
}

} // namespace

std::string AddressGroup(std::string_view peer) {
    const std::string text(peer);
    // inet_pton stops at nothing: a NUL inside the text would make it read a shorter text.
    if (text.find('\0') != std::string::npos)
        return text;

    std::array<std::uint8_t, 16> bytes{};
    if (::inet_pton(AF_INET, text.c_str(), bytes.data()) == 1)
        return ipv4Group(bytes.data());

    const std::size_t percent = text.find('%');
    const std::string address = text.substr(0, percent);
    const std::string scope = percent == std::string::npos ? "" : text.substr(percent);
    if (::inet_pton(AF_INET6, address.c_str(), bytes.data()) != 1)
        return text;

    static constexpr std::array<std::uint8_t, 16> loopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                           0, 0, 0, 0, 0, 0, 0, 1};
    static constexpr std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (bytes == loopback)
        return "127.0.0.0/8";
    if (std::memcmp(bytes.data(), mapped, sizeof mapped) == 0)
        return ipv4Group(bytes.data() + 12);

    std::fill(bytes.begin() + 8, bytes.end(), 0);
    char prefix[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, bytes.data(), prefix, sizeof prefix);
    return std::string(prefix) + "/64" + scope;
}

} // namespace norva
