#pragma once

#include "platform/Error.h"

namespace norva {

// The failures the serial port raises. Their messages reach the user through the general
// error box.

// The device is held by another program.
class EAlreadyOpen : public Error {
public:
    EAlreadyOpen();
};

// No device answers to the chosen port number.
class EBadId : public Error {
public:
    EBadId();
};

// Any other refusal of the system while opening or setting up the device. Keeps the errno.
class EInOutError : public Error {
public:
    explicit EInOutError(int err);
    int errorCode() const { return errorCode_; }

private:
    int errorCode_;
};

// Opening needs a port number and none was set or chosen.
class ENoPortSelected : public Error {
public:
    ENoPortSelected();
};

// A write larger than the free space of the transmit ring.
class EOutputBufferTooSmall : public Error {
public:
    EOutputBufferTooSmall();
};

// A read with no unread received byte.
class EBufferIsEmpty : public Error {
public:
    EBufferIsEmpty();
};

} // namespace norva
