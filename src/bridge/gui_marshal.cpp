// The GUI loop: a task queue drained by the gui thread, with nested modal waits.
#include "velmora/bridge/gui_marshal.h"

#include <cstdlib>
#include <iostream>
#include <memory>

namespace velmora::bridge {
namespace {

// Releases a waiter whether its task ran or was dropped with the queue.
struct Completion {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
    bool ran = false;

    void finish(bool did_run) {
        std::lock_guard lock(mutex);
        finished = true;
        ran = ran || did_run;
        cv.notify_all();
    }
};

class CompletionGuard {
public:
    explicit CompletionGuard(std::shared_ptr<Completion> c) : completion(std::move(c)) {}
    CompletionGuard(const CompletionGuard&) = delete;
    CompletionGuard& operator=(const CompletionGuard&) = delete;
    ~CompletionGuard() { completion->finish(false); }

    std::shared_ptr<Completion> completion;
};

}  // namespace

GuiLoop::GuiLoop() : gui_thread_(std::this_thread::get_id()) {}

void GuiLoop::assert_gui_thread() const {
    if (!on_gui_thread()) {
        std::cerr << "velmora: gui-thread work called from another thread\n";
        std::abort();
    }
}

bool GuiLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (is_stopped()) {
            return false;
        }
        tasks_.push_back(std::move(task));
        // notified under the lock: once the task can run, the poster no longer touches the
        // loop, which may then be destroyed
        cv_.notify_all();
    }
    return true;
}

bool GuiLoop::run_on_gui(const std::function<void()>& task) {
    if (on_gui_thread()) {
        if (is_stopped()) {
            return false;
        }
        task();
        return true;
    }
    auto completion = std::make_shared<Completion>();
    auto guard = std::make_shared<CompletionGuard>(completion);
    const bool queued = post([guard, &task] {
        task();
        guard->completion->finish(true);
    });
    guard.reset();  // the queued copy is now the only owner
    if (!queued) {
        return false;
    }
    std::unique_lock lock(completion->mutex);
    completion->cv.wait(lock, [&] { return completion->finished; });
    return completion->ran;
}

std::function<void()> GuiLoop::next_task() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return !tasks_.empty() || woken_ || is_stopped(); });
    woken_ = false;
    if (is_stopped() || tasks_.empty()) {
        return {};
    }
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    return task;
}

int GuiLoop::run() {
    assert_gui_thread();
    while (!is_stopped()) {
        if (auto task = next_task()) {
            task();
        }
    }
    std::lock_guard lock(mutex_);
    return exit_code_;
}

void GuiLoop::run_until(const std::function<bool()>& done) {
    assert_gui_thread();
    while (!is_stopped() && !done()) {
        if (auto task = next_task()) {
            task();
        }
    }
}

void GuiLoop::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    cv_.notify_all();
}

void GuiLoop::quit(int exit_code) {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        if (is_stopped()) {
            return;
        }
        exit_code_ = exit_code;
        stopped_.store(true, std::memory_order_release);
        dropped.swap(tasks_);
    }
    cv_.notify_all();
    // dropped tasks are destroyed here, outside the lock, releasing their waiters
}

}  // namespace velmora::bridge
