#include "transport/HandOverQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace norva {
namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 10s;

// Waits, without serving the queue, until the flag is set.
bool waitFor(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!flag && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return flag;
}

// The test thread constructs the queue and so is its user-interface thread.
class HandOverQueueTest : public ::testing::Test {
protected:
    void serveUntilSet(const std::atomic<bool>& flag) {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        queue.serveUntil([&] { return flag || std::chrono::steady_clock::now() > deadline; });
        ASSERT_TRUE(flag);
    }

    HandOverQueue queue;
    const std::thread::id ui = std::this_thread::get_id();
};

TEST_F(HandOverQueueTest, WorkerCallRunsOnTheUiThreadAndGetsItsException) {
    std::thread::id ranOn;
    bool firstResult = false;
    std::string caught;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        firstResult = queue.call([&] { ranOn = std::this_thread::get_id(); });
        try {
            queue.call([] { throw std::runtime_error("from the handler"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        finished = true;
        queue.notify();
    });
    serveUntilSet(finished);
    worker.join();

    EXPECT_TRUE(firstResult);
    EXPECT_EQ(ranOn, ui);
    EXPECT_EQ(caught, "from the handler");

    bool ranAtOnce = false; // the user-interface thread's own call does not queue
    EXPECT_TRUE(queue.call([&] { ranAtOnce = true; }));
    EXPECT_TRUE(ranAtOnce);
}

TEST_F(HandOverQueueTest, ServeUntilRunsCallsInOrderWhileItWaits) {
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        for (int i = 0; i < 5; ++i)
            queue.call([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        finished = true;
        queue.notify();
    });
    serveUntilSet(finished);
    worker.join();

    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(threads, std::vector<std::thread::id>(5, ui));
}

TEST_F(HandOverQueueTest, CappedCallNeverServedIsDroppedForGood) {
    std::atomic<bool> ran{false};
    bool result = true;
    std::thread worker([&] { result = queue.call([&] { ran = true; }, 20ms); });
    worker.join(); // nobody served it within the cap

    EXPECT_FALSE(result);
    queue.runPending();
    EXPECT_FALSE(ran);

    // A capped call that is served in time reports success.
    std::atomic<bool> finished{false};
    std::thread second([&] {
        result = queue.call([&] { ran = true; }, kTimeout);
        finished = true;
        queue.notify();
    });
    serveUntilSet(finished);
    second.join();
    EXPECT_TRUE(result);
    EXPECT_TRUE(ran);
}

TEST_F(HandOverQueueTest, CloseReleasesWaitingWorkersAndRefusesNewCalls) {
    std::atomic<bool> queued{false};
    queue.setWaker([&] { queued = true; });
    std::atomic<bool> ran{false};
    bool result = true;
    std::thread worker([&] { result = queue.call([&] { ran = true; }); });
    ASSERT_TRUE(waitFor(queued));

    queue.close();
    worker.join(); // would hang if close() left the worker waiting
    EXPECT_FALSE(result);

    std::thread late([&] { result = queue.call([&] { ran = true; }); });
    late.join();
    EXPECT_FALSE(result);
    queue.runPending();
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace norva
