#include "transport/HandOverQueue.h"

#include <algorithm>

namespace norva {

struct HandOverQueue::Item {
    unsigned channel = kEventLoop;
    std::function<void()> fn;
    std::mutex mutex;
    std::condition_variable done;
    bool started = false;
    bool finished = false;
    bool dropped = false;
    std::exception_ptr error;
};

HandOverQueue::HandOverQueue(Waker waker)
    : waker_(std::move(waker)), uiThread_(std::this_thread::get_id()) {}

HandOverQueue::~HandOverQueue() {
    close();
}

void HandOverQueue::setWaker(Waker waker) {
    std::lock_guard lock(mutex_);
    waker_ = std::move(waker);
}

bool HandOverQueue::onUiThread() const {
    std::lock_guard lock(mutex_);
    return uiThread_ == std::this_thread::get_id();
}

HandOverQueue::Channel HandOverQueue::channel() {
    std::lock_guard lock(mutex_);
    return Channel(*this, nextChannel_++);
}

bool HandOverQueue::Channel::call(std::function<void()> fn,
                                  std::optional<std::chrono::milliseconds> cap) const {
    return queue_->callOn(id_, std::move(fn), cap);
}

void HandOverQueue::Channel::serveUntil(const std::function<bool()>& done) const {
    queue_->serveOn(id_, done);
}

void HandOverQueue::Channel::notify() const {
    queue_->notify();
}

bool HandOverQueue::Channel::closed() const {
    std::lock_guard lock(queue_->mutex_);
    return queue_->closed_;
}

bool HandOverQueue::call(std::function<void()> fn, std::optional<std::chrono::milliseconds> cap) {
    return callOn(kEventLoop, std::move(fn), cap);
}

bool HandOverQueue::callOn(unsigned channel, std::function<void()> fn,
                           std::optional<std::chrono::milliseconds> cap) {
    if (onUiThread()) {
        fn();
        return true;
    }
    auto item = std::make_shared<Item>();
    item->channel = channel;
    item->fn = std::move(fn);
    Waker waker;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return false;
        queue_.push_back(item);
        waker = waker_;
    }
    changed_.notify_all();
    if (waker)
        waker();

    std::unique_lock lock(item->mutex);
    auto finishedOrDropped = [&] { return item->finished || item->dropped; };
    if (cap) {
        if (!item->done.wait_for(lock, *cap, finishedOrDropped)) {
            if (!item->started)
                item->dropped = true; // takeNext() skips it
            return false;
        }
    } else {
        item->done.wait(lock, finishedOrDropped);
    }
    if (item->dropped)
        return false;
    // Take the exception out of the item, so the worker alone owns it from here on and the
    // user-interface thread, which may drop the item last, never frees it under the worker.
    if (std::exception_ptr error = std::move(item->error))
        std::rethrow_exception(std::move(error));
    return true;
}

std::shared_ptr<HandOverQueue::Item> HandOverQueue::takeNext(unsigned channel) {
    for (;;) {
        std::shared_ptr<Item> item;
        {
            std::lock_guard lock(mutex_);
            const auto next = std::find_if(queue_.begin(), queue_.end(), [&](const auto& i) {
                return channel == kEveryChannel || i->channel == channel;
            });
            if (next == queue_.end())
                return nullptr;
            item = *next;
            queue_.erase(next);
        }
        std::lock_guard itemLock(item->mutex);
        if (item->dropped)
            continue;
        item->started = true;
        return item;
    }
}

bool HandOverQueue::queuedLocked(unsigned channel) const {
    return std::any_of(queue_.begin(), queue_.end(), [&](const auto& i) {
        return channel == kEveryChannel || i->channel == channel;
    });
}

void HandOverQueue::runPending() {
    run(kEveryChannel);
}

void HandOverQueue::run(unsigned channel) {
    while (auto item = takeNext(channel)) {
        std::exception_ptr error;
        try {
            item->fn();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard itemLock(item->mutex);
            item->error = std::move(error);
            item->finished = true;
            item->fn = nullptr;
        }
        item->done.notify_all();
    }
}

void HandOverQueue::serveAllUntil(const std::function<bool()>& done) {
    serveOn(kEveryChannel, done);
}

void HandOverQueue::serveOn(unsigned channel, const std::function<bool()>& done) {
    for (;;) {
        run(channel);
        if (done())
            break;
        std::unique_lock lock(mutex_);
        const unsigned seen = notifications_;
        changed_.wait_for(lock, std::chrono::milliseconds(5),
                          [&] { return queuedLocked(channel) || notifications_ != seen; });
    }
    // Calls of other channels stay queued for the event loop. The waker heard of each when it
    // came; it is told once more, so that they run next whatever the waker makes of repeated
    // wake-ups (a waker that keeps one wake-up pending for many calls loses nothing).
    Waker waker;
    {
        std::lock_guard lock(mutex_);
        if (channel != kEveryChannel && !queue_.empty())
            waker = waker_;
    }
    if (waker)
        waker();
}

void HandOverQueue::notify() {
    {
        std::lock_guard lock(mutex_);
        ++notifications_;
    }
    changed_.notify_all();
}

void HandOverQueue::close() {
    std::deque<std::shared_ptr<Item>> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(queue_);
    }
    for (auto& item : dropped) {
        {
            std::lock_guard itemLock(item->mutex);
            item->dropped = true;
        }
        item->done.notify_all();
    }
    changed_.notify_all();
}

} // namespace norva
