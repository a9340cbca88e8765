#pragma once

#include "transport/HandOverQueue.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace norva {

// The UDP socket set through which the program talks to the device.
//
// Nothing is bound until the first Send: that send binds every binding (by default IPv4 and,
// when the machine has IPv6, an IPv6-only socket on the same port) and starts one receive
// thread per binding. Every datagram of 1 to BufferSize bytes that arrives is handed to the
// user-interface thread through the endpoint's own channel of the HandOverQueue and passed to
// OnUDPRead there; the receive thread waits until the handler has returned before it reads
// the next datagram. While a deactivation waits for the receive threads it runs the
// endpoint's own deliveries only: calls of other components wait for the event loop.
//
// Every member is called on the user-interface thread (the queue's). Failures of Send are
// raised as SocketError; failures on the receive side are dropped.
class UdpEndpoint {
public:
    enum class IPVersion { IPv4, IPv6 };

    // One local socket. Its local port is fixed when it is first bound; its peer is the
    // sender of the last datagram it received.
    class Binding {
    public:
        Binding(IPVersion version, std::uint16_t port) : version_(version), port_(port) {}
        Binding(const Binding&) = delete;
        Binding& operator=(const Binding&) = delete;

        IPVersion ipVersion() const { return version_; }
        std::uint16_t port() const { return port_; }
        // Safe to read from any thread; the receive thread writes them.
        std::string peerIP() const;
        std::uint16_t peerPort() const;

    private:
        friend class UdpEndpoint;
        void setPeer(std::string ip, std::uint16_t port);

        IPVersion version_;
        std::uint16_t port_;
        int socket_ = -1;
        mutable std::mutex peerMutex_;
        std::string peerIP_;
        std::uint16_t peerPort_ = 0;
    };

    using ReadHandler = std::function<void(
        std::thread::id AThread, const std::vector<std::uint8_t>& AData, const Binding& ABinding)>;

    static constexpr std::size_t BufferSize = 8192;

    explicit UdpEndpoint(HandOverQueue& uiQueue, std::string name = "UDPServer");
    ~UdpEndpoint(); // deactivates
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Runs on the user-interface thread, once per datagram of 1 to BufferSize bytes; whatever
    // it throws is dropped.
    ReadHandler OnUDPRead;

    // The local port of bindings created from now on; 0 asks for an ephemeral port (the
    // IPv6 binding then takes the port the IPv4 one got).
    void setDefaultPort(std::uint16_t port) { defaultPort_ = port; }
    std::uint16_t DefaultPort() const { return defaultPort_; }

    // false stops the receive threads and closes the sockets; the bindings stay, so the
    // next Send binds the same ports again. true binds at once, as a Send would.
    void setActive(bool active);
    bool Active() const { return active_; }

    // Removes every binding (deactivating first if needed), so the next activation creates
    // the default bindings on DefaultPort.
    void ClearBindings();

    // Sends text (UTF-8; every character above 127 goes out as '?') as one datagram to
    // host:port from binding 1, binding first if inactive. An empty text sends nothing.
    void Send(const std::string& host, std::uint16_t port, const std::string& text);

    // The address Send would send to for `host` without asking a resolver: a dotted quad of
    // decimal octets or "localhost" (127.0.0.1), as `address` in network byte order. False
    // for anything else (a host name, garbage).
    static bool NumericIPv4(const std::string& host, std::uint32_t& address);

    std::size_t bindingCount() const { return bindings_.size(); }
    const Binding& binding(std::size_t index) const { return *bindings_.at(index); }
    const std::string& name() const { return name_; }

private:
    void activate();
    void bindAll();
    void closeSockets();
    void stopThreads();
    void receiveLoop(Binding* binding, int socket, int stopFd);

    HandOverQueue::Channel ui_;
    std::string name_;
    std::uint16_t defaultPort_ = 9100;
    bool active_ = false;
    std::vector<std::unique_ptr<Binding>> bindings_;
    std::vector<std::thread> threads_;
    int stopFd_ = -1;
    std::atomic<std::size_t> threadsEnded_{0};
};

using UdpBinding = UdpEndpoint::Binding;

} // namespace norva
