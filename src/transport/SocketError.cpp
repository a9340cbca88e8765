#include "transport/SocketError.h"

#include <cstring>

namespace norva {

SocketError::SocketError(const std::string& message, int code) : Error(message), code_(code) {}

SocketError SocketError::withCode(int code, const std::string& description) {
    return SocketError("Socket Error # " + std::to_string(code) + "\r\n" + description, code);
}

SocketError SocketError::fromErrno(int err) {
    // The GNU strerror_r returns the text, which may or may not live in buf.
    char buf[256] = {};
    const char* text = strerror_r(err, buf, sizeof buf);
    return withCode(err, text ? text : "Unknown error");
}

} // namespace norva
