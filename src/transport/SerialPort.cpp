#include "transport/SerialPort.h"

#include "settings/SettingsRules.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace norva {

namespace {

// Received bytes the I/O thread holds for the dispatcher. Past this the I/O thread stops
// reading until the dispatcher has made room, and the driver's own buffer takes over.
constexpr std::size_t PendingLimit = 4096;

// A ring of N bytes whose full flag tells a full ring from an empty one.
template <std::size_t N> struct ByteRing {
    std::array<uint8_t, N> bytes{};
    std::size_t head = 0; // where the next byte goes
    std::size_t tail = 0; // the oldest byte
    bool full = false;

    std::size_t size() const { return full ? N : (head + N - tail) % N; }
    std::size_t space() const { return N - size(); }
    void clear() {
        head = tail = 0;
        full = false;
    }
    void push(const uint8_t* data, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            bytes[head] = data[i];
            head = (head + 1) % N;
        }
        if (count > 0 && head == tail)
            full = true;
    }
    uint8_t at(std::size_t offset) const { return bytes[(tail + offset) % N]; }
    void drop(std::size_t count) {
        if (count == 0)
            return;
        tail = (tail + count) % N;
        full = false;
    }
};

int openDevice(const std::filesystem::path& path) {
    if (path.empty())
        throw EBadId();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    const int err = errno;
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO: // a device node with no device behind it
    case ENODEV:
        throw EBadId();
    case EBUSY: // another program set TIOCEXCL
        throw EAlreadyOpen();
    default:
        throw EInOutError(err);
    }
}

// Claims the device for this process. flock comes first: it is what tells us another
// program holds the port (TIOCEXCL does not stop a privileged opener), and the terminal
// must not be marked exclusive, flushed or released on behalf of whoever holds it.
void claimDevice(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK)
            throw EAlreadyOpen();
        throw EInOutError(err);
    }
}

// Applies the fixed line settings to a claimed device.
void configureDevice(int fd) {
    if (::ioctl(fd, TIOCEXCL) != 0)
        throw EInOutError(errno);

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        throw EInOutError(errno);
    ::cfmakeraw(&tio); // binary: no translation, no echo, no signals, nulls kept
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL; // CLOCAL: no hang-up when carrier detect drops
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        throw EInOutError(errno);

    int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(fd, TIOCMBIS, &lines) != 0) {
        const int err = errno;
        // Pseudo-terminals and some adapters have no modem lines: nothing to raise.
        if (err != ENOTTY && err != EINVAL)
            throw EInOutError(err);
    }
}

// Counts the calls of one kind on the stack for as long as it lives.
struct Depth {
    int& depth;
    explicit Depth(int& d) : depth(d) { ++depth; }
    ~Depth() { --depth; }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
};

} // namespace

// Everything that lives while the port is open: the device, the rings and the two threads.
// The threads only touch this object, never the SerialPort.
struct SerialPort::Service {
    Service(HandOverQueue::Channel c, std::chrono::milliseconds cap)
        : channel(c), deliveryCap(cap) {}
    ~Service() {
        closeDevice();
        if (wakeFd >= 0)
            ::close(wakeFd);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    const HandOverQueue::Channel channel; // the port's own
    const std::chrono::milliseconds deliveryCap;
    std::function<void()> delivery;     // runs the event on the user-interface thread
    std::function<void()> lostDelivery; // tells the user-interface thread the device is gone
    int fd = -1;
    bool claimed = false; // the device is ours: flushed and released at close
    int wakeFd = -1;      // eventfd: new output, room for more input, or stop

    std::mutex rxMutex;
    std::condition_variable rxChanged;
    ByteRing<ReceiveRingSize> rx;
    std::size_t rxTaken = 0;     // taken by a running handler, leave the ring when it returns
    uint64_t rxAdded = 0;        // bytes ever put in the ring
    uint64_t rxMark = 0;         // rxAdded when the last event reached its handler
    std::deque<uint8_t> pending; // read from the device, not yet in the ring

    std::mutex txMutex;
    ByteRing<OutSize> tx;

    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::atomic<bool> ioEnded{false};
    std::atomic<bool> dispatcherEnded{false};
    std::thread io;
    std::thread dispatcher;

    void start() {
        io = std::thread([this] { ioLoop(); });
        try {
            dispatcher = std::thread([this] { dispatchLoop(); });
        } catch (...) {
            requestStop();
            io.join();
            throw;
        }
    }

    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
    }

