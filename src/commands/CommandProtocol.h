#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

namespace norva {

class CommandConnection;
class HandOverQueue;
class PageValues;
class PendingAction;
class SettingsHandle;

// What the device says on the command port: a hello, answered with two bytes, or a
// 47-byte command packet that is checked against the user name and password shown on the
// shutdown page now (read through PageValues, applied or not), acknowledged with one byte, and
// carried out at once or after the warning.
//
// theServerExecute runs on the connection's own thread. Every step that touches the window,
// the settings file, the warning or the power actions is handed to the user-interface
// thread, and the connection waits for it, so the steps keep their order. What the user is
// shown is announced by the signals below, from those steps, so on the user-interface thread.
class CommandProtocol : public QObject {
    Q_OBJECT
public:
    CommandProtocol(HandOverQueue& ui, SettingsHandle& MyIni, PageValues& pages,
                    PendingAction& warning);

    std::function<void()> doRestart;
    std::function<void()> doShutdown;
    // Told once GracefulRestart/SourceIP has been stored for an accepted restart.
    std::function<void()> restartStored;

    // One message per call; an error ends the connection.
    void theServerExecute(CommandConnection& AContext);

    const std::uint16_t localSeq = 0; // the hello's answer, never changed

signals:
    // The window caption ("Got Hello").
    void captionRequested(const QString& caption);
    // The status line under the shutdown settings ("Bad Username", "RESTART", ...).
    void label4Requested(const QString& text);
    // A line for the program's log ("Recived eCmnd_get").
    void memoLineRequested(const QString& line);
    // A command passed the credentials and was acknowledged: the device's address and
    // "restart", "shutdown", "restart after warning" or "shutdown after warning".
    void commandAccepted(const QString& source, const QString& action);

private:
    void onUi(const std::function<void()>& step);
    void handleCommand(CommandConnection& AContext, const std::vector<std::uint8_t>& message);

    HandOverQueue& ui_;
    SettingsHandle& MyIni_;
    PageValues& pages_;
    PendingAction& warning_;
};

} // namespace norva
