// ui_call: the one way native code raises a page event, from any thread.
#pragma once

#include <atomic>
#include <string_view>

#include "velmora/bridge/ui_value.h"

namespace velmora::bridge {

class GuiLoop;
class UiEngine;

class UiEventSink {
public:
    virtual ~UiEventSink() = default;
    // Thread: any. Calls the page function and waits for its result; undefined on failure.
    // Never call it while holding a lock.
    virtual UiValue ui_call(std::string_view name, const UiValue& arg) = 0;
};

// Runs inline on the gui thread; other threads post to the gui loop and wait, so the events
// of one thread keep their order. Once `exiting` is set, other threads get undefined at once.
class EventChannel final : public UiEventSink {
public:
    EventChannel(GuiLoop& loop, UiEngine& engine, const std::atomic<bool>& exiting);

    UiValue ui_call(std::string_view name, const UiValue& arg) override;

private:
    GuiLoop& loop_;
    UiEngine& engine_;
    const std::atomic<bool>& exiting_;
};

}  // namespace velmora::bridge
