// A UI engine without pages: page functions are C++ callbacks and every event is recorded.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velmora/bridge/ui_engine.h"

namespace velmora::bridge {

struct RecordedEvent {
    std::string name;
    UiValue arg;
};

// Serves tests and scripted runs. Page functions run on the gui thread like real page scripts
// and may call commands back through command().
class HeadlessUiEngine final : public UiEngine {
public:
    using PageFunction = std::function<UiValue(const UiValue&)>;

    // Thread: any, before the event is raised. Replaces an earlier function of that name.
    void set_page_function(const std::string& name, PageFunction fn);
    // Thread: gui. Runs a command as a page would; nullopt when not handled.
    std::optional<UiValue> command(std::string_view name, const UiArray& args);
    // Thread: any. A copy of every page call so far, in order.
    std::vector<RecordedEvent> events() const;
    std::vector<RecordedEvent> events_named(std::string_view name) const;
    void clear_events();
    // Thread: gui. The page went away (as a closed console does).
    void close_main_window();
    // Thread: gui. Window input as the real engines hand it to the host: keys outside 1..12
    // and empty drops are dropped, and nothing arrives once the page is gone.
    void press_function_key(int number);
    void drop_files(const std::vector<std::string>& paths);
    void request_close();

    bool start(UiEngineHost& host, GuiLoop& loop) override;
    bool wait_for_main_page(std::chrono::milliseconds timeout) override;
    UiValue call_page(std::string_view fn, const UiValue& arg) override;
    void show_main_window() override;
    void toggle_maximized() override;
    bool open_window(std::string_view url) override;
    std::vector<std::string> opened_windows() const { return opened_; }
    void stop() override;

    int show_requests() const;
    int maximize_toggles() const;

private:
    // The host while the page is there; nullptr before start and after stop or close.
    UiEngineHost* live_host() const;

    UiEngineHost* host_ = nullptr;
    mutable std::mutex mutex_;
    std::map<std::string, PageFunction, std::less<>> functions_;
    std::vector<RecordedEvent> events_;
    bool stopped_ = false;
    int show_requests_ = 0;
    int maximize_toggles_ = 0;
    std::vector<std::string> opened_;
};

}  // namespace velmora::bridge
