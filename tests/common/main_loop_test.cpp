#include "common/main_loop.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace vantorel {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, BackgroundResultsArriveOnTheLoopThread) {
    MainLoop loop;
    std::thread::id loopThread = std::this_thread::get_id();
    std::thread::id workThread;
    std::thread::id deliveredOn;
    int value = 0;
    loop.background<int>(
        [&] {
            workThread = std::this_thread::get_id();
            return 42;
        },
        [&](Outcome<int> outcome) {
            deliveredOn = std::this_thread::get_id();
            value = outcome.get();
        });
    ASSERT_TRUE(loop.runUntil([&] { return value != 0; }, 5s));
    EXPECT_EQ(value, 42);
    EXPECT_NE(workThread, loopThread);
    EXPECT_EQ(deliveredOn, loopThread);
}

TEST(MainLoop, BackgroundFailureIsDeliveredNotLost) {
    MainLoop loop;
    std::string message;
    loop.background<int>([]() -> int { throw std::runtime_error("décodage impossible"); },
                         [&](Outcome<int> outcome) {
                             EXPECT_FALSE(outcome.ok());
                             try {
                                 outcome.get();
                             } catch (const std::runtime_error& error) {
                                 message = error.what();
                             }
                         });
    ASSERT_TRUE(loop.runUntil([&] { return !message.empty(); }, 5s));
    EXPECT_EQ(message, "décodage impossible");
}

TEST(MainLoop, PostedWorkRunsInOrder) {
    MainLoop loop;
    std::vector<int> order;
    std::thread poster([&] {
        for (int i = 0; i < 50; ++i) loop.post([&order, i] { order.push_back(i); });
    });
    poster.join();
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 50; }, 5s));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(MainLoop, PostedWorkRunsInsideANestedWait) {
    MainLoop loop;
    bool inner = false;
    bool nestedDone = false;
    loop.post([&] {
        loop.post([&] { inner = true; });
        nestedDone = loop.runUntil([&] { return inner; }, 2s);
    });
    ASSERT_TRUE(loop.runUntil([&] { return nestedDone; }, 5s));
}

TEST(MainLoop, TimersFireStopWhenCancelledAndQuitEndsTheRun) {
    MainLoop loop;
    int once = 0;
    int repeated = 0;
    Timer single = loop.after(20ms, [&] { ++once; });
    Timer repeating = loop.every(10ms, [&] { ++repeated; });
    ASSERT_TRUE(loop.runUntil([&] { return once == 1 && repeated >= 3; }, 5s));
    repeating.cancel();
    EXPECT_FALSE(repeating.active());
    int seen = repeated;
    loop.runUntil([] { return false; }, 60ms);
    EXPECT_EQ(repeated, seen);
    EXPECT_EQ(once, 1);

    int never = 0;
    {
        Timer dropped = loop.after(10ms, [&] { ++never; });
    }
    loop.runUntil([] { return false; }, 40ms);
    EXPECT_EQ(never, 0);

    // run() returns once a timer quits the loop; a hang here is the failure.
    Timer stop = loop.after(10ms, [&] { loop.quit(); });
    loop.run();
}

}  // namespace
}  // namespace vantorel
