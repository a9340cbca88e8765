#include "platform/Error.h"

namespace norva {

AssertionFailed::AssertionFailed(const std::string& text, const char* file, int line)
    : Error(text + " (" + file + ", line " + std::to_string(line) + ")") {}

} // namespace norva
