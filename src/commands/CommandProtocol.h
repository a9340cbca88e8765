#pragma once

#include <cstdint>
#include <functional>

namespace norva {

class CommandConnection;
class HandOverQueue;
class PageValues;
class SettingsHandle;
class StatusView;
class PendingAction;

// What the device says on the command port: a hello, answered with two bytes, or a
// 47-byte command packet that is checked against the user name and password shown on the
// shutdown page now (read through PageValues, applied or not), acknowledged with one byte, and
// carried out at once or after the warning.
//
// theServerExecute runs on the connection's own thread. Every step that touches the window,
// the settings file, the warning or the power actions is handed to the user-interface
// thread, and the connection waits for it, so the steps keep their order.
class CommandProtocol {
public:
    CommandProtocol(HandOverQueue& ui, SettingsHandle& MyIni, StatusView& view, PageValues& pages,
                    PendingAction& warning);

    std::function<void()> doRestart;
    std::function<void()> doShutdown;
    // Told once GracefulRestart/SourceIP has been stored for an accepted restart.
    std::function<void()> restartStored;

    // One message per call; an error ends the connection.
    void theServerExecute(CommandConnection& AContext);

    const std::uint16_t localSeq = 0; // the hello's answer, never changed

private:
    void onUi(const std::function<void()>& step);
    void handleCommand(CommandConnection& AContext, const std::vector<std::uint8_t>& message);

    HandOverQueue& ui_;
    SettingsHandle& MyIni_;
    StatusView& view_;
    PageValues& pages_;
    PendingAction& warning_;
};

} // namespace norva
