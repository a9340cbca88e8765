#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace norva {

// Carries calls from worker threads to the user-interface thread and lets the worker wait
// for them.
//
// A worker calls `call(fn)`: fn is queued, the waker is told (the program's waker makes the
// Qt event loop call runPending()), and the worker blocks until fn has returned on the
// user-interface thread. An exception thrown by fn is rethrown to the worker.
//
// The user-interface thread never blocks on a worker without serving the queue: while it
// waits for workers to end it calls `serveUntil`, which keeps running queued calls. That is
// what keeps a deactivation from deadlocking against a receive thread that is waiting for
// its delivery.
class HandOverQueue {
public:
    using Waker = std::function<void()>;

    // The constructing thread is the user-interface thread.
    explicit HandOverQueue(Waker waker = {});
    ~HandOverQueue();
    HandOverQueue(const HandOverQueue&) = delete;
    HandOverQueue& operator=(const HandOverQueue&) = delete;

    void setWaker(Waker waker);
    bool onUiThread() const;

    // Worker side. Runs fn on the user-interface thread and waits for it. With a cap, the
    // worker stops waiting after it; a call that has not started by then is dropped, one
    // that is running finishes on its own, so a capped fn must not refer to the worker's
    // stack. Returns true when fn ran to completion (its exception, if any, is rethrown).
    // Called on the user-interface thread itself, fn runs at once. After close(), calls
    // are refused and return false.
    bool call(std::function<void()> fn,
              std::optional<std::chrono::milliseconds> cap = std::nullopt);

    // User-interface side: runs every call queued so far, one at a time.
    void runPending();

    // User-interface side: runs queued calls until done() is true. done() is checked after
    // each round and whenever notify() is called, and at least every few milliseconds.
    void serveUntil(const std::function<bool()>& done);

    // Wakes serveUntil, for instance when a worker thread has ended.
    void notify();

    // Refuses new calls and drops the queued ones; waiting workers return false.
    void close();

private:
    struct Item;
    std::shared_ptr<Item> takeNext();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Item>> queue_;
    Waker waker_;
    std::thread::id uiThread_;
    bool closed_ = false;
    unsigned notifications_ = 0;
};

} // namespace norva
