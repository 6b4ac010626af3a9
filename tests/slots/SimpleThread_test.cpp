#include "SimpleThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

using namespace std::chrono;

TEST(SimpleThread, DestroyingAWaitingThreadReturnsWellBeforeTheWaitEnds) {
    std::atomic<int> waits{0};
    auto worker = std::make_unique<TSimpleThread>(true, [&](TSimpleThread& self) {
        while (!self.Terminated()) {
            waits.fetch_add(1);
            self.WaitForWake(1000);
        }
    });
    worker->Resume();
    while (waits.load() == 0) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(milliseconds(50)); // inside the wait by now
    const auto start = steady_clock::now();
    worker.reset();
    EXPECT_LT(steady_clock::now() - start, milliseconds(200));
    EXPECT_EQ(waits.load(), 1);
}

TEST(SimpleThread, AThreadNeverResumedRunsWithTerminatedSetAndEndsAtOnce) {
    std::atomic<bool> ran{false};
    std::atomic<bool> sawTerminated{false};
    const auto start = steady_clock::now();
    {
        TSimpleThread worker(true, [&](TSimpleThread& self) {
            ran = true;
            sawTerminated = self.Terminated();
            self.WaitForWake(5000); // returns at once when terminated
        });
    }
    EXPECT_LT(steady_clock::now() - start, milliseconds(200));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(sawTerminated);
}

TEST(SimpleThread, WakeEndsAWaitOnlyWhileItRuns) {
    std::atomic<int> phase{0};
    milliseconds firstWait{};
    milliseconds secondWait{};
    TSimpleThread worker(false, [&](TSimpleThread& self) {
        auto t0 = steady_clock::now();
        phase = 1;
        self.WaitForWake(2000);
        firstWait = duration_cast<milliseconds>(steady_clock::now() - t0);
        while (phase.load() != 2) {
            std::this_thread::yield();
        }
        t0 = steady_clock::now();
        self.WaitForWake(150); // the Wake before this wait does not count
        secondWait = duration_cast<milliseconds>(steady_clock::now() - t0);
        phase = 3;
    });
    while (phase.load() != 1) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(milliseconds(50));
    worker.Wake();
    std::this_thread::sleep_for(milliseconds(50));
    worker.Wake(); // comes before the second wait starts
    phase = 2;
    while (phase.load() != 3) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_LT(firstWait, milliseconds(1000));
    EXPECT_GE(secondWait, milliseconds(140));
}

TEST(GetMilliseconds, NeverGoesBackwardsAndFollowsTime) {
    const auto first = GetMilliseconds();
    std::uint64_t last = first;
    for (int i = 0; i < 100000; ++i) {
        const auto now = GetMilliseconds();
        ASSERT_GE(now, last);
        last = now;
    }
    std::this_thread::sleep_for(milliseconds(100));
    const auto elapsed = GetMilliseconds() - first;
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 2000u);
}

TEST(CounterToMilliseconds, IsExactAndDoesNotOverflow) {
    EXPECT_EQ(CounterToMilliseconds(25000000, 10000000), 2500u);
    EXPECT_EQ(CounterToMilliseconds(25000000, 0), 0u);
    // Past 2^64 / 1000 the counter is divided first instead of multiplied.
    const std::uint64_t big = 18446744073709551ull * 10;
    EXPECT_EQ(CounterToMilliseconds(big, 10000000), big / 10000);
    EXPECT_EQ(CounterToMilliseconds(18446744073709550ull, 1000), 18446744073709550ull);
}
