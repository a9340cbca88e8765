#pragma once

#include "app/TForm1.h"
#include "support/RecordingPowerBackend.h"
#include "support/ScriptedMessageBoxes.h"
#include "support/TempDir.h"
#include "ui/ErrorBox.h"

#include <QApplication>
#include <QWidget>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace norva::test {

// Whether a control is shown, whatever the visibility of its window.
inline bool visible(const QWidget* w) {
    return !w->isHidden();
}

// A token or answer as the bytes that travel on the wire.
inline std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

namespace detail {

// Whether a UDP socket can be bound to `port` on the wildcard address of `family` now.
inline bool UdpPortFree(int family, std::uint16_t port) {
    const int s = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return family == AF_INET6; // a machine without IPv6 has nothing there to collide with
    bool ok;
    if (family == AF_INET6) {
        const int on = 1;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ::close(s);
    return ok;
}

// Claims `port` for this process until it ends: an abstract Unix socket named after it can be
// bound by one process only, whichever user runs it, and goes away with the process.
inline bool ClaimPort(std::uint16_t port) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string name = "norva-test-udp-port-" + std::to_string(port);
    name.copy(a.sun_path + 1, sizeof a.sun_path - 2); // sun_path[0] == 0: abstract
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), length) != 0) {
        ::close(s);
        return false;
    }
    return true; // deliberately left open
}

} // namespace detail

// A UDP port for a "Port" setting that the program binds itself. The program binds it without
// address reuse, so the test cannot hold a socket there meanwhile, and test programs run in
// parallel: a port that was merely free a moment ago may be gone by then. So the number comes
// from below the kernel's ephemeral range, which no socket bound to port 0 is ever given, and
// is claimed for this process until it ends, which keeps every other test program away from
// it. It is free on the IPv4 and (where there is one) the IPv6 wildcard when handed out.
inline std::uint16_t FreeUdpPort() {
    static std::mutex mutex;
    static unsigned next = 0;
    const std::lock_guard lock(mutex);

    unsigned ephemeralLow = 32768;
    {
        std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
        unsigned low = 0;
        if (range >> low && low > 1024)
            ephemeralLow = low;
    }
    const unsigned first = ephemeralLow > 12000 ? 10000 : 1024;
    const unsigned count = ephemeralLow - first;
    if (next == 0) // where this process starts looking, spread out by its id
        next = static_cast<unsigned>(::getpid()) * 613u;
    for (unsigned tried = 0; tried < count; ++tried, ++next) {
        const auto port = static_cast<std::uint16_t>(first + next % count);
        if (detail::UdpPortFree(AF_INET, port) && detail::UdpPortFree(AF_INET6, port) &&
            detail::ClaimPort(port)) {
            ++next;
            return port;
        }
    }
    throw std::runtime_error("no free UDP port below the ephemeral range");
}

// The application object on a settings folder of the test's own, with scripted message
// boxes, a recording power backend and the command port on any free port. Nothing in it
// can reach the user's files or the real power controls.
class FormFixture {
public:
    explicit FormFixture(const std::string& settings = "", bool balloons = false,
                         bool tray = true) {
        if (!settings.empty())
            dir.write("NorvaHB", settings);
        env.settingsFolder = dir.path();
        env.commandPort = 0;
        env.boxes = &boxes;
        env.power = &power;
        env.balloonsAvailable = balloons;
        env.trayAvailable = tray;
        form = std::make_unique<TForm1>(env);
    }

    // Program start after the window is built: the start-up sequence, then the dialogs.
    // False when the window was closed meanwhile.
    bool start() { return form->StartUp(); }

    std::string setting(const std::string& section, const std::string& key,
                        const std::string& fallback = "<missing>") const {
        return SettingsFile(dir.path()).ReadString(section, key, fallback);
    }

    // Serves calls from worker threads until `done` or the deadline.
    bool serveUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool ok = false;
        form->queue.serveAllUntil([&] {
            QApplication::processEvents();
            ok = done();
            return ok || std::chrono::steady_clock::now() > deadline;
        });
        return ok;
    }

    TempDir dir;
    ScriptedMessageBoxes boxes;
    RecordingPowerBackend power;
    AppEnvironment env;
    std::unique_ptr<TForm1> form;
};

} // namespace norva::test
