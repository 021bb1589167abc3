// The pages connected to the web UI engine, and which of them is the main page.
#pragma once

#include <atomic>
#include <functional>
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
// Window input (keys, close, drops) reaches the host from the main page only.
class PageRegistry : public std::enable_shared_from_this<PageRegistry> {
public:
    PageRegistry(bridge::GuiLoop& loop,
                 bridge::UiEngineHost& host,
                 bridge::PageChannel::DropResolver resolve_drop = {});
    ~PageRegistry();

    // Thread: any. Holds the page's writes back while `held` (counted), hands them on after.
    using HoldWrites = std::function<void(bool held)>;

    // Thread: io. A page connected; a main page becomes the target of calls once the gui loop
    // has told the host about it.
    std::shared_ptr<PageLink> open_page(bool is_main,
                                        bridge::PageChannel::SendText send,
                                        HoldWrites hold = {});
    // Thread: io. The page's socket is gone; its waiting calls answer undefined.
    void close_page(const std::shared_ptr<PageLink>& link);

    // Thread: gui.
    bool has_main_page() const;
    bridge::UiValue call_main_page(std::string_view fn, const bridge::UiValue& arg);
    // Thread: gui. The same call without waiting for its answer; nothing without a main page.
    void post_to_main_page(std::string_view fn, const bridge::UiValue& arg);
    // Thread: gui. The call without a wait; `answered` gets undefined at once without a page.
    void call_main_page_then(std::string_view fn,
                             const bridge::UiValue& arg,
                             std::function<void(bridge::UiValue)> answered);
    // Thread: gui. The main page's messages of a burst wait and go out together as it ends,
    // in a few frames; a call that waits for the page sends what waited before it waits.
    // Bursts nest.
    void begin_burst();
    void end_burst();
    // Thread: gui. A window request to the main page, if there is one; no answer is awaited.
    // False when no main page is there to take it.
    bool send_window_to_main_page(std::string_view op, std::string_view url = {});
    // Thread: gui. Later connections are ignored and calls answer undefined.
    void stop();

private:
    void forget_closed_links();
    void make_main(const std::shared_ptr<PageLink>& link);

    bridge::GuiLoop& loop_;
    bridge::UiEngineHost& host_;
    bridge::PageChannel::DropResolver resolve_drop_;
    std::shared_ptr<PageLink> main_;  // gui thread only
    bool stopped_ = false;            // gui thread only
    int bursts_ = 0;                  // gui thread only: begun and not yet ended
    std::shared_ptr<PageLink> held_;  // gui thread only: the page whose writes wait
    std::mutex mutex_;
    std::vector<std::shared_ptr<PageLink>> links_;
};

// One connected page: its protocol channel, a count of its commands now running, and whether
// it is the main page (whose window input alone reaches the host).
class PageLink {
public:
    PageLink(bridge::GuiLoop& loop,
             bridge::UiEngineHost& host,
             bridge::PageChannel::SendText send,
             bridge::PageChannel::DropResolver resolve_drop,
             PageRegistry::HoldWrites hold = {});
    bridge::PageChannel& channel() { return channel_; }
    void hold_writes(bool held) {
        if (hold_) {
            hold_(held);
        }
    }
    bool is_closed() const { return closed_.load(std::memory_order_acquire); }
    void mark_closed() { closed_.store(true, std::memory_order_release); }
    bool has_running_commands() const { return link_host_.running > 0; }
    // Thread: gui.
    void set_main(bool is_main) { link_host_.is_main = is_main; }

private:
    // Counts commands on the gui thread's stack: a command may wait for a page answer, and
    // the loop it runs meanwhile may see this page close. Holds back the window input of a
    // page that is not (or no longer) the main one.
    class LinkHost final : public bridge::UiEngineHost {
    public:
        explicit LinkHost(bridge::UiEngineHost& host) : host_(host) {}
        std::optional<bridge::UiValue> dispatch_command(
            std::string_view name, std::span<const bridge::UiValue> args) override;
        void on_main_page_connected() override { host_.on_main_page_connected(); }
        void on_main_window_closed() override { host_.on_main_window_closed(); }
        void on_function_key(int number) override;
        void on_files_dropped(const std::vector<std::string>& paths) override;
        void on_close_requested() override;
        int running = 0;       // gui thread only
        bool is_main = false;  // gui thread only

    private:
        bridge::UiEngineHost& host_;
    };

    LinkHost link_host_;
    bridge::PageChannel channel_;
    PageRegistry::HoldWrites hold_;
    std::atomic<bool> closed_{false};
};

}  // namespace velmora::platform
