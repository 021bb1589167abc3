// The GUI thread's message loop and the request to run work on it from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace velmora::bridge {

// One loop per process, owned by the thread that constructs it (the gui thread).
class GuiLoop {
public:
    GuiLoop();

    // Thread: any. Queues a task; false (and the task dropped) once the loop has stopped.
    bool post(std::function<void()> task);
    // Thread: any. Runs the task on the gui thread and waits for it; inline on the gui
    // thread. False when the loop stopped before the task could run.
    bool run_on_gui(const std::function<void()>& task);

    // Thread: gui. Runs queued tasks until quit(); returns the exit code given to quit().
    int run();
    // Thread: gui. Runs queued tasks until done() holds or the loop stops, as a modal
    // dialog does; may nest. done() is tested after every task and after wake().
    void run_until(const std::function<bool()>& done);
    // Thread: any. Makes a waiting run_until test its condition again.
    void wake();

    // Thread: any. Stops the loop; queued tasks are dropped and their waiters released.
    void quit(int exit_code);
    bool is_stopped() const { return stopped_.load(std::memory_order_acquire); }
    bool on_gui_thread() const { return std::this_thread::get_id() == gui_thread_; }
    void assert_gui_thread() const;

private:
    // Takes one task, waiting while the queue is empty; empty function when woken or stopped.
    std::function<void()> next_task();

    const std::thread::id gui_thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool woken_ = false;
    std::atomic<bool> stopped_{false};
    int exit_code_ = 0;
};

}  // namespace velmora::bridge
