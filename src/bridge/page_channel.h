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
#include <vector>

#include "velmora/bridge/ui_value.h"
#include "velmora/bridge/wire_protocol.h"

namespace velmora::bridge {

class GuiLoop;
class UiEngineHost;

// Commands from the page run on the gui loop, one at a time; calls to the page wait for the
// page's reply while the loop keeps running, so a page that calls back never deadlocks.
// Key, close and drop messages reach the host on the gui loop too, in order with the commands.
class PageChannel {
public:
    // Thread: any. Sends one text message to the page; must not block for long.
    using SendText = std::function<void(std::string)>;
    // Thread: the transport's reader. The local paths a drop stands for; none drops nothing.
    using DropResolver = std::function<std::vector<std::string>(const DropMessage&)>;

    // Without a resolver every drop is ignored: only the engine knows what a page may name.
    PageChannel(GuiLoop& loop, UiEngineHost& host, SendText send, DropResolver resolve_drop = {});

    // Thread: the transport's reader. One frame as received from the page: a message or a batch.
    void on_message(std::string_view text);
    // Thread: any. The page is gone: waiting calls answer undefined, later ones at once.
    void on_closed();
    bool is_open() const;

    // Thread: gui. Calls a page function and waits for its reply.
    UiValue call(std::string_view fn, const UiValue& arg);
    // Thread: any. Calls a page function whose reply nobody reads; dropped once the page is gone.
    void post(std::string_view fn, const UiValue& arg);
    // Thread: any. Calls a page function without waiting; `answered` runs on the transport's
    // reader with the reply, or with undefined once the page is gone.
    void call_then(std::string_view fn, const UiValue& arg, std::function<void(UiValue)> answered);
    // Thread: any. A window request that needs no answer; dropped once the page is gone.
    void send_window(std::string_view op, std::string_view url = {});

private:
    struct Pending {
        bool answered = false;
        UiValue value;
        std::function<void(UiValue)> on_answer;  // for a call nobody waits for on the loop
    };

    void take(BadMessage& bad);
    void take(ReplyMessage& reply);
    void take(CommandMessage& cmd);
    void take(KeyMessage& key);
    void take(CloseMessage& close);
    void take(DropMessage& drop);
    // Runs `task` on the gui loop unless this channel is gone by then.
    void post_while_alive(std::function<void()> task);
    void run_command(std::int64_t id, const std::string& name, const UiArray& args);

    GuiLoop& loop_;
    UiEngineHost& host_;
    SendText send_;
    DropResolver resolve_drop_;
    // Outlives queued tasks that refer to this channel after it closed.
    std::shared_ptr<bool> alive_;
    mutable std::mutex mutex_;
    bool open_ = true;
    std::int64_t next_call_id_ = 1;
    std::map<std::int64_t, Pending> pending_;
};

// The resolver of a page that may name local paths (the console): uploads are not accepted.
std::vector<std::string> local_paths_of(const DropMessage& drop);

}  // namespace velmora::bridge
