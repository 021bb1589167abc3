// The tick thread.
#include "velmora/host/tick_timer.h"

namespace velmora::host {

void TickTimer::start(std::function<void()> tick, std::chrono::milliseconds period) {
    if (thread_.joinable()) {
        return;
    }
    tick_ = std::move(tick);
    stopping_ = false;
    thread_ = std::thread([this, period] { run(period); });
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
    {
        const std::lock_guard lock(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace velmora::host