    void requestStop() {
        {
            std::lock_guard lock(rxMutex);
            stop = true;
        }
        rxChanged.notify_all();
        wake();
    }

    void fail() {
        failed = true;
        requestStop();
    }

    void discard() {
        {
            std::lock_guard lock(txMutex);
            tx.clear();
        }
        std::lock_guard lock(rxMutex);
        rx.clear();
        rxTaken = 0;
        pending.clear();
    }

    // Called once the I/O thread has ended.
    void closeDevice() {
        if (fd < 0)
            return;
        if (claimed) {
            ::tcflush(fd, TCIOFLUSH);
            ::ioctl(fd, TIOCNXCL); // the terminal may outlive this descriptor (a pty pair)
        }
        ::close(fd);
        fd = -1;
    }

    void queueOutput(const std::string& s) {
        {
            std::lock_guard lock(txMutex);
            if (tx.space() < s.size())
                throw EOutputBufferTooSmall();
            tx.push(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        }
        wake();
    }

    std::size_t unreadLocked() const { return rx.size() - rxTaken; }

    // Called on the user-interface thread as an event reaches it; returns the event's Count,
    // or 0 when there is no event to raise. The bytes it announces are announced for good, so
    // the dispatcher raises nothing more until others arrive. A second delivery for the same
    // bytes (the cap ran out just as the first was taken) finds nothing new and raises nothing.
    uint16_t announce() {
        std::lock_guard lock(rxMutex);
        if (rxAdded == rxMark)
            return 0;
        rxMark = rxAdded;
        return static_cast<uint16_t>(unreadLocked());
    }

    uint8_t take(bool insideHandler) {
        std::unique_lock lock(rxMutex);
        if (unreadLocked() == 0)
            throw EBufferIsEmpty();
        const uint8_t byte = rx.at(rxTaken);
        if (insideHandler) {
            ++rxTaken;
            return byte;
        }
        rx.drop(1);
        lock.unlock();
        rxChanged.notify_all();
        return byte;
    }

    void commitTaken() {
        {
            std::lock_guard lock(rxMutex);
            if (rxTaken == 0)
                return;
            rx.drop(rxTaken);
            rxTaken = 0;
        }
        rxChanged.notify_all();
    }

    void ioLoop() {
        std::vector<uint8_t> out; // taken from the transmit ring, not yet written
        std::size_t written = 0;
        uint8_t chunk[ReadChunk];
        while (!stop) {
            if (written == out.size()) {
                out.clear();
                written = 0;
                std::lock_guard lock(txMutex);
                for (std::size_t i = 0; i < tx.size(); ++i)
                    out.push_back(tx.at(i));
                tx.clear();
            }
            bool wantRead = false;
            {
                std::lock_guard lock(rxMutex);
                wantRead = pending.size() < PendingLimit;
            }
            const bool wantWrite = written < out.size();
            pollfd fds[2] = {
                {fd, static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0},
                {wakeFd, POLLIN, 0},
            };
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                fail();
                break;
            }
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] const auto got = ::read(wakeFd, &count, sizeof count);
            }
            if (stop)
                break;
            const short events = fds[0].revents;
            const bool broken = events & (POLLHUP | POLLERR | POLLNVAL);
            if (events & POLLNVAL) {
                fail();
                break;
            }
            if (wantRead && (events & (POLLIN | POLLHUP | POLLERR))) {
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n > 0) {
                    {
                        std::lock_guard lock(rxMutex);
                        pending.insert(pending.end(), chunk, chunk + n);
                    }
                    rxChanged.notify_all();
                } else if (n == 0 || broken || (errno != EAGAIN && errno != EINTR)) {
                    fail(); // end of file or EIO/ENXIO: the device has gone
                    break;
                }
            } else if (broken) {
                fail();
                break;
            }
            if (wantWrite && (events & POLLOUT)) {
                const ssize_t n = ::write(fd, out.data() + written, out.size() - written);
                if (n > 0) {
                    written += static_cast<std::size_t>(n);
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    fail();
                    break;
                }
            }
        }
        ioEnded = true;
        channel.notify();
    }

    bool eventDueLocked() const { return rxAdded != rxMark && unreadLocked() >= TriggerLength; }

    void dispatchLoop() {
        std::unique_lock lock(rxMutex);
        for (;;) {
            rxChanged.wait(lock, [&] {
                return stop || (!pending.empty() && rx.space() > 0) || eventDueLocked();
            });
            if (stop)
                break;
            const bool readerHeld = pending.size() >= PendingLimit;
            const std::size_t count = std::min(pending.size(), rx.space());
            if (count > 0) {
                uint8_t buf[ReadChunk];
                for (std::size_t done = 0; done < count;) {
                    const std::size_t n = std::min(count - done, sizeof buf);
                    std::copy_n(pending.begin(), n, buf);
                    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
                    rx.push(buf, n);
                    done += n;
                }
                rxAdded += count;
            }
            if (readerHeld && pending.size() < PendingLimit)
                wake();
            if (eventDueLocked()) {
                const uint64_t mark = rxMark;
                lock.unlock();
                bool answered = true;
                try {
                    // Capped: a user-interface thread stuck in something else delays the
                    // port by at most this much. The delivery holds no reference to this
                    // thread's stack.
                    answered = channel.call(delivery, deliveryCap);
                } catch (...) {
                    // deliver() reports its own errors; nothing else can come back here.
                }
                const bool refused = !answered && channel.closed();
                lock.lock();
                // An event that did not reach the handler within the cap leaves the mark
                // where it was, so the next round raises it again, with any bytes that came
                // meanwhile. Only a queue that refuses calls outright (it is closed: the
                // program is ending) gives up the event, or this loop would spin.
                if (refused && rxMark == mark)
                    rxMark = rxAdded;
            }
        }
        lock.unlock();
        if (failed) {
            // Uncapped: the user-interface thread is told for sure, and a close meanwhile
            // serves this channel, so the call cannot hold it up. Once the queue is closed
            // (the program is ending) the call is refused at once.
            try {
                channel.call(lostDelivery);
            } catch (...) {
                // deliverLinkLost() reports its own errors.
            }
        }
        dispatcherEnded = true;
        channel.notify();
    }
};

