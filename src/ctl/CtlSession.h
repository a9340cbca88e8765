#pragma once

#include "ctl/CtlCommandLine.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

class QTimer;

namespace norva {

class ServiceClient;

// One run of norvactl: carries out a parsed command against the service through
// ServiceClient, prints what it has to say and ends with finished(status), once. The calls are
// asynchronous, so the event loop turns while the service (or polkit's password prompt) is
// awaited, and Ctrl-C is heard.
//
// Exit statuses: 0 done; 1 the service refused, failed or could not be reached; status gives
// StatusReport's (0, 1 or 3). Lines for the user go to `out`, one call per line with its line
// break; complaints to `err`, beginning with "norvactl: ".
//
// `beforePrompt` runs once, before the first call that polkit may want a password for (start,
// stop, clear, test-warning, set): main() starts a text authentication agent there when it
// runs in a terminal. `clock` gives watch's time stamps.
class CtlSession : public QObject {
    Q_OBJECT
public:
    using Print = std::function<void(const QString& line)>;
    using Clock = std::function<QDateTime()>;

    // How long status waits to learn whether the service runs and to read its values: a
    // service that holds its name and answers nothing in this time is hung.
    static constexpr int StatusWaitMs = 25 * 1000;

    CtlSession(ServiceClient& client, CtlCommand command, Print out, Print err,
               std::function<void()> beforePrompt, Clock clock, QObject* parent = nullptr);

    // Starts the command; call it once, from the running event loop.
    void run();
    // SIGINT or SIGTERM: watch ends with 0, as its normal end; any other command with 1 (the
    // service may still carry out a call it has been sent).
    void interrupt();

    // watch's time stamp for `when`.
    static QString stamp(const QDateTime& when);

signals:
    void finished(int status);

private:
    void finish(int status);
    void status();
    void watch();
    void get();
    void set();
    // For start, stop, clear, test-warning and set: ends with 0, or with 1 and the error.
    std::function<void(const QString& error)> ending();
    void event(const QString& text);
    void prompting();

    ServiceClient& client_;
    CtlCommand command_;
    Print out_;
    Print err_;
    std::function<void()> beforePrompt_;
    Clock clock_;
    QTimer* statusWait_ = nullptr;
    bool finished_ = false;
};

} // namespace norva
