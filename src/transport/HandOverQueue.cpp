#include "transport/HandOverQueue.h"

namespace norva {

struct HandOverQueue::Item {
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

bool HandOverQueue::call(std::function<void()> fn, std::optional<std::chrono::milliseconds> cap) {
    if (onUiThread()) {
        fn();
        return true;
    }
    auto item = std::make_shared<Item>();
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

std::shared_ptr<HandOverQueue::Item> HandOverQueue::takeNext() {
    for (;;) {
        std::shared_ptr<Item> item;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                return nullptr;
            item = queue_.front();
            queue_.pop_front();
        }
        std::lock_guard itemLock(item->mutex);
        if (item->dropped)
            continue;
        item->started = true;
        return item;
    }
}

void HandOverQueue::runPending() {
    while (auto item = takeNext()) {
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

void HandOverQueue::serveUntil(const std::function<bool()>& done) {
    for (;;) {
        runPending();
        if (done())
            return;
        std::unique_lock lock(mutex_);
        const unsigned seen = notifications_;
        changed_.wait_for(lock, std::chrono::milliseconds(5),
                          [&] { return !queue_.empty() || notifications_ != seen; });
    }
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
