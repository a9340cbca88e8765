#pragma once

namespace norva {

// Asks the operating system to restart or power off the machine. Each call returns as
// soon as the request has been made; its outcome is not reported. The program picks the
// real backend in one place (app/main.cpp); tests only ever get a recording one.
class PowerBackend {
public:
    virtual ~PowerBackend() = default;
    virtual void reboot() = 0;
    virtual void powerOff() = 0;
};

} // namespace norva
