// The tick thread.
#include "velmora/host/tick_timer.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace velmora::host {
namespace {

// VELMORA_TICK_LOG=1 prints each tick's own duration on stderr: the scale benchmark reads it,
// since the page cannot see how long a tick that raises few events worked.
bool tick_log_wanted() {
    const char* value = std::getenv("VELMORA_TICK_LOG");
    return value != nullptr && std::string_view(value) == "1";
}

}  // namespace

void TickTimer::start(std::function<void()> tick,
                      std::chrono::milliseconds period,
                      std::function<void()> ended,
                      std::function<void()> drain) {
    if (thread_.joinable()) {
        return;
    }
    tick_ = std::move(tick);
    ended_ = std::move(ended);
    {
        // under the lock: hurry() may come from an engine thread at any time
        const std::lock_guard lock(lock_);
        drain_ = std::move(drain);
        stopping_ = false;  // a hurry from before the start is answered at once
        ticking_ = true;
    }
    thread_ = std::thread([this, period] {
        run(period);
        {
            const std::lock_guard lock(lock_);
            ticking_ = false;
        }
        if (ended_) {
            ended_();
        }
    });
}

void TickTimer::hurry() {
    {
        const std::lock_guard lock(lock_);
        if (hurried_) {
            return;
        }
        hurried_ = true;
    }
    wake_.notify_all();
}

void TickTimer::request_stop() {
    {
        const std::lock_guard lock(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
}

bool TickTimer::ticking() const {
    const std::lock_guard lock(lock_);
    return ticking_;
}

void TickTimer::run(std::chrono::milliseconds period) {
    const bool log_ticks = tick_log_wanted();
    auto due = std::chrono::steady_clock::now() + period;
    std::unique_lock lock(lock_);
    while (!stopping_) {
        wake_.wait_until(lock, due, [this] { return stopping_ || hurried_; });
        if (stopping_) {
            return;
        }
        if (hurried_ && std::chrono::steady_clock::now() < due) {
            hurried_ = false;
            if (drain_) {
                lock.unlock();
                drain_();
                lock.lock();
            }
            continue;
        }
        hurried_ = false;  // the tick takes whatever the drain would have
        lock.unlock();
        const auto started = std::chrono::steady_clock::now();
        tick_();
        if (log_ticks) {
            const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - started);
            std::fprintf(stderr, "velmora: tick %lld us\n", static_cast<long long>(took.count()));
        }
        lock.lock();
        const auto now = std::chrono::steady_clock::now();
        do {
            due += period;
        } while (due <= now);
    }
}

void TickTimer::stop() {
    request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace velmora::host