SerialPort::SerialPort(HandOverQueue& queue, ComPortMap portMap,
                       std::chrono::milliseconds deliveryCap)
    : channel_(queue.channel()), map_(std::move(portMap)), deliveryCap_(deliveryCap) {}

SerialPort::~SerialPort() {
    openPending_ = false;
    try {
        if (state_ == psOpen)
            closePort();
        if (state_ == psShuttingDown)
            completeClose();
    } catch (...) {
        // Nothing pending can reopen here, and a close raises nothing else.
    }
    reapRetired();
}

bool SerialPort::linkLost() const {
    return state_ == psOpen && service_ && service_->failed;
}

std::vector<std::string> SerialPort::AvailablePortNames() const {
    std::vector<std::string> names;
    for (uint16_t n = 1; n <= HighestPort; ++n) {
        if (map_.IsComPortAvailable(n))
            names.push_back(ComPortName(n));
    }
    return names;
}

void SerialPort::setComNumber(uint16_t n) {
    if (n == comNumber_)
        return;
    if (state_ != psOpen) {
        comNumber_ = n;
        return;
    }
    closePort();
    comNumber_ = n;
    openPort(); // after a close deferred by a running handler, this only marks it pending
}

void SerialPort::setOpen(bool open) {
    reapRetired();
    if (open)
        openPort();
    else
        closePort();
}

void SerialPort::openPort() {
    if (state_ == psOpen)
        return;
    if (state_ == psShuttingDown) {
        openPending_ = true;
        return;
    }
    if (comNumber_ == 0) {
        std::optional<uint16_t> chosen;
        if (PromptForPort)
            chosen = PromptForPort(AvailablePortNames());
        if (state_ != psClosed) // the prompt's event loop may have opened it meanwhile
            return;
        if (!chosen || *chosen == 0)
            throw ENoPortSelected();
        comNumber_ = *chosen;
    }

    auto service = std::make_unique<Service>(channel_, deliveryCap_);
    service->fd = openDevice(map_.devicePath(comNumber_));
    claimDevice(service->fd);
    service->claimed = true;
    configureDevice(service->fd);
    service->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (service->wakeFd < 0)
        throw EInOutError(errno);
    const uint64_t session = ++session_;
    service->delivery = [this, session] { deliver(session); };
    service->lostDelivery = [this, session] { deliverLinkLost(session); };
    try {
        service->start();
    } catch (const std::system_error& e) {
        throw EInOutError(e.code().value());
    }
    service_ = std::move(service);
    state_ = psOpen;
}

