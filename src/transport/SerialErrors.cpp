#include "transport/SerialErrors.h"

#include <cstring>
#include <string>

namespace norva {

namespace {

std::string describeErrno(int err) {
    // The GNU strerror_r returns the text, which may or may not live in buf.
    char buf[256] = {};
    const char* text = strerror_r(err, buf, sizeof buf);
    return std::string("Serial port error ") + std::to_string(err) + ": " +
           (text ? text : "Unknown error");
}

} // namespace

EAlreadyOpen::EAlreadyOpen() : Error("ie_Open - device already open") {}

EBadId::EBadId() : Error("ie_BadId - Specified comport doesn't exist") {}

EInOutError::EInOutError(int err) : Error(describeErrno(err)), errorCode_(err) {}

ENoPortSelected::ENoPortSelected() : Error("No serial port number has been set") {}

EOutputBufferTooSmall::EOutputBufferTooSmall() : Error("Output buffer too small for block") {}

EBufferIsEmpty::EBufferIsEmpty() : Error("Buffer is empty") {}

} // namespace norva
