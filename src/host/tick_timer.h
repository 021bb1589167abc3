// The engine's once-a-second tick on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace velmora::host {

// Thread: start() and stop() on one thread (the gui); the tick runs on the timer's thread, so
// two ticks never overlap. A tick that overruns the period makes the missed ticks fall away.
class TickTimer {
public:
    TickTimer() = default;
    ~TickTimer() { stop(); }
    TickTimer(const TickTimer&) = delete;
    TickTimer& operator=(const TickTimer&) = delete;

    // The first tick comes one period after the start. A second start is ignored. `ended` runs
    // on the timer's thread once its last tick is over. `drain` is what hurry() runs between
    // ticks.
    void start(std::function<void()> tick,
               std::chrono::milliseconds period,
               std::function<void()> ended = {},
               std::function<void()> drain = {});
    // Thread: any; never blocks for long. Runs `drain` on the timer's thread as soon as it is
    // free (or started), without moving the next tick. Requests made meanwhile are answered
    // by one drain.
    void hurry();
    // No tick starts after this; one that runs goes on to its end.
    void request_stop();
    // True from start() until the last tick is over.
    bool ticking() const;
    // Waits for a running tick to end; no tick follows.
    void stop();
    bool started() const { return thread_.joinable(); }

private:
    void run(std::chrono::milliseconds period);

    std::function<void()> tick_;
    std::function<void()> ended_;
    std::function<void()> drain_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool ticking_ = false;
    bool hurried_ = false;
    std::thread thread_;
};

}  // namespace velmora::host