void SerialPort::closePort() {
    if (state_ == psShuttingDown) {
        openPending_ = false; // the later request wins
        return;
    }
    if (state_ != psOpen)
        return;
    state_ = psShuttingDown;
    Service& service = *service_;
    service.requestStop();
    service.discard();
    // The I/O thread never waits for this thread. The dispatcher may be waiting in a delivery
    // of this port's, which does nothing now that the port is shutting down; other
    // components' calls wait for the event loop.
    channel_.serveUntil([&] { return service.ioEnded.load(); });
    service.io.join();
    service.closeDevice();
    if (handlerDepth_ > 0) {
        // The dispatcher is waiting for the handler on our stack; finish once it returns.
        closeDeferred_ = true;
        return;
    }
    completeClose();
}

void SerialPort::completeClose() {
    closeDeferred_ = false;
    retired_.push_back(std::move(service_));
    reapRetired();
    state_ = psClosed;
    if (openPending_) {
        openPending_ = false;
        openPort();
    }
}

void SerialPort::reapRetired() {
    // Inside a delivery the dispatcher that made it cannot end before it returns.
    if (retired_.empty() || deliveryDepth_ > 0)
        return;
    // A dispatcher may be waiting in a delivery; serving the port's channel lets it through
    // (the delivery sees its session is over and does nothing).
    channel_.serveUntil([&] {
        return std::all_of(retired_.begin(), retired_.end(),
                           [](const auto& s) { return s->dispatcherEnded.load(); });
    });
    for (auto& service : retired_)
        service->dispatcher.join();
    retired_.clear();
}

void SerialPort::reportHandlerError(const std::string& message) noexcept {
    try {
        if (OnHandlerError)
            OnHandlerError(message);
    } catch (...) {
        // Reporting must not take the port down.
    }
}

void SerialPort::deliver(uint64_t session) {
    if (session != session_ || state_ != psOpen)
        return;
    const uint16_t count = service_->announce();
    if (count < TriggerLength)
        return;

    Depth delivering(deliveryDepth_);
    {
        Depth handling(handlerDepth_);
        try {
            if (OnTriggerAvail)
                OnTriggerAvail(*this, count);
        } catch (const std::exception& e) {
            reportHandlerError(e.what());
        } catch (...) {
            reportHandlerError("Unknown error in the serial data handler");
        }
    }
    if (service_ && session == session_)
        service_->commitTaken();
    finishDeferredClose();
}

void SerialPort::deliverLinkLost(uint64_t session) {
    if (session != session_ || state_ != psOpen)
        return; // closed meanwhile on purpose: nothing is lost
    Depth delivering(deliveryDepth_);
    {
        Depth handling(handlerDepth_);
        try {
            if (OnLinkLost)
                OnLinkLost();
        } catch (const std::exception& e) {
            reportHandlerError(e.what());
        } catch (...) {
            reportHandlerError("Unknown error in the serial link handler");
        }
    }
    finishDeferredClose();
}

void SerialPort::finishDeferredClose() {
    if (handlerDepth_ > 0 || !closeDeferred_)
        return;
    try {
        completeClose();
    } catch (const std::exception& e) {
        reportHandlerError(e.what()); // a reopen requested inside the handler failed
    }
}

void SerialPort::PutString(const std::string& s) {
    if (state_ == psShuttingDown)
        return;
    if (state_ == psClosed)
        openPort();
    if (state_ != psOpen || s.empty())
        return;
    service_->queueOutput(s);
}

uint8_t SerialPort::GetChar() {
    if (state_ == psShuttingDown)
        return 0;
    if (state_ == psClosed)
        openPort();
    if (state_ != psOpen)
        return 0;
    return service_->take(handlerDepth_ > 0);
}

} // namespace norva
