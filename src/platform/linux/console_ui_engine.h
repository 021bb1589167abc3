// The console UI engine: the page is whatever speaks JSON lines on stdin and stdout.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
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
    void show_main_window() override;
    // Passed on as {"t":"window","op":"toggle_maximized"} for whatever shows the page.
    void toggle_maximized() override;
    void stop() override;

private:
    void read_lines();
    void write_line(const std::string& line);

    std::FILE* in_;
    std::FILE* out_;
    std::mutex out_mutex_;
    bridge::GuiLoop* loop_ = nullptr;
    bridge::UiEngineHost* host_ = nullptr;
    std::unique_ptr<bridge::PageChannel> channel_;
    int wake_pipe_[2] = {-1, -1};
    std::thread reader_;
};

}  // namespace velmora::platform
