// The console UI engine: the page is whatever speaks JSON lines on stdin and stdout.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "velmora/bridge/page_channel.h"
#include "velmora/bridge/ui_engine.h"

namespace velmora::platform {

// The end of input closes the window: page calls answer undefined from then on and the
// client runs its exit sequence. Drops name local paths: the console's page can know them.
class ConsoleUiEngine final : public bridge::UiEngine {
public:
    ConsoleUiEngine(std::FILE* in, std::FILE* out);
    ~ConsoleUiEngine() override;
    ConsoleUiEngine(const ConsoleUiEngine&) = delete;
    ConsoleUiEngine& operator=(const ConsoleUiEngine&) = delete;

    bool start(bridge::UiEngineHost& host, bridge::GuiLoop& loop) override;
    bool wait_for_main_page(std::chrono::milliseconds timeout) override;
    bridge::UiValue call_page(std::string_view fn, const bridge::UiValue& arg) override;
    void post_page(std::string_view fn, const bridge::UiValue& arg) override;
    void call_page_then(std::string_view fn,
                        const bridge::UiValue& arg,
                        std::function<void(bridge::UiValue)> answered) override;
    // The lines of a burst wake the writer once, as it ends.
    void begin_page_burst() override;
    void end_page_burst() override;
    void show_main_window() override;
    // Passed on as {"t":"window","op":"toggle_maximized"} for whatever shows the page.
    void toggle_maximized() override;
    void stop() override;

private:
    void read_lines();
    // Thread: any. Queues the line for the writer, or writes it at once when none runs.
    void write_line(const std::string& line);
    // Thread: the writer. Writes what queued up meanwhile in one go: a write per message would
    // wake the page once for each of a tick's thousands of events.
    void write_queued();
    void stop_writer();

    // At most this much waits for the writer; the next line then waits for room, as a line
    // written at once would wait for a page that does not read.
    static constexpr std::size_t kMaxQueuedBytes = 4U << 20U;

    std::FILE* in_;
    std::FILE* out_;
    std::mutex out_mutex_;
    std::condition_variable out_changed_;
    std::string queued_out_;        // guarded by out_mutex_
    bool writing_ = false;          // guarded by out_mutex_: the writer runs
    bool writer_stopping_ = false;  // guarded by out_mutex_
    int bursts_ = 0;                // guarded by out_mutex_: begun and not yet ended
    std::thread writer_;
    bridge::GuiLoop* loop_ = nullptr;
    bridge::UiEngineHost* host_ = nullptr;
    std::unique_ptr<bridge::PageChannel> channel_;
    int wake_pipe_[2] = {-1, -1};
    std::thread reader_;
};

}  // namespace velmora::platform
