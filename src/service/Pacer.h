#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

namespace norva {

// Runs a costly action (a file rewritten with fsync, a bus signal to every listener) at most
// once per `interval`, however often it is asked for, without ever losing the last request:
// a request that cannot run now makes the action run when the interval ends, once, for
// every request made meanwhile. The action itself reads the newest state when it runs, so the
// state of the last request is always what comes out.
//
// `gather` is how long a request after a quiet spell waits before it runs: 0 runs it at once
// (the first change is seen without delay, the rest of a burst together at the interval's
// end); a gather equal to the interval makes the changes of one moment go out together (a
// heartbeat and its answer, a few milliseconds apart, in one run).
//
// The clock is injected and the timer's handler is public, so tests move the time and fire
// the timer themselves. The timer is single-shot and armed only while a request is pending:
// an idle service does not wake up for it. Use on the thread the object lives on.
class Pacer : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    Pacer(
        std::chrono::milliseconds interval, std::chrono::milliseconds gather,
        std::function<void()> action,
        Clock clock = [] { return std::chrono::steady_clock::now(); });

    // Something changed: the action runs now, or when the interval allows.
    void request();
    // Runs a pending action now, whatever the interval (at the end, so the last state is
    // written); nothing when none is pending.
    void flush();
    bool pending() const { return pending_; }

    // Fires when a pending action is due; its handler is timerTimer().
    QTimer timer;
    void timerTimer();

private:
    void run();
    // Arms the timer for `due`, or runs now when it has come.
    void arm(std::chrono::steady_clock::time_point due);

    std::chrono::milliseconds interval_;
    std::chrono::milliseconds gather_;
    std::function<void()> action_;
    Clock clock_;
    bool pending_ = false;
    bool ran_ = false;
    std::chrono::steady_clock::time_point lastRun_{};
    std::chrono::steady_clock::time_point due_{};
};

} // namespace norva
