// The narrow interface between the client and whatever shows its pages.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/bridge/ui_value.h"

namespace velmora::bridge {

class GuiLoop;

// The function keys a window forwards (F1..F12); other numbers are dropped by every engine.
constexpr bool is_function_key(std::int64_t number) {
    return number >= 1 && number <= 12;
}

// Implemented by the client; the engine calls it on the gui thread only.
class UiEngineHost {
public:
    virtual ~UiEngineHost() = default;
    // A page command; nullopt when it is not handled.
    virtual std::optional<UiValue> dispatch_command(std::string_view name,
                                                    std::span<const UiValue> args) = 0;
    // The main page connected (the first time, or again after a reload).
    virtual void on_main_page_connected() = 0;
    // The main window is gone for good (console input ended): the client exits.
    virtual void on_main_window_closed() = 0;
    // A function key (1..12) pressed in the main window that the page did not use itself.
    virtual void on_function_key(int /*number*/) {}
    // Files dropped on the main window, as local paths, in drop order.
    virtual void on_files_dropped(const std::vector<std::string>& /*paths*/) {}
    // The user asked to close the main window (the client then asks the page to confirm).
    virtual void on_close_requested() {}
};

// Thread: gui for every method. Page commands reach the host through the gui loop, one at a
// time; a page call waits for its answer while the loop keeps dispatching commands.
class UiEngine {
public:
    virtual ~UiEngine() = default;

    // Starts serving the pages; false when the engine cannot run (the client then exits).
    virtual bool start(UiEngineHost& host, GuiLoop& loop) = 0;
    // Waits, running the loop, until a main page is connected; false on timeout or stop.
    virtual bool wait_for_main_page(std::chrono::milliseconds timeout) = 0;
    // Calls a global function of the main page with one argument; undefined when there is
    // no page, the function fails or the page goes away before answering.
    virtual UiValue call_page(std::string_view fn, const UiValue& arg) = 0;
    // Calls it the same way when nobody reads the result, without waiting for the page where
    // the engine can; the calls keep their order with call_page's.
    virtual void post_page(std::string_view fn, const UiValue& arg) { call_page(fn, arg); }
    // Calls it without waiting on this thread: `answered` gets the result once the page sent
    // it (undefined when it cannot), on whatever thread learns of it. The calls keep their
    // order with call_page's and post_page's.
    virtual void call_page_then(std::string_view fn,
                                const UiValue& arg,
                                std::function<void(UiValue)> answered) {
        answered(call_page(fn, arg));
    }
    // Bracket a delivery of many page calls in a row, so that an engine may hand them on
    // together rather than waking its writer once a call; the calls between keep their order
    // and all are on their way once the burst ends. Bursts may nest.
    virtual void begin_page_burst() {}
    virtual void end_page_burst() {}
    // Brings the main window forward (a second copy asked for it).
    virtual void show_main_window() = 0;
    // Maximises the main window, or restores it when it is maximised (F11); best effort.
    virtual void toggle_maximized() {}
    // Opens another window on a page of the archive ("this://app/<path>"); true when it was
    // asked for.
    virtual bool open_window(std::string_view /*url*/) { return false; }
    // Stops serving; later page calls answer undefined at once.
    virtual void stop() = 0;
};

}  // namespace velmora::bridge
