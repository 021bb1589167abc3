// The product's UI engine: the pages run in a browser and talk to a loopback server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/bridge/ui_engine.h"

namespace velmora::platform {

class DroppedFiles;
class PageRegistry;
class WebServer;

struct WebUiOptions {
    std::uint16_t port = 0;              // 0 = a free port
    bool open_window = true;             // false: the URL is printed on standard output instead
    std::filesystem::path url_file;      // written with the page URL, mode 0600
    std::filesystem::path store_folder;  // where settings.db, torrents.db, log.db live
    // Dropped files are uploaded into a private folder made below this one; empty = $TMPDIR,
    // else /tmp.
    std::filesystem::path temp_folder;
    // Entries below "/app/"; empty = the page archive built into the executable.
    std::function<std::optional<std::string>(std::string_view)> archive_lookup;
};

// Serves the pages over HTTP and carries the page protocol over WebSocket, on 127.0.0.1
// only, to requests that bear this run's secret token. The main page is the page most
// recently connected as role=main; only its keys, close requests and drops reach the host.
// A dropped file reaches the host as the path of its uploaded copy, which lives until the
// engine stops.
class WebUiEngine final : public bridge::UiEngine {
public:
    explicit WebUiEngine(WebUiOptions options);
    ~WebUiEngine() override;
    WebUiEngine(const WebUiEngine&) = delete;
    WebUiEngine& operator=(const WebUiEngine&) = delete;

    bool start(bridge::UiEngineHost& host, bridge::GuiLoop& loop) override;
    bool wait_for_main_page(std::chrono::milliseconds timeout) override;
    bridge::UiValue call_page(std::string_view fn, const bridge::UiValue& arg) override;
    // Sent to the main page without waiting; its answer is dropped.
    void post_page(std::string_view fn, const bridge::UiValue& arg) override;
    void begin_page_burst() override;
    void end_page_burst() override;
    void call_page_then(std::string_view fn,
                        const bridge::UiValue& arg,
                        std::function<void(bridge::UiValue)> answered) override;
    // Opens the page again when no main page is connected; a connected one is left as is.
    void show_main_window() override;
    // Asks the main page to toggle full screen, the nearest a browser page gets.
    void toggle_maximized() override;
    // The main page opens the other page in a window of its own, served like every page.
    bool open_window(std::string_view url) override;
    void stop() override;

    // Thread: gui. "http://127.0.0.1:<port>/app/main.htm?token=<token>"; empty before start.
    std::string page_url() const { return url_; }
    // Thread: gui. The listening port; 0 before start and after stop.
    std::uint16_t port() const;

private:
    void show_page();

    WebUiOptions options_;
    bridge::GuiLoop* loop_ = nullptr;
    std::shared_ptr<DroppedFiles> dropped_files_;
    std::shared_ptr<PageRegistry> pages_;
    std::unique_ptr<WebServer> server_;
    std::string url_;
};

}  // namespace velmora::platform
