// The narrow interface between the client and whatever shows its pages.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string_view>

#include "velmora/bridge/ui_value.h"

namespace velmora::bridge {

class GuiLoop;

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
    // Brings the main window forward (a second copy asked for it).
    virtual void show_main_window() = 0;
    // Stops serving; later page calls answer undefined at once.
    virtual void stop() = 0;
};

}  // namespace velmora::bridge
