#pragma once

#include "platform/Error.h"

#include <string>

namespace norva {

// A failure of a socket operation, raised to the caller with the text the user sees.
// `code()` keeps the platform's error number (0 when the failure has none of its own, such
// as a refused bind, which always reads the same).
class SocketError : public Error {
public:
    explicit SocketError(const std::string& message, int code = 0);

    // "Socket Error # <code>\r\n<description>".
    static SocketError withCode(int code, const std::string& description);
    // As withCode, described by the C library's text for errno value `err`.
    static SocketError fromErrno(int err);

    int code() const { return code_; }

private:
    int code_;
};

} // namespace norva
