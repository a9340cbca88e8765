#pragma once

#include <stdexcept>
#include <string>

namespace norva {

// Failures are raised, not returned. The message is what the user sees in the general
// error box, so it is written for the user, not for a developer.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A broken internal rule that the caller should have prevented. The message ends with
// the source location, so a report tells where it came from.
class AssertionFailed : public Error {
public:
    AssertionFailed(const std::string& text, const char* file, int line);
};

// A text that should have held a whole number.
class ConvertError : public Error {
public:
    using Error::Error;
};

} // namespace norva

#define NORVA_ASSERTION_FAILED(text) ::norva::AssertionFailed((text), __FILE__, __LINE__)
