// The pages connected to the web UI engine, and which of them is the main page.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "velmora/bridge/page_channel.h"
#include "velmora/bridge/ui_engine.h"
#include "velmora/bridge/ui_value.h"

namespace velmora::platform {

class PageLink;

// Links are created and closed by the server's io thread; the gui thread picks the main page
// and frees closed links only when none of their commands is still running on its stack.
class PageRegistry : public std::enable_shared_from_this<PageRegistry> {
public:
    PageRegistry(bridge::GuiLoop& loop, bridge::UiEngineHost& host);
    ~PageRegistry();

    // Thread: io. A page connected; a main page becomes the target of calls once the gui loop
    // has told the host about it.
    std::shared_ptr<PageLink> open_page(bool is_main, bridge::PageChannel::SendText send);
    // Thread: io. The page's socket is gone; its waiting calls answer undefined.
    void close_page(const std::shared_ptr<PageLink>& link);

    // Thread: gui.
    bool has_main_page() const;
    bridge::UiValue call_main_page(std::string_view fn, const bridge::UiValue& arg);
    // Thread: gui. Later connections are ignored and calls answer undefined.
    void stop();

private:
    void forget_closed_links();

    bridge::GuiLoop& loop_;
    bridge::UiEngineHost& host_;
    std::shared_ptr<PageLink> main_;  // gui thread only
    bool stopped_ = false;            // gui thread only
    std::mutex mutex_;
    std::vector<std::shared_ptr<PageLink>> links_;
};

// One connected page: its protocol channel, and a count of its commands now running.
class PageLink {
public:
    PageLink(bridge::GuiLoop& loop, bridge::UiEngineHost& host, bridge::PageChannel::SendText send);
    bridge::PageChannel& channel() { return channel_; }
    bool is_closed() const { return closed_.load(std::memory_order_acquire); }
    void mark_closed() { closed_.store(true, std::memory_order_release); }
    bool has_running_commands() const { return counting_host_.running > 0; }

private:
    // Counts commands on the gui thread's stack: a command may wait for a page answer, and
    // the loop it runs meanwhile may see this page close.
    class CountingHost final : public bridge::UiEngineHost {
    public:
        explicit CountingHost(bridge::UiEngineHost& host) : host_(host) {}
        std::optional<bridge::UiValue> dispatch_command(
            std::string_view name, std::span<const bridge::UiValue> args) override;
        void on_main_page_connected() override { host_.on_main_page_connected(); }
        void on_main_window_closed() override { host_.on_main_window_closed(); }
        int running = 0;  // gui thread only

    private:
        bridge::UiEngineHost& host_;
    };

    CountingHost counting_host_;
    bridge::PageChannel channel_;
    std::atomic<bool> closed_{false};
};

}  // namespace velmora::platform
