#pragma once

#include <functional>
#include <string>

namespace norva {

// Asks the operating system to restart or power off the machine. Each call returns as soon as
// the request has been made; `done` is called later, once, on the thread that made the call,
// with the empty text when the system accepted the request and otherwise one line saying why
// it refused (no right to do it, a block inhibitor, no login manager). A backend that is
// destroyed first drops the answers still to come. The program picks the real backend in one
// place per program (app/main.cpp, service/main.cpp); tests only ever get a recording one.
class PowerBackend {
public:
    using Done = std::function<void(const std::string& error)>;

    virtual ~PowerBackend() = default;
    virtual void reboot(Done done) = 0;
    virtual void powerOff(Done done) = 0;
};

} // namespace norva
