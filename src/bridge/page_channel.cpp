// Page channel: command dispatch on the gui loop and page calls with modal waits.
#include "velmora/bridge/page_channel.h"

#include "velmora/bridge/gui_marshal.h"
#include "velmora/bridge/ui_engine.h"
#include "velmora/bridge/wire_protocol.h"

namespace velmora::bridge {

PageChannel::PageChannel(GuiLoop& loop, UiEngineHost& host, SendText send)
    : loop_(loop), host_(host), send_(std::move(send)), alive_(std::make_shared<bool>(true)) {}

void PageChannel::on_message(std::string_view text) {
    PageMessage message = decode_page_message(text);
    if (auto* bad = std::get_if<BadMessage>(&message)) {
        send_(encode_error(*bad));
        return;
    }
    if (auto* reply = std::get_if<ReplyMessage>(&message)) {
        take_reply(reply->id, std::move(reply->value));
        return;
    }
    auto& cmd = std::get<CommandMessage>(message);
    std::weak_ptr<bool> alive = alive_;
    loop_.post([this, alive, id = cmd.id, name = std::move(cmd.name), args = std::move(cmd.args)] {
        if (alive.lock()) {
            run_command(id, name, args);
        }
    });
}

void PageChannel::run_command(std::int64_t id, const std::string& name, const UiArray& args) {
    std::optional<UiValue> result = host_.dispatch_command(name, args);
    // Answered even after the page stopped sending: a console's output outlives its input.
    send_(encode_return(id, result.has_value(), result.value_or(UiValue())));
}

void PageChannel::take_reply(std::int64_t id, UiValue value) {
    {
        std::lock_guard lock(mutex_);
        const auto it = pending_.find(id);
        if (it == pending_.end() || it->second.answered) {
            return;  // a reply nobody waits for (late, duplicated or invented) is dropped
        }
        it->second.answered = true;
        it->second.value = std::move(value);
    }
    loop_.wake();
}

void PageChannel::on_closed() {
    {
        std::lock_guard lock(mutex_);
        open_ = false;
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

}  // namespace velmora::bridge
