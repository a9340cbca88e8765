#pragma once

#include "platform/PowerBackend.h"

#include <string>
#include <vector>

namespace norva::test {

// The power backend unit tests inject: it only remembers what it was asked to do, in order,
// as "reboot" and "powerOff".
class RecordingPowerBackend : public PowerBackend {
public:
    void reboot() override { calls.emplace_back("reboot"); }
    void powerOff() override { calls.emplace_back("powerOff"); }

    std::vector<std::string> calls;
};

} // namespace norva::test
