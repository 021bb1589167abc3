// Start, main-page wait, page calls and stop of the web UI engine.
#include "velmora/platform/linux/web/web_ui_engine.h"

#include <atomic>
#include <iostream>

#include "velmora/bridge/gui_marshal.h"
#include "velmora/platform/linux/web/dropped_files.h"
#include "velmora/platform/linux/web/embedded_pages.h"
#include "velmora/platform/linux/web/page_opener.h"
#include "velmora/platform/linux/web/page_registry.h"
#include "velmora/platform/linux/web/request_rules.h"
#include "velmora/platform/linux/web/web_server.h"

namespace velmora::platform {
namespace {

// Longer waits than this are waits without a deadline (a timer could not hold them).
constexpr std::chrono::hours kLongestTimedWait{24 * 365};

}  // namespace

WebUiEngine::WebUiEngine(WebUiOptions options) : options_(std::move(options)) {}

WebUiEngine::~WebUiEngine() {
    if (server_) {
        stop();
    }
}

bool WebUiEngine::start(bridge::UiEngineHost& host, bridge::GuiLoop& loop) {
    loop.assert_gui_thread();
    loop_ = &loop;
    auto token = make_page_token();
    if (!token) {
        std::cerr << "velmora: no random source for the page token\n";
        return false;
    }
    ArchiveLookup lookup =
        options_.archive_lookup ? options_.archive_lookup : embedded_page_lookup();
    if (!lookup) {
        std::cerr << "velmora: the page archive is missing or damaged\n";
        return false;
    }
    dropped_files_ = std::make_shared<DroppedFiles>(
        options_.temp_folder.empty() ? default_temp_folder() : options_.temp_folder);
    // weak: the copies go when the engine stops, whatever still holds the registry
    pages_ = std::make_shared<PageRegistry>(
        loop, host,
        [weak = std::weak_ptr<DroppedFiles>(dropped_files_)](const bridge::DropMessage& drop) {
            const auto files = weak.lock();
            return files ? files->resolve(drop) : std::vector<std::string>();
        });
    std::string error;
    server_ = WebServer::start(
        {options_.port, *token, options_.store_folder, std::move(lookup), dropped_files_}, pages_,
        error);
    if (!server_) {
        std::cerr << "velmora: " << error << '\n';
        return false;
    }
    url_ = "http://127.0.0.1:" + std::to_string(server_->port()) + "/app/main.htm?token=" + *token;
    if (!options_.url_file.empty() && !write_url_file(options_.url_file, url_, error)) {
        std::cerr << "velmora: " << error << '\n';
        stop();
        return false;
    }
    show_page();
    return true;
}

void WebUiEngine::show_page() {
    if (!options_.open_window) {
        print_page_url(url_);
        return;
    }
    std::string target = url_;
    std::string error;
    if (!options_.url_file.empty()) {
        // the browser's command line, which every local user can read, gets a file name
        const auto launch_page = options_.url_file.parent_path() / "ui-open.htm";
        if (write_launch_page(launch_page, url_, error)) {
            target = launch_page.string();
        } else {
            std::cerr << "velmora: " << error << '\n';
        }
    }
    if (!open_with_desktop(target)) {
        std::cerr << "velmora: xdg-open could not be started; open the page yourself\n";
        print_page_url(url_);
    }
}

bool WebUiEngine::wait_for_main_page(std::chrono::milliseconds timeout) {
    if (!server_) {
        return false;
    }
    loop_->assert_gui_thread();
    auto expired = std::make_shared<std::atomic<bool>>(false);
    if (timeout < kLongestTimedWait) {
        bridge::GuiLoop* loop = loop_;
        server_->run_after(timeout, [expired, loop] {
            expired->store(true, std::memory_order_release);
            loop->wake();
        });
    }
    loop_->run_until([&] {
        return !server_ || pages_->has_main_page() || expired->load(std::memory_order_acquire);
    });
    return server_ && pages_->has_main_page();
}

bridge::UiValue WebUiEngine::call_page(std::string_view fn, const bridge::UiValue& arg) {
    if (!server_) {
        return bridge::UiValue();
    }
    return pages_->call_main_page(fn, arg);
}

void WebUiEngine::post_page(std::string_view fn, const bridge::UiValue& arg) {
    if (server_) {
        pages_->post_to_main_page(fn, arg);
    }
}

void WebUiEngine::begin_page_burst() {
    if (server_) {
        pages_->begin_burst();
    }
}

void WebUiEngine::end_page_burst() {
    if (server_) {
        pages_->end_burst();
    }
}

void WebUiEngine::call_page_then(std::string_view fn,
                                 const bridge::UiValue& arg,
                                 std::function<void(bridge::UiValue)> answered) {
    if (!server_) {
        answered(bridge::UiValue());
        return;
    }
    pages_->call_main_page_then(fn, arg, std::move(answered));
}

void WebUiEngine::show_main_window() {
    if (server_ && !pages_->has_main_page()) {
        show_page();
    }
}

void WebUiEngine::toggle_maximized() {
    if (server_) {
        pages_->send_window_to_main_page("toggle_maximized");
    }
}

bool WebUiEngine::open_window(std::string_view url) {
    constexpr std::string_view kArchive = "this://app/";
    if (!server_ || url.substr(0, kArchive.size()) != kArchive) {
        return false;  // only the client's own pages open in its windows
    }
    return pages_->send_window_to_main_page("open",
                                            "/app/" + std::string(url.substr(kArchive.size())));
}

void WebUiEngine::stop() {
    if (!server_) {
        return;
    }
    loop_->assert_gui_thread();
    pages_->stop();
    server_->stop();
    server_.reset();
    dropped_files_.reset();  // the last owner: the uploaded copies are removed
}

std::uint16_t WebUiEngine::port() const {
    return server_ ? server_->port() : 0;
}

}  // namespace velmora::platform
