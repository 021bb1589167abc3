// The headless UI engine used by tests.
#include "velmora/bridge/headless_ui_engine.h"

namespace velmora::bridge {

void HeadlessUiEngine::set_page_function(const std::string& name, PageFunction fn) {
    std::lock_guard lock(mutex_);
    functions_[name] = std::move(fn);
}

std::optional<UiValue> HeadlessUiEngine::command(std::string_view name, const UiArray& args) {
    if (host_ == nullptr) {
        return std::nullopt;
    }
    return host_->dispatch_command(name, args);
}

std::vector<RecordedEvent> HeadlessUiEngine::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<RecordedEvent> HeadlessUiEngine::events_named(std::string_view name) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedEvent> out;
    for (const auto& e : events_) {
        if (e.name == name) {
            out.push_back(e);
        }
    }
    return out;
}

void HeadlessUiEngine::clear_events() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

void HeadlessUiEngine::close_main_window() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    if (host_ != nullptr) {
        host_->on_main_window_closed();
    }
}

UiEngineHost* HeadlessUiEngine::live_host() const {
    std::lock_guard lock(mutex_);
    return stopped_ ? nullptr : host_;
}

void HeadlessUiEngine::press_function_key(int number) {
    if (auto* host = live_host(); host != nullptr && is_function_key(number)) {
        host->on_function_key(number);
    }
}

void HeadlessUiEngine::drop_files(const std::vector<std::string>& paths) {
    if (auto* host = live_host(); host != nullptr && !paths.empty()) {
        host->on_files_dropped(paths);
    }
}

void HeadlessUiEngine::request_close() {
    if (auto* host = live_host()) {
        host->on_close_requested();
    }
}

bool HeadlessUiEngine::start(UiEngineHost& host, GuiLoop& /*loop*/) {
    host_ = &host;
    return true;
}

bool HeadlessUiEngine::wait_for_main_page(std::chrono::milliseconds /*timeout*/) {
    return true;
}

UiValue HeadlessUiEngine::call_page(std::string_view fn, const UiValue& arg) {
    PageFunction function;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return UiValue();
        }
        events_.push_back({std::string(fn), arg});
        const auto it = functions_.find(fn);
        if (it == functions_.end()) {
            return UiValue();  // the page defines no such function
        }
        function = it->second;
    }
    // run outside the lock: the function may call commands that raise further events
    return function(arg);
}

void HeadlessUiEngine::show_main_window() {
    std::lock_guard lock(mutex_);
    ++show_requests_;
}

int HeadlessUiEngine::show_requests() const {
    std::lock_guard lock(mutex_);
    return show_requests_;
}

bool HeadlessUiEngine::open_window(std::string_view url) {
    opened_.emplace_back(url);
    return true;
}

void HeadlessUiEngine::toggle_maximized() {
    std::lock_guard lock(mutex_);
    ++maximize_toggles_;
}

int HeadlessUiEngine::maximize_toggles() const {
    std::lock_guard lock(mutex_);
    return maximize_toggles_;
}

void HeadlessUiEngine::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
}

}  // namespace velmora::bridge
