#include "common/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

TEST(ManualResetEvent, StaysSignalledUntilReset) {
    ManualResetEvent event;
    EXPECT_TRUE(event.Ready());
    EXPECT_FALSE(event.IsSignalled());
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(INFINITE_WAIT));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(ManualResetEvent, TimedWaitLastsAtLeastItsTime) {
    ManualResetEvent event;
    const auto start = Clock::now();
    EXPECT_FALSE(event.Wait(30));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

struct PulseContext {
    ManualResetEvent* event;
    std::atomic<bool> waiting{false};
    std::atomic<bool> released{false};
};

// A Set followed at once by a Reset must still release a thread that was waiting.
TEST(ManualResetEvent, PulseReleasesAWaiter) {
    ManualResetEvent event;
    PulseContext context{&event};
    Thread waiter;
    ASSERT_TRUE(waiter.Start(
        [](void* raw) {
            auto* c = static_cast<PulseContext*>(raw);
            c->waiting = true;
            c->event->Wait(INFINITE_WAIT);
            c->released = true;
        },
        &context));
    while (!context.waiting) {
        SleepMs(1);
    }
    SleepMs(100);  // let the waiter block in its wait
    event.Set();
    event.Reset();
    for (int i = 0; i < 500 && !context.released; ++i) {
        SleepMs(10);
    }
    const bool releasedByPulse = context.released;
    event.Set();  // never leave the waiter hanging, whatever the outcome
    waiter.Join();
    EXPECT_TRUE(releasedByPulse);
}

TEST(Thread, StartsOnceAndJoins) {
    std::atomic<int> runs{0};
    Thread thread;
    ASSERT_TRUE(thread.Start([](void* raw) { ++*static_cast<std::atomic<int>*>(raw); }, &runs));
    EXPECT_TRUE(thread.Held());
    EXPECT_FALSE(thread.Start([](void*) {}, nullptr));
    thread.Join();
    EXPECT_FALSE(thread.Held());
    thread.Join();
    EXPECT_EQ(runs, 1);
}

}  // namespace
