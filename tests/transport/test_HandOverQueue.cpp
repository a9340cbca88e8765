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

// Waits, without serving the queue, until the condition holds.
template <typename Condition> bool waitFor(Condition holds) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!holds() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    return holds();
}

// The test thread constructs the queue and so is its user-interface thread.
class HandOverQueueTest : public ::testing::Test {
protected:
    void serveUntilSet(const std::atomic<bool>& flag) {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        queue.serveAllUntil([&] { return flag || std::chrono::steady_clock::now() > deadline; });
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

// A component that waits for its own threads serves its own channel only: the calls of other
// components (a command-port step, another port's event) stay queued, in their order, for the
// event loop, and the waker is told again so that the event loop runs them next.
TEST_F(HandOverQueueTest, ChannelServesItsOwnCallsOnlyAndLeavesTheRestToTheEventLoop) {
    std::atomic<int> wakes{0};
    queue.setWaker([&] { ++wakes; });
    const HandOverQueue::Channel endpoint = queue.channel();
    const HandOverQueue::Channel port = queue.channel();
    std::vector<std::string> ran; // touched on this thread only

    std::thread otherPort([&] { port.call([&] { ran.push_back("port event"); }); });
    ASSERT_TRUE(waitFor([&] { return wakes == 1; }));
    std::thread command([&] {
        queue.call([&] { ran.push_back("command step 1"); });
        queue.call([&] { ran.push_back("command step 2"); });
    });
    ASSERT_TRUE(waitFor([&] { return wakes == 2; }));

    // The endpoint's receive thread: each delivery waits for the one before; then it ends,
    // which is what the deactivation waits for.
    std::atomic<bool> ended{false};
    std::thread receiver([&] {
        for (int i = 1; i <= 3; ++i)
            endpoint.call([&, i] { ran.push_back("delivery " + std::to_string(i)); });
        ended = true;
        endpoint.notify();
    });
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    endpoint.serveUntil([&] { return ended || std::chrono::steady_clock::now() > deadline; });
    ASSERT_TRUE(ended) << "the deactivation did not serve its own deliveries";
    receiver.join();
    EXPECT_EQ(ran, (std::vector<std::string>{"delivery 1", "delivery 2", "delivery 3"}));
    EXPECT_EQ(wakes, 2 + 3 + 1) << "one wake-up per call, and one more on the way out";

    // The event loop's turn: the others run in the order they came.
    std::atomic<bool> commandDone{false};
    std::thread waiter([&] {
        command.join();
        commandDone = true;
        queue.notify();
    });
    serveUntilSet(commandDone);
    waiter.join();
    otherPort.join();
    EXPECT_EQ(ran, (std::vector<std::string>{"delivery 1", "delivery 2", "delivery 3", "port event",
                                             "command step 1", "command step 2"}));
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

TEST_F(HandOverQueueTest, CloseReleasesWaitingWorkersOfEveryChannelAndRefusesNewCalls) {
    std::atomic<int> queued{0};
    queue.setWaker([&] { ++queued; });
    const HandOverQueue::Channel channel = queue.channel();
    std::atomic<bool> ran{false};
    bool result = true;
    bool channelResult = true;
    std::thread worker([&] { result = queue.call([&] { ran = true; }); });
    std::thread channelWorker([&] { channelResult = channel.call([&] { ran = true; }); });
    ASSERT_TRUE(waitFor([&] { return queued == 2; }));

    queue.close();
    worker.join(); // would hang if close() left a worker waiting
    channelWorker.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(channelResult);

    std::thread late([&] { result = channel.call([&] { ran = true; }); });
    late.join();
    EXPECT_FALSE(result);
    queue.runPending();
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace norva
