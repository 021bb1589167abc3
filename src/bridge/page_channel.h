// The wire protocol between the client and one connected page, independent of the transport.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/bridge/ui_value.h"

namespace velmora::bridge {

class GuiLoop;
class UiEngineHost;

// Commands from the page run on the gui loop, one at a time; calls to the page wait for the
// page's reply while the loop keeps running, so a page that calls back never deadlocks.
class PageChannel {
public:
    // Thread: any. Sends one text message to the page; must not block for long.
    using SendText = std::function<void(std::string)>;

    PageChannel(GuiLoop& loop, UiEngineHost& host, SendText send);

    // Thread: the transport's reader. One message as received from the page.
    void on_message(std::string_view text);
    // Thread: any. The page is gone: waiting calls answer undefined, later ones at once.
    void on_closed();
    bool is_open() const;

    // Thread: gui. Calls a page function and waits for its reply.
    UiValue call(std::string_view fn, const UiValue& arg);

private:
    struct Pending {
        bool answered = false;
        UiValue value;
    };

    void run_command(std::int64_t id, const std::string& name, const UiArray& args);
    void take_reply(std::int64_t id, UiValue value);

    GuiLoop& loop_;
    UiEngineHost& host_;
    SendText send_;
    // Outlives queued tasks that refer to this channel after it closed.
    std::shared_ptr<bool> alive_;
    mutable std::mutex mutex_;
    bool open_ = true;
    std::int64_t next_call_id_ = 1;
    std::map<std::int64_t, Pending> pending_;
};

}  // namespace velmora::bridge
