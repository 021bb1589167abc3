// Page channel: command dispatch on the gui loop and page calls with modal waits.
#include "velmora/bridge/page_channel.h"

#include <optional>

#include "velmora/bridge/gui_marshal.h"
#include "velmora/bridge/ui_engine.h"
#include "velmora/bridge/wire_protocol.h"

namespace velmora::bridge {

PageChannel::PageChannel(GuiLoop& loop,
                         UiEngineHost& host,
                         SendText send,
                         DropResolver resolve_drop)
    : loop_(loop),
      host_(host),
      send_(std::move(send)),
      resolve_drop_(std::move(resolve_drop)),
      alive_(std::make_shared<bool>(true)) {}

void PageChannel::on_message(std::string_view text) {
    for (PageMessage& message : decode_page_frame(text)) {
        std::visit([this](auto& decoded) { take(decoded); }, message);
    }
}

void PageChannel::take(BadMessage& bad) {
    send_(encode_error(bad));
}

void PageChannel::take(CommandMessage& cmd) {
    post_while_alive([this, id = cmd.id, name = std::move(cmd.name), args = std::move(cmd.args)] {
        run_command(id, name, args);
    });
}

void PageChannel::take(KeyMessage& key) {
    if (is_function_key(key.key)) {
        post_while_alive(
            [this, number = static_cast<int>(key.key)] { host_.on_function_key(number); });
    }
}

void PageChannel::take(CloseMessage& /*close*/) {
    post_while_alive([this] { host_.on_close_requested(); });
}

void PageChannel::take(DropMessage& drop) {
    if (!resolve_drop_) {
        return;
    }
    std::vector<std::string> paths = resolve_drop_(drop);
    if (!paths.empty()) {
        post_while_alive([this, paths = std::move(paths)] { host_.on_files_dropped(paths); });
    }
}

void PageChannel::post_while_alive(std::function<void()> task) {
    std::weak_ptr<bool> alive = alive_;
    loop_.post([alive, task = std::move(task)] {
        if (alive.lock()) {
            task();
        }
    });
}

void PageChannel::run_command(std::int64_t id, const std::string& name, const UiArray& args) {
    std::optional<UiValue> result = host_.dispatch_command(name, args);
    // Answered even after the page stopped sending: a console's output outlives its input.
    send_(encode_return(id, result.has_value(), result.value_or(UiValue())));
}

void PageChannel::take(ReplyMessage& reply) {
    std::function<void(UiValue)> on_answer;
    {
        std::lock_guard lock(mutex_);
        const auto it = pending_.find(reply.id);
        if (it == pending_.end() || it->second.answered) {
            return;  // a reply nobody waits for (late, duplicated or invented) is dropped
        }
        if (it->second.on_answer) {
            on_answer = std::move(it->second.on_answer);
            pending_.erase(it);
        } else {
            it->second.answered = true;
            it->second.value = std::move(reply.value);
        }
    }
    if (on_answer) {
        on_answer(std::move(reply.value));
        return;
    }
    loop_.wake();
}

void PageChannel::on_closed() {
    std::vector<std::function<void(UiValue)>> unanswered;
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->second.on_answer) {
                unanswered.push_back(std::move(it->second.on_answer));
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& answered : unanswered) {
        answered(UiValue());
    }
    loop_.wake();
}

bool PageChannel::is_open() const {
    std::lock_guard lock(mutex_);
    return open_;
}

UiValue PageChannel::call(std::string_view fn, const UiValue& arg) {
    loop_.assert_gui_thread();
    std::int64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        if (!open_) {
            return UiValue();
        }
        id = next_call_id_++;
        pending_.emplace(id, Pending{});
    }
    send_(encode_call(id, fn, arg));
    auto answered = [&] {
        std::lock_guard lock(mutex_);
        return !open_ || pending_.at(id).answered;
    };
    loop_.run_until(answered);
    std::lock_guard lock(mutex_);
    auto node = pending_.extract(id);
    return node.mapped().answered ? std::move(node.mapped().value) : UiValue();
}

void PageChannel::post(std::string_view fn, const UiValue& arg) {
    std::int64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        if (!open_) {
            return;
        }
        id = next_call_id_++;  // no waiter: its reply is dropped when it comes
    }
    send_(encode_call(id, fn, arg));
}

void PageChannel::call_then(std::string_view fn,
                            const UiValue& arg,
                            std::function<void(UiValue)> answered) {
    std::int64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        if (open_) {
            id = next_call_id_++;
            pending_.emplace(id, Pending{false, UiValue(), std::move(answered)});
        }
    }
    if (id == 0) {
        answered(UiValue());
        return;
    }
    send_(encode_call(id, fn, arg));
}

void PageChannel::send_window(std::string_view op, std::string_view url) {
    if (is_open()) {
        send_(encode_window(op, url));
    }
}

std::vector<std::string> local_paths_of(const DropMessage& drop) {
    if (drop.source != DropMessage::Source::LocalPaths) {
        return {};
    }
    return drop.names;
}

}  // namespace velmora::bridge
