#pragma once

#include "transport/ComPortMap.h"
#include "transport/HandOverQueue.h"
#include "transport/SerialErrors.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norva {

enum TPortState { psClosed, psOpen, psShuttingDown };

// The serial link to the device: one port, chosen by number (see ComPortMap), opened with
// fixed line settings (9600 baud, 8 data bits, no parity, 1 stop bit, raw, no flow control,
// DTR and RTS raised).
//
// Every member is called on the user-interface thread, the one that serves `queue`. Writes
// only copy into the transmit ring and never block. Received bytes are announced through
// OnTriggerAvail, which runs on the user-interface thread; the handler takes them with
// GetChar. The port hands its events over on a channel of its own, and while it waits for
// its threads it runs only that channel's calls: other components' calls wait for the event
// loop.
//
// While open, two service threads run: an I/O thread that reads the device in chunks of up
// to 256 bytes and drains the transmit ring, and a dispatcher that moves received bytes
// into the receive ring and hands the event to the user-interface thread, waiting at most
// DeliveryCap for it. An event the user-interface thread has not taken by then is offered
// again, with any bytes that came meanwhile: the cap frees the dispatcher but never loses
// an event, so an answer cannot sit unannounced until the next one arrives. Both threads
// sleep on the device, an eventfd and a condition variable, so an idle port costs no
// wake-ups. Line-status changes are not watched: nothing uses them, and a device that goes
// away shows up as a read or write error anyway.
//
// A device error while open (the USB adapter unplugged, the far end of a pseudo-terminal
// closed: a read or write ends with EIO/ENXIO, end of file or a hang-up) stops the service:
// the port still reads open, no more events come, and writes pile up in the transmit ring
// until it is full. The port is not reopened by itself. The loss is announced once through
// OnLinkLost, so a caller that would rather wait for the device can close the port and
// open it again when the device is back; without a handler nothing else changes.
class SerialPort {
public:
    static constexpr unsigned Baud = 9600;
    static constexpr std::size_t OutSize = 4096;         // transmit ring
    static constexpr std::size_t ReceiveRingSize = 8192; // receive ring
    static constexpr std::size_t ReadChunk = 256;        // largest single read
    static constexpr uint16_t TriggerLength = 1;         // unread bytes an event needs
    static constexpr std::chrono::milliseconds DeliveryCap{3000};

    // deliveryCap: how long the dispatcher waits for the user-interface thread to take one
    // data-available event before it stops waiting (tests shorten it).
    SerialPort(HandOverQueue& queue, ComPortMap portMap,
               std::chrono::milliseconds deliveryCap = DeliveryCap);
    // Closes the port as setOpen(false) does. Must not run inside this port's own
    // OnTriggerAvail handler.
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 0 (the initial value) means that no port has been chosen. Assigning the current
    // number does nothing; assigning another while open closes the port and opens the new
    // one.
    uint16_t ComNumber() const { return comNumber_; }
    void setComNumber(uint16_t n);

    // True from a successful open until a close has completed. Assigning true opens the port
    // (nothing when already open; remembered and carried out after the close when a close is
    // still completing); false closes it, discarding unsent and unread bytes. Opening with
    // ComNumber 0 asks PromptForPort first. Open failures raise EAlreadyOpen, EBadId,
    // EInOutError or ENoPortSelected, and leave the port closed.
    bool Open() const { return state_ != psClosed; }
    void setOpen(bool open);

    TPortState state() const { return state_; }

    // True when a device error has stopped the service of the open port.
    bool linkLost() const;

    // Queues the bytes of s for sending. On a closed port, opens it first and raises that
    // open's failure. Raises EOutputBufferTooSmall, queueing nothing, when the transmit ring
    // has less free space than s needs. Does nothing while the port is shutting down.
    void PutString(const std::string& s);

    // Takes the oldest unread received byte; raises EBufferIsEmpty when there is none. Inside
    // OnTriggerAvail the bytes taken leave the ring when the handler returns. Opens a closed
    // port first; returns 0 while the port is shutting down.
    uint8_t GetChar();

    bool IsComPortAvailable(uint16_t n) const { return map_.IsComPortAvailable(n); }
    // "COM%d" for every available n from 1 to HighestPort (settings/SettingsRules.h), in
    // ascending order.
    std::vector<std::string> AvailablePortNames() const;
    const ComPortMap& portMap() const { return map_; }

    // New bytes have arrived; Count is every unread byte, including any an earlier handler
    // left unread. Bytes left unread raise no event by themselves, only with the next bytes.
    std::function<void(SerialPort& CP, uint16_t Count)> OnTriggerAvail;
    // Asked when opening finds ComNumber 0, with the available port names; returns the
    // chosen number, or nothing for no port.
    std::function<std::optional<uint16_t>(const std::vector<std::string>& entries)> PromptForPort;
    // The open port's device has gone (see above): called once per open, on the
    // user-interface thread, while the port still reads open and linkLost() is true. It may
    // close the port. Not called when the port was closed on purpose first.
    std::function<void()> OnLinkLost;
    // Told the message of an error that escaped OnTriggerAvail or OnLinkLost (the port
    // carries on), or of an open that was requested during a close and failed when it was
    // carried out.
    std::function<void(const std::string& message)> OnHandlerError;

private:
    struct Service;

    void openPort();
    void closePort();
    void completeClose();
    void reapRetired();
    void deliver(uint64_t session);
    void deliverLinkLost(uint64_t session);
    // Completes a close that a running handler deferred, once no handler is on the stack.
    void finishDeferredClose();
    void reportHandlerError(const std::string& message) noexcept;

    HandOverQueue::Channel channel_;
    ComPortMap map_;
    std::chrono::milliseconds deliveryCap_;
    uint16_t comNumber_ = 0;
    TPortState state_ = psClosed;
    std::unique_ptr<Service> service_;
    // Services closed from inside their own event: their dispatcher is still returning from
    // the delivery that is running, so it is joined at the next chance.
    std::vector<std::unique_ptr<Service>> retired_;
    uint64_t session_ = 0;
    int handlerDepth_ = 0;  // OnTriggerAvail and OnLinkLost calls on the stack
    int deliveryDepth_ = 0; // deliveries on the stack, handler or not
    bool closeDeferred_ = false;
    bool openPending_ = false;
};

} // namespace norva
