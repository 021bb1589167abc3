// The event channel: page calls marshalled onto the gui thread.
#include "velmora/bridge/ui_event_sink.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "velmora/bridge/gui_marshal.h"
#include "velmora/bridge/ui_engine.h"

namespace velmora::bridge {
namespace {

// How often a waiting caller looks whether the client began to exit.
constexpr std::chrono::milliseconds kExitPollPeriod{10};

}  // namespace

// The answer to a page call, for whoever waits for it or is to be told of it. Answered once:
// a hand-over that fails after the engine took the call may answer a second time.
struct EventChannel::Answer {
    Answer() = default;
    explicit Answer(Answered t) : then(std::move(t)) {}

    void finish(UiValue value) {
        Answered told;
        {
            const std::lock_guard lock(mutex);
            if (done) {
                return;
            }
            told = std::move(then);
            if (!told) {
                result = std::move(value);
            }
            done = true;
            finished.notify_all();
        }
        if (told) {
            told(std::move(value));
        }
    }

    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    UiValue result;  // kept only when nobody is told
    Answered then;
};

// A page call handed over to the gui thread. It owns everything the call needs, so a caller
// that stops waiting leaves nothing dangling behind the queued task.
struct EventChannel::PendingCall {
    PendingCall(std::string_view n, const UiValue& a) : name(n), arg(a) {}

    const std::string name;
    const UiValue arg;
    Answer answer;
};

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
    auto call = std::make_shared<PendingCall>(name, arg);
    UiEngine& engine = engine_;
    const bool queued = loop_.post([call, &engine] { answer(*call, engine); });
    return queued ? wait_for(call->answer) : UiValue();
}

void EventChannel::answer(PendingCall& call, UiEngine& engine) {
    UiValue result;
    try {
        result = engine.call_page(call.name, call.arg);
    } catch (const std::exception& e) {
        // a failing page call reads as undefined for the caller
        std::cerr << "velmora: page call " << call.name << " failed: " << e.what() << '\n';
    }
    call.answer.finish(std::move(result));
}

UiValue EventChannel::wait_for(Answer& call) {
    // The exit may be asked for from inside a page call that the gui thread serves beneath this
    // one; that call cannot end before the exit sequence does, and the exit sequence waits for
    // this thread. Once exiting, the caller goes on with undefined instead.
    std::unique_lock lock(call.mutex);
    while (!call.done) {
        if (call.finished.wait_for(lock, kExitPollPeriod, [&] { return call.done; })) {
            break;
        }
        if (exiting_.load(std::memory_order_relaxed) || loop_.is_stopped()) {
            return UiValue();
        }
    }
    return std::move(call.result);
}

void EventChannel::ui_post(std::string_view name, UiValue arg) {
    raise(name, std::move(arg), nullptr);
}

void EventChannel::ui_call_then(std::string_view name, UiValue arg, Answered answered) {
    raise(name, std::move(arg), std::move(answered));
}

// The page answers in order: once a mark is answered, so is every event before it.
void EventChannel::raise(std::string_view name, UiValue arg, Answered answered) {
    const bool mark =
        posted_.fetch_add(1, std::memory_order_relaxed) % kPostWindow == kPostWindow - 1;
    if (loop_.is_stopped()) {
        if (answered) {
            answered(UiValue());
        }
        return;
    }
    if (loop_.on_gui_thread()) {
        if (answered) {
            engine_.call_page_then(name, arg, std::move(answered));
        } else if (mark && !exiting_.load(std::memory_order_relaxed)) {
            engine_.call_page(name, arg);
        } else {
            engine_.post_page(name, arg);
        }
        return;
    }
    if (exiting_.load(std::memory_order_relaxed)) {
        if (answered) {
            answered(UiValue());
        }
        return;
    }
    std::shared_ptr<Answer> answer;
    if (mark || answered) {
        answer = std::make_shared<Answer>(std::move(answered));
    }
    // A mark is in the queue of posted events, not beside it: the events posted after it may
    // join a delivery that is still waiting, and must not overtake it there.
    enqueue(PostedEvent{std::string(name), std::move(arg), answer, mark});
    if (!mark) {
        return;
    }
    std::shared_ptr<Answer> before;
    {
        const std::lock_guard lock(mark_lock_);
        before = std::exchange(last_mark_, std::move(answer));
    }
    if (before) {
        wait_for(*before);
    }
}

void EventChannel::enqueue(PostedEvent event) {
    const std::lock_guard lock(undelivered_->lock);
    const bool first = undelivered_->events.empty();
    undelivered_->events.push_back(std::move(event));
    // Queued under the lock: another thread's call that finds its event waiting here is queued
    // behind this delivery, and so is every later call of this thread.
    if (first) {
        loop_.post(
            [undelivered = undelivered_, &engine = engine_] { deliver(*undelivered, engine); });
    }
}

void EventChannel::deliver(Undelivered& undelivered, UiEngine& engine) {
    std::vector<PostedEvent> events;
    {
        const std::lock_guard lock(undelivered.lock);
        events.swap(undelivered.events);
    }
    engine.begin_page_burst();
    const struct BurstEnd {
        UiEngine& engine;
        ~BurstEnd() { engine.end_page_burst(); }
    } burst_end{engine};
    for (const PostedEvent& event : events) {
        try {
            if (event.answer) {
                // answered from the page's reader: such a call never holds the gui thread, nor
                // waits beneath a later one on its stack
                engine.call_page_then(
                    event.name, event.arg,
                    [answer = event.answer](UiValue value) { answer->finish(std::move(value)); });
            } else {
                engine.post_page(event.name, event.arg);
            }
        } catch (const std::exception& e) {
            std::cerr << "velmora: page call " << event.name << " failed: " << e.what() << '\n';
            if (event.answer) {
                event.answer->finish(UiValue());
            }
        }
        if (event.mark) {
            // its poster waits for the page's answer: the burst so far goes out now
            engine.end_page_burst();
            engine.begin_page_burst();
        }
    }
}

}  // namespace velmora::bridge
