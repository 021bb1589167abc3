// ui_call: the one way native code raises a page event, from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
    // Thread: any. Raises an event whose result nobody reads; the caller need not wait for the
    // page. It keeps its order with the thread's other events. Never call it holding a lock.
    // Taken by value: a tick's payloads are moved in, not copied.
    virtual void ui_post(std::string_view name, UiValue arg) { ui_call(name, arg); }
    // Thread: any. Raises an event whose result the caller needs later, not now: it keeps its
    // order as a posted event does, and `answered` gets the result (undefined on failure) on
    // whatever thread learns of it. `answered` must be quick, must not throw and must not raise
    // events: it may run on the thread that reads the page, which a full window would stop.
    using Answered = std::function<void(UiValue)>;
    virtual void ui_call_then(std::string_view name, UiValue arg, Answered answered) {
        answered(ui_call(name, arg));
    }
};

// Runs inline on the gui thread; other threads post to the gui loop and wait, so the events
// of one thread keep their order. Once `exiting` is set, other threads get undefined at once.
// Posted events, and calls answered later, are not waited for, but every kPostWindow-th one
// goes as a call, a mark, and the poster waits for the mark before it, so that no page falls more
// than two windows behind, however fast threads raise events. Waiting for the mark before the last
// keeps the page busy: it works through one window while the next is on its way. The events posted
// while the gui thread is busy reach the page in one task: a tick's hundreds of events wake it a
// few times, not once each. A restore raises some four events an add, and a window of 64 held
// its tick waiting on the page every sixteen adds; 256 lets the page's reading overlap more.
class EventChannel final : public UiEventSink {
public:
    static constexpr std::uint32_t kPostWindow = 256;

    EventChannel(GuiLoop& loop, UiEngine& engine, const std::atomic<bool>& exiting);

    UiValue ui_call(std::string_view name, const UiValue& arg) override;
    void ui_post(std::string_view name, UiValue arg) override;
    void ui_call_then(std::string_view name, UiValue arg, Answered answered) override;

private:
    struct Answer;
    struct PendingCall;
    // Thread: gui. Runs the call on the page and hands its answer over.
    static void answer(PendingCall& call, UiEngine& engine);
    // The answer; undefined once the client exits or the loop stops meanwhile.
    UiValue wait_for(Answer& answer);
    // What ui_post and ui_call_then share: `answered` is empty for a posted event.
    void raise(std::string_view name, UiValue arg, Answered answered);

    struct PostedEvent {
        std::string name;
        UiValue arg;
        std::shared_ptr<Answer> answer;  // set when the event goes as a call
        bool mark = false;               // its poster is to wait for the answer
    };
    // Shared with the queued delivery, which may outlive the channel in a loop that goes on.
    struct Undelivered {
        std::mutex lock;
        std::vector<PostedEvent> events;
    };
    static void deliver(Undelivered& undelivered, UiEngine& engine);
    // Queues the event for the gui thread behind the thread's earlier posts.
    void enqueue(PostedEvent event);

    GuiLoop& loop_;
    UiEngine& engine_;
    const std::atomic<bool>& exiting_;
    std::atomic<std::uint32_t> posted_{0};
    std::shared_ptr<Undelivered> undelivered_ = std::make_shared<Undelivered>();
    std::mutex mark_lock_;
    std::shared_ptr<Answer> last_mark_;  // guarded by mark_lock_
};

}  // namespace velmora::bridge
