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
// Every call belongs to a channel. A component whose worker threads hand calls over, and
// which later waits for those threads on the user-interface thread, takes a channel of its
// own (`channel()`); calls made on the queue itself belong to the event loop's channel. The
// event loop (runPending) runs the calls of every channel, in the order they came.
//
// The user-interface thread never blocks on a worker without serving the calls that worker
// may be waiting for: while a component waits for its threads to end it calls its channel's
// `serveUntil`, which runs that channel's calls and no others. So a deactivation cannot
// deadlock against a receive thread waiting for its delivery, and no other component's
// step (a command-port step, another port's event) runs in the middle of it: those stay
// queued, in their order, for the event loop.
class HandOverQueue {
public:
    using Waker = std::function<void()>;

    // The calls of one component. Cheap to copy; every copy is the same channel. Must not
    // outlive its queue.
    class Channel {
    public:
        // As HandOverQueue::call, on this channel.
        bool call(std::function<void()> fn,
                  std::optional<std::chrono::milliseconds> cap = std::nullopt) const;

        // User-interface side: runs this channel's queued calls until done() is true; calls
        // of other channels stay queued for the event loop (the waker is told again on the
        // way out when there are any, so they run next). done() is checked after each round
        // and whenever notify() is called, and at least every few milliseconds.
        void serveUntil(const std::function<bool()>& done) const;

        // Wakes serveUntil, for instance when a worker thread has ended.
        void notify() const;

        // Whether the queue refuses calls (close() has run).
        bool closed() const;

    private:
        friend class HandOverQueue;
        Channel(HandOverQueue& queue, unsigned id) : queue_(&queue), id_(id) {}

        HandOverQueue* queue_;
        unsigned id_;
    };

    // The constructing thread is the user-interface thread.
    explicit HandOverQueue(Waker waker = {});
    ~HandOverQueue();
    HandOverQueue(const HandOverQueue&) = delete;
    HandOverQueue& operator=(const HandOverQueue&) = delete;

    void setWaker(Waker waker);
    bool onUiThread() const;

    // A new channel, distinct from every other.
    Channel channel();

    // Worker side, on the event loop's channel. Runs fn on the user-interface thread and
    // waits for it. With a cap, the worker stops waiting after it; a call that has not
    // started by then is dropped, one that is running finishes on its own, so a capped fn
    // must not refer to the worker's stack. Returns true when fn ran to completion (its
    // exception, if any, is rethrown). Called on the user-interface thread itself, fn runs
    // at once. After close(), calls are refused and return false.
    bool call(std::function<void()> fn,
              std::optional<std::chrono::milliseconds> cap = std::nullopt);

    // User-interface side, the event loop's part: runs every call queued so far, of every
    // channel, one at a time.
    void runPending();

    // What an event loop does, for a thread that has none (tests): runs the calls of every
    // channel until done() is true, checking it as Channel::serveUntil does.
    void serveAllUntil(const std::function<bool()>& done);

    // Wakes serveUntil and serveAllUntil.
    void notify();

    // Refuses new calls and drops the queued ones of every channel; waiting workers return
    // false.
    void close();

private:
    struct Item;
    static constexpr unsigned kEventLoop = 0;
    static constexpr unsigned kEveryChannel = ~0u;

    bool callOn(unsigned channel, std::function<void()> fn,
                std::optional<std::chrono::milliseconds> cap);
    // Runs the queued calls of `channel` (kEveryChannel: all) until there are none.
    void run(unsigned channel);
    void serveOn(unsigned channel, const std::function<bool()>& done);
    std::shared_ptr<Item> takeNext(unsigned channel);
    bool queuedLocked(unsigned channel) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Item>> queue_;
    Waker waker_;
    std::thread::id uiThread_;
    bool closed_ = false;
    unsigned notifications_ = 0;
    unsigned nextChannel_ = kEventLoop + 1;
};

} // namespace norva
