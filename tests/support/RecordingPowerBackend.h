#pragma once

#include "platform/PowerBackend.h"

#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace norva::test {

// The power backend unit tests inject: it remembers what it was asked to do, in order, as
// "reboot" and "powerOff", and keeps each request's answer until the test gives it with
// answer(), as the system would later: accepted (the empty text) or refused with a reason.
class RecordingPowerBackend : public PowerBackend {
public:
    void reboot(Done done) override {
        calls.emplace_back("reboot");
        pending.push_back(std::move(done));
    }
    void powerOff(Done done) override {
        calls.emplace_back("powerOff");
        pending.push_back(std::move(done));
    }

    // Answers the oldest request still waiting; false when none waits.
    bool answer(const std::string& error = {}) {
        if (pending.empty())
            return false;
        Done done = std::move(pending.front());
        pending.pop_front();
        done(error);
        return true;
    }

    std::vector<std::string> calls;
    std::deque<Done> pending;
};

} // namespace norva::test
