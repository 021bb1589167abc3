// The tick thread.
#include "velmora/host/tick_timer.h"

namespace velmora::host {

void TickTimer::start(std::function<void()> tick,
                      std::chrono::milliseconds period,
                      std::function<void()> ended) {
    if (thread_.joinable()) {
        return;
    }
    tick_ = std::move(tick);
    ended_ = std::move(ended);
    {
        const std::lock_guard lock(lock_);
        stopping_ = false;
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
    auto due = std::chrono::steady_clock::now() + period;
    std::unique_lock lock(lock_);
    while (!stopping_) {
        if (wake_.wait_until(lock, due, [this] { return stopping_; })) {
            return;
        }
        lock.unlock();
        tick_();
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
