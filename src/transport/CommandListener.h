#pragma once

#include "transport/CommandConnection.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace norva {

// The TCP server on which the device sends its commands.
//
// Active, it listens on IPv4 and, where the system has IPv6, on an IPv6-only socket, both
// on the same port. Every accepted connection gets a thread of its own, which calls
// OnExecute again and again while the connection lives. A handler that throws ends its
// connection; nothing is reported anywhere, and the other connections carry on.
class CommandListener {
public:
    using ExecuteHandler = std::function<void(CommandConnection&)>;

    // No device ever holds this many connections at once; the cap only keeps a flood of
    // connections from using up threads.
    static constexpr int defaultMaxConnections = 256;
    // One address group's share of them, so that a flood from one group leaves room for the
    // device's own command.
    static constexpr int defaultMaxPerPeer = 32;

    // The group a peer address counts in for the share: the address text as the connection
    // gives it in, the group's key out.
    using PeerGroup = std::function<std::string(const std::string&)>;

    // Port 0 takes an ephemeral port (the IPv6 endpoint then takes the port IPv4 got).
    // A connection over `maxConnections`, or over `maxPerPeer` from its peer's group, is
    // accepted and closed at once. The groups are AddressGroup's unless a test gives others:
    // a local user can bind each connection to a fresh address of 127.0.0.0/8, and a host on
    // an IPv6 link owns a /64, so an address alone is no share at all.
    explicit CommandListener(uint16_t port, int maxConnections = defaultMaxConnections,
                             int maxPerPeer = defaultMaxPerPeer, PeerGroup groupOf = {});
    ~CommandListener();
    CommandListener(const CommandListener&) = delete;
    CommandListener& operator=(const CommandListener&) = delete;

    // Set before activation; called on the connection threads, possibly several at once.
    ExecuteHandler OnExecute;

    // Activation binds and starts accepting; a port already in use fails it with
    // "Could not bind socket. Address and port are already in use." and leaves nothing
    // bound. Deactivation stops accepting, closes every live connection and returns when
    // all connection threads have ended.
    void setActive(bool active);
    bool Active() const { return active_; }

    // Sockets that someone else bound and set listening (the service manager, which holds the
    // port from boot so that no other program can take it first): the next activation
    // accepts on them instead of binding, and the listener owns them from now on
    // (deactivation closes them). The caller has checked that they are listening TCP sockets
    // of the port (an IPv6 one may take IPv4 too: CommandConnection reads a mapped peer as
    // IPv4). Set before activation.
    void adopt(std::vector<int> listeningSockets);

    // The port asked for, or while active the port actually bound.
    uint16_t Port() const { return port_; }

private:
    struct Slot;
    using SlotList = std::list<Slot>;

    void bindEndpoints();
    void takeAdopted();
    void closeEndpoints();
    void acceptLoop(int listenSocket);
    void startConnection(int socket, std::string peerIP);
    void runConnection(SlotList::iterator slot, std::unique_ptr<CommandConnection> connection);
    // With liveMutex_ held: moves the slots whose threads have finished out of the list, for
    // the caller to join once it has let go of the lock.
    SlotList takeFinished();
    // With liveMutex_ held: the slot's thread is done; its connection no longer counts.
    void release(Slot& slot);

    uint16_t requestedPort_;
    uint16_t port_;
    int maxConnections_;
    int maxPerPeer_;
    PeerGroup groupOf_;
    bool active_ = false;

    std::vector<int> endpoints_;
    std::vector<int> adopted_; // taken at the next activation instead of binding
    int wakeFd_ = -1;          // readable once the accepting threads are to stop
    std::vector<std::thread> acceptors_;

    // Guards slots_, running_, perPeer_ and stopping_. Held only while a connection is added or
    // removed, and while deactivation shuts the live connections down.
    std::mutex liveMutex_;
    SlotList slots_;
    int running_ = 0;
    std::unordered_map<std::string, int> perPeer_; // running connections per peer group
    bool stopping_ = false;
};

} // namespace norva
