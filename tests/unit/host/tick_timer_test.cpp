// The tick thread: first tick after one period, no overlap, stop waits for a running tick.
#include "velmora/host/tick_timer.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace velmora::host {
namespace {

using namespace std::chrono_literals;

TEST(TickTimer, FirstTickComesOnePeriodAfterTheStart) {
    TickTimer timer;
    std::atomic<int> ticks{0};
    const auto started = std::chrono::steady_clock::now();
    std::atomic<std::chrono::steady_clock::duration> first{};
    timer.start(
        [&] {
            if (ticks++ == 0) {
                first = std::chrono::steady_clock::now() - started;
            }
        },
        200ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ticks, 0);
    std::this_thread::sleep_for(600ms);
    timer.stop();
    EXPECT_GE(ticks, 2);
    EXPECT_GE(first.load(), 200ms);
}

TEST(TickTimer, ALongTickIsNeverOverlappedAndStopWaitsForIt) {
    TickTimer timer;
    std::atomic<int> inside{0};
    std::atomic<int> most_inside{0};
    std::atomic<int> ticks{0};
    timer.start(
        [&] {
            most_inside = std::max(most_inside.load(), ++inside);
            std::this_thread::sleep_for(120ms);  // longer than the period
            --inside;
            ++ticks;
        },
        50ms);
    std::this_thread::sleep_for(400ms);
    timer.stop();
    const int after_stop = ticks;
    EXPECT_EQ(inside, 0);  // stop returned only after the running tick ended
    EXPECT_EQ(most_inside, 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(ticks, after_stop);
    EXPECT_LE(after_stop, 4);  // missed periods fall away instead of piling up
}

TEST(TickTimer, ASecondStartIsIgnored) {
    TickTimer timer;
    std::atomic<int> a{0};
    std::atomic<int> b{0};
    timer.start([&] { ++a; }, 30ms);
    timer.start([&] { ++b; }, 30ms);
    std::this_thread::sleep_for(200ms);
    timer.stop();
    EXPECT_GT(a, 0);
    EXPECT_EQ(b, 0);
}

// A hurry runs the drain between ticks, even one asked for before the start, and leaves the
// ticks' own schedule alone.
TEST(TickTimer, AHurryDrainsAtOnceWithoutMovingTheTicks) {
    TickTimer timer;
    std::atomic<int> ticks{0};
    std::atomic<int> drains{0};
    timer.hurry();  // before the start: answered as it starts
    const auto started = std::chrono::steady_clock::now();
    std::atomic<std::chrono::steady_clock::duration> first_drain{};
    timer.start([&] { ++ticks; }, 600ms, {},
                [&] {
                    if (drains++ == 0) {
                        first_drain = std::chrono::steady_clock::now() - started;
                    }
                });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(drains, 1);
    EXPECT_LT(first_drain.load(), 200ms);
    for (int i = 0; i < 3; ++i) {
        timer.hurry();
        std::this_thread::sleep_for(60ms);
    }
    EXPECT_EQ(drains, 4);
    EXPECT_EQ(ticks, 0);  // the first tick is still one period after the start
    std::this_thread::sleep_for(500ms);
    timer.stop();
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(drains, 4);
}

}  // namespace
}  // namespace velmora::host
