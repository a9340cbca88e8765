#pragma once

#include "commands/AddressFilter.h"
#include "commands/SourceLockout.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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
//
// In front of all that stand two guards, consulted on the connection's thread for every
// message, hello or command, before anything is handed over: the owner's AcceptFrom list
// (AddressFilter) and the lockout per address group (SourceLockout: all of loopback one
// group, another IPv4 address its own, an IPv6 address its /64). A message from an address
// the list leaves out, or from a group locked out after too many wrong user names or
// passwords, is dropped there: nothing is compared, nothing is answered, nothing is shown and
// no line is logged for it, so a flood of them costs the user-interface thread nothing. What
// the guards saw reaches the log in a bounded number of lines: one when a lockout starts, one
// when it ends, each naming the group, and per group at most one count of rejected and of
// refused messages a minute (sweepTimer), and of answered hellos where they are folded
// (foldHellos). Every accepted command gives one line with its source and
// action.
class CommandProtocol : public QObject {
    Q_OBJECT
public:
    CommandProtocol(HandOverQueue& ui, SettingsHandle& MyIni, PageValues& pages,
                    PendingAction& warning);

    std::function<void()> doRestart;
    std::function<void()> doShutdown;
    // Told once GracefulRestart/SourceIP has been stored for an accepted restart.
    std::function<void()> restartStored;

    // The time the guards go by, called on connection threads and on the user-interface
    // thread; the steady clock unless a test sets another before the listener starts.
    std::function<SourceLockout::TimePoint()> clock = [] {
        return std::chrono::steady_clock::now();
    };

    // Set by the service before the listener starts: a hello is then answered on the
    // connection's thread and counted per address group, said in the folded lines of the
    // guards (one count per group a minute at most), instead of being shown one by one as the
    // window's caption "Got Hello". A loop of hellos then costs the log one line a minute and
    // the user-interface thread nothing. The window leaves it off and shows each hello.
    bool foldHellos = false;

    // One message per call; an error ends the connection.
    void theServerExecute(CommandConnection& AContext);

    // Says every count the guards hold and have not said yet, whatever the interval: at the
    // end of the program, once the listener has stopped, so that nothing counted is lost.
    void reportPending();

    // Reads the guards' settings, [GSD] LockoutFailures, LockoutWindow, LockoutSeconds and
    // AcceptFrom, from the settings file: at the start once the file is open, and whenever
    // the shutdown page's settings are applied (user-interface thread). A number that is no
    // whole number in its range gives one error line and its default; each bad AcceptFrom
    // entry gives one error line and is ignored. Changed limits start a new table (the
    // lockouts under way end, each with its line); the same limits keep it. Until the first
    // call the defaults hold and anyone may send commands.
    void ReadGuardSettings();

    // Ticks once a second while the log is owed something: a lockout under way, or counts of
    // rejected or refused messages not yet reported. It stops once nothing is owed, so an
    // idle program does not wake up for it. Its handler is public, for tests to drive.
    QTimer sweepTimer;
    void sweepTimerTimer();

    // The limits in force.
    SourceLockout::Limits guardLimits() const;

    const std::uint16_t localSeq = 0; // the hello's answer, never changed

signals:
    // The window caption ("Got Hello").
    void captionRequested(const QString& caption);
    // The status line under the shutdown settings ("Bad Username", "RESTART", ...).
    void label4Requested(const QString& text);
    // A line for the program's log ("Recived eCmnd_get", and the guards' lines, which begin
    // with "Command port: ").
    void memoLineRequested(const QString& line);
    // A command passed the credentials and was acknowledged: the device's address and
    // "restart", "shutdown", "restart after warning" or "shutdown after warning". The log has
    // its line just before ("Command port: restart after warning from 198.18.0.2").
    void commandAccepted(const QString& source, const QString& action);
    // A command from `source` was rejected: a wrong user name or password, or the right ones
    // in a packet of another type or with a command that is neither restart nor shutdown.
    void commandRejected(const QString& source);

private:
    using TimePointRep = SourceLockout::TimePoint::rep;
    // The guards in force; replaced whole when the settings change, so a connection thread
    // holds on to the one it started with.
    struct Guard {
        AddressFilter filter;
        std::shared_ptr<SourceLockout> lockout;
    };

    void onUi(const std::function<void()>& step);
    void handleCommand(CommandConnection& AContext, const std::vector<std::uint8_t>& message,
                       const std::string& peer);
    // Logs the accepted command and announces it.
    void accept(const QString& source, const QString& action);
    std::shared_ptr<const Guard> guard() const;
    // Whether the message from `peer` is to be dropped unchecked (connection thread).
    bool dropped(const Guard& guard, const std::string& peer);
    // A message was counted for the log (connection thread): keeps the sweep going.
    void counted(TimePointRep now);
    // A message from `peer` failed the credentials check (user-interface thread).
    void rejected(const Guard& guard, const std::string& peer);
    // Logs what the sweep found.
    void report(const SourceLockout::Sweep& sweep, const char* reason);
    // Starts the sweep (user-interface thread).
    void startSweeping();
    // From a connection thread: makes sure the sweep runs, posting its start at most once
    // until it stops again.
    void wakeSweep();

    HandOverQueue& ui_;
    SettingsHandle& MyIni_;
    PageValues& pages_;
    PendingAction& warning_;

    mutable std::mutex guardMutex_;
    std::shared_ptr<const Guard> guard_;

    // What keeps the sweep going: lockouts started and not yet reported ended (user-interface
    // thread only), and the time and number of the last message counted for the log.
    int lockoutsUnderWay_ = 0;
    std::atomic<SourceLockout::TimePoint::rep> lastCounted_{0};
    std::atomic<std::uint64_t> counted_{0};
    // True from the moment a start of the sweep is posted or it runs, until it stops.
    std::atomic<bool> sweeping_{false};
};

} // namespace norva
