// Main-page tracking and the safe release of closed pages.
#include "velmora/platform/linux/web/page_registry.h"

#include <algorithm>

#include "velmora/bridge/gui_marshal.h"

namespace velmora::platform {

std::optional<bridge::UiValue> PageLink::LinkHost::dispatch_command(
    std::string_view name, std::span<const bridge::UiValue> args) {
    struct Running {
        int& count;
        explicit Running(int& c) : count(c) { ++count; }
        ~Running() { --count; }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;
    } running_now(running);
    return host_.dispatch_command(name, args);
}

void PageLink::LinkHost::on_function_key(int number) {
    if (is_main) {
        host_.on_function_key(number);
    }
}

void PageLink::LinkHost::on_files_dropped(const std::vector<std::string>& paths) {
    if (is_main) {
        host_.on_files_dropped(paths);
    }
}

void PageLink::LinkHost::on_close_requested() {
    if (is_main) {
        host_.on_close_requested();
    }
}

PageLink::PageLink(bridge::GuiLoop& loop,
                   bridge::UiEngineHost& host,
                   bridge::PageChannel::SendText send,
                   bridge::PageChannel::DropResolver resolve_drop,
                   PageRegistry::HoldWrites hold)
    : link_host_(host),
      channel_(loop, link_host_, std::move(send), std::move(resolve_drop)),
      hold_(std::move(hold)) {}

PageRegistry::PageRegistry(bridge::GuiLoop& loop,
                           bridge::UiEngineHost& host,
                           bridge::PageChannel::DropResolver resolve_drop)
    : loop_(loop), host_(host), resolve_drop_(std::move(resolve_drop)) {}

PageRegistry::~PageRegistry() = default;

std::shared_ptr<PageLink> PageRegistry::open_page(bool is_main,
                                                  bridge::PageChannel::SendText send,
                                                  HoldWrites hold) {
    auto link =
        std::make_shared<PageLink>(loop_, host_, std::move(send), resolve_drop_, std::move(hold));
    {
        std::lock_guard lock(mutex_);
        links_.push_back(link);
    }
    if (is_main) {
        loop_.post([self = shared_from_this(), link] {
            if (self->stopped_ || link->is_closed()) {
                return;
            }
            self->make_main(link);
            self->forget_closed_links();
            self->host_.on_main_page_connected();
        });
    }
    return link;
}

void PageRegistry::close_page(const std::shared_ptr<PageLink>& link) {
    link->mark_closed();
    link->channel().on_closed();
    loop_.post([self = shared_from_this(), link] {
        if (self->main_ == link) {
            self->make_main(nullptr);
        }
        self->forget_closed_links();
    });
}

bool PageRegistry::has_main_page() const {
    loop_.assert_gui_thread();
    return main_ != nullptr && main_->channel().is_open();
}

bridge::UiValue PageRegistry::call_main_page(std::string_view fn, const bridge::UiValue& arg) {
    loop_.assert_gui_thread();
    // the copy keeps the page alive while the call waits, even if it closes meanwhile
    const std::shared_ptr<PageLink> page = main_;
    if (page == nullptr || stopped_) {
        return bridge::UiValue();
    }
    // the page answers only what reached it
    const std::shared_ptr<PageLink> held = held_;
    if (held) {
        held->hold_writes(false);
    }
    bridge::UiValue answer = page->channel().call(fn, arg);
    if (held) {
        held->hold_writes(true);
    }
    return answer;
}

void PageRegistry::begin_burst() {
    loop_.assert_gui_thread();
    if (bursts_++ == 0 && main_ != nullptr && !stopped_) {
        held_ = main_;
        held_->hold_writes(true);
    }
}

void PageRegistry::end_burst() {
    loop_.assert_gui_thread();
    if (--bursts_ == 0 && held_ != nullptr) {
        held_->hold_writes(false);
        held_.reset();
    }
}

void PageRegistry::post_to_main_page(std::string_view fn, const bridge::UiValue& arg) {
    loop_.assert_gui_thread();
    if (main_ != nullptr && !stopped_) {
        main_->channel().post(fn, arg);
    }
}

void PageRegistry::call_main_page_then(std::string_view fn,
                                       const bridge::UiValue& arg,
                                       std::function<void(bridge::UiValue)> answered) {
    loop_.assert_gui_thread();
    if (main_ == nullptr || stopped_) {
        answered(bridge::UiValue());
        return;
    }
    main_->channel().call_then(fn, arg, std::move(answered));
}

bool PageRegistry::send_window_to_main_page(std::string_view op, std::string_view url) {
    loop_.assert_gui_thread();
    if (main_ == nullptr || stopped_) {
        return false;
    }
    main_->channel().send_window(op, url);
    return true;
}

void PageRegistry::stop() {
    loop_.assert_gui_thread();
    stopped_ = true;
    make_main(nullptr);
}

void PageRegistry::make_main(const std::shared_ptr<PageLink>& link) {
    if (main_ != nullptr) {
        main_->set_main(false);  // its window input goes nowhere from now on
    }
    main_ = link;
    if (main_ != nullptr) {
        main_->set_main(true);
    }
}

void PageRegistry::forget_closed_links() {
    std::vector<std::shared_ptr<PageLink>> released;
    {
        std::lock_guard lock(mutex_);
        const auto keep_end = std::stable_partition(
            links_.begin(), links_.end(),
            [](const auto& l) { return !l->is_closed() || l->has_running_commands(); });
        released.assign(std::make_move_iterator(keep_end), std::make_move_iterator(links_.end()));
        links_.erase(keep_end, links_.end());
    }
    // destroyed here, outside the lock and on the gui thread
}

}  // namespace velmora::platform
