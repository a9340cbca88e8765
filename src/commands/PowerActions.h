#pragma once

namespace norva {

class PowerBackend;
class StatusView;

// doRestart and doShutdown: the caption first, then the request to the operating system.
// The request's outcome is not examined: without the right to restart, the caption stays
// and the program carries on.
class PowerActions {
public:
    PowerActions(StatusView& view, PowerBackend& power) : view_(view), power_(power) {}

    void doRestart();
    void doShutdown();

private:
    StatusView& view_;
    PowerBackend& power_;
};

} // namespace norva
