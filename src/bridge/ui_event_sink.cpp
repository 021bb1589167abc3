// The event channel: page calls marshalled onto the gui thread.
#include "velmora/bridge/ui_event_sink.h"

#include <exception>
#include <iostream>
#include <string>

#include "velmora/bridge/gui_marshal.h"
#include "velmora/bridge/ui_engine.h"

namespace velmora::bridge {

EventChannel::EventChannel(GuiLoop& loop, UiEngine& engine, const std::atomic<bool>& exiting)
    : loop_(loop), engine_(engine), exiting_(exiting) {}

UiValue EventChannel::ui_call(std::string_view name, const UiValue& arg) {
    if (loop_.is_stopped()) {
        return UiValue();
    }
    if (loop_.on_gui_thread()) {
        return engine_.call_page(name, arg);
    }
    if (exiting_.load(std::memory_order_relaxed)) {
        return UiValue();
    }
    UiValue result;
    const std::string fn(name);
    loop_.run_on_gui([&] {
        try {
            result = engine_.call_page(fn, arg);
        } catch (const std::exception& e) {
            // a failing page call reads as undefined for the caller
            std::cerr << "velmora: page call " << fn << " failed: " << e.what() << '\n';
        }
    });
    return result;
}

}  // namespace velmora::bridge
