#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sockaddr;

namespace norva {

// One accepted TCP connection of the command listener, as its execute handler sees it.
//
// Everything but shutdownSocket() is called on the connection's own thread. The listener
// owns the object and frees it when the connection ends. Failures are thrown as SocketError.
class CommandConnection {
public:
    // Takes over `socket` (a connected, blocking stream socket) and closes it in the end.
    CommandConnection(int socket, std::string peerIP);
    ~CommandConnection();
    CommandConnection(const CommandConnection&) = delete;
    CommandConnection& operator=(const CommandConnection&) = delete;

    // How long one read cycle waits for data, in milliseconds; -1 waits without limit.
    void setReadTimeout(int ms) { readTimeout_ = ms; }
    int ReadTimeout() const { return readTimeout_; }

    // With count -1, one read cycle: waits until the socket is readable or ReadTimeout has
    // passed (even when bytes are already buffered), receives once, and hands over
    // everything buffered. Nothing arrived is a success that leaves `buffer` as it was.
    // With count >= 0, exactly `count` bytes, reading cycles until they are there; a cycle
    // that times out before then fails.
    // `append` false replaces the contents of `buffer` instead of adding to them.
    // Fails, dropping whatever was buffered, once the peer has closed or the socket is gone.
    void ReadBytes(std::vector<uint8_t>& buffer, int count = -1, bool append = true);

    // Returns when the socket has taken every byte.
    void Write(const std::vector<uint8_t>& bytes);

    // The peer's address: dotted decimal for IPv4, the usual text form for IPv6.
    const std::string& PeerIP() const { return peerIP_; }

    // The listener's check between handler calls: takes, without waiting, what has already
    // arrived at the socket into the input buffer, and tells whether there is more to hand
    // over or the connection can still deliver.
    bool stillOpen();

    // From any thread: ends the connection's traffic, so that a read or write blocked on it
    // on the owning thread returns. The socket itself stays for the owner to close.
    void shutdownSocket();

    // The address text used for PeerIP, for an IPv4 or IPv6 socket address.
    static std::string addressText(const sockaddr* address);

private:
    // Takes, without waiting, up to one chunk of what has arrived into the input buffer.
    // The peer's close or a socket error closes the socket, drops the buffer and fails.
    void receiveOnce();
    // Waits for readability within the read time-out; false when it ran out.
    bool waitReadable();
    [[noreturn]] void failWithError(int err);
    void closeSocket();
    bool closed() const { return peerClosed_ || socket_ < 0; }

    // Written only by the owning thread, under socketMutex_, so that shutdownSocket() on
    // another thread never touches a descriptor number that has been closed and reused.
    int socket_;
    std::mutex socketMutex_;
    std::string peerIP_;
    std::vector<uint8_t> input_;
    int readTimeout_ = -1;
    bool peerClosed_ = false;
};

} // namespace norva
