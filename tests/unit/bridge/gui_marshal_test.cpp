// The gui loop, the page channel and ui_call across threads.
#include "velmora/bridge/gui_marshal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/bridge/page_channel.h"
#include "velmora/bridge/ui_engine.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/bridge/ui_json.h"

namespace velmora::bridge {
namespace {

TEST(GuiLoop, RunsPostedWorkOnTheGuiThreadAndReleasesWaitersAtQuit) {
    GuiLoop loop;
    const auto gui = std::this_thread::get_id();
    std::thread::id ran_on;
    std::promise<bool> second;
    std::thread worker([&] {
        EXPECT_TRUE(loop.run_on_gui([&] { ran_on = std::this_thread::get_id(); }));
        loop.quit(7);
        // after the stop a request is refused at once instead of waiting forever
        second.set_value(loop.run_on_gui([] {}));
    });
    EXPECT_EQ(loop.run(), 7);
    worker.join();
    EXPECT_EQ(ran_on, gui);
    EXPECT_FALSE(second.get_future().get());
}

TEST(GuiLoop, QuitReleasesAWaiterWhoseTaskWasQueued) {
    GuiLoop loop;
    std::atomic<bool> queued{false};
    bool ran = true;
    std::thread worker([&] {
        loop.post([&] {
            queued = true;
            while (queued) {  // hold the loop until the waiter's task is queued behind us
                std::this_thread::yield();
            }
            loop.quit(0);
        });
        while (!queued) {
            std::this_thread::yield();
        }
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            queued = false;
        });
        ran = loop.run_on_gui([] {});
        releaser.join();
    });
    loop.run();
    worker.join();
    EXPECT_FALSE(ran);
}

// A page on the other end of a PageChannel, answering calls from a thread of its own.
class ScriptedPage : public UiEngineHost {
public:
    std::optional<UiValue> dispatch_command(std::string_view name,
                                            std::span<const UiValue> args) override {
        if (name == "echo") {
            return args.empty() ? UiValue() : args[0];
        }
        return std::nullopt;
    }
    void on_main_page_connected() override {}
    void on_main_window_closed() override {}
};

struct Wire {
    std::mutex mutex;
    std::vector<std::string> sent;
    void push(std::string s) {
        std::lock_guard lock(mutex);
        sent.push_back(std::move(s));
    }
    std::vector<std::string> copy() {
        std::lock_guard lock(mutex);
        return sent;
    }
};

TEST(PageChannel, CommandsWhileWaitingForAReplyAreStillAnswered) {
    GuiLoop loop;
    ScriptedPage host;
    Wire wire;
    PageChannel channel(loop, host, [&](std::string s) { wire.push(std::move(s)); });

    // The page answers the call only after one command of its own has been answered,
    // which needs the waiting gui thread to keep dispatching.
    std::thread page([&] {
        while (wire.copy().empty()) {
            std::this_thread::yield();
        }
        channel.on_message(R"({"t":"cmd","id":1,"name":"echo","args":[42]})");
        while (wire.copy().size() < 2) {
            std::this_thread::yield();
        }
        channel.on_message(R"({"t":"reply","id":1,"value":"answer"})");
    });
    const UiValue result = channel.call("ask", UiValue(1));
    page.join();
    EXPECT_EQ(result, UiValue("answer"));
    const auto sent = wire.copy();
    ASSERT_EQ(sent.size(), 2U);
    EXPECT_EQ(sent[0], R"({"t":"call","id":1,"fn":"ask","arg":1})");
    EXPECT_EQ(sent[1], R"({"t":"ret","id":1,"handled":true,"value":42})");
}

TEST(PageChannel, ClosingAnswersWaitingAndLaterCallsWithUndefined) {
    GuiLoop loop;
    ScriptedPage host;
    Wire wire;
    PageChannel channel(loop, host, [&](std::string s) { wire.push(std::move(s)); });
    std::thread page([&] {
        while (wire.copy().empty()) {
            std::this_thread::yield();
        }
        channel.on_message(R"({"t":"reply","id":99,"value":1})");  // nobody waits for 99
        channel.on_closed();
    });
    EXPECT_TRUE(channel.call("ask", UiValue()).is_undefined());
    page.join();
    EXPECT_TRUE(channel.call("again", UiValue()).is_undefined());
    EXPECT_EQ(wire.copy().size(), 1U);
}

// A call nobody waits for on the loop hears its answer from the page's reader, the plain null
// answer included; one the page never answers hears undefined when the page goes.
TEST(PageChannel, CallsThenAreAnsweredByTheReaderOrByTheClose) {
    GuiLoop loop;
    ScriptedPage host;
    Wire wire;
    PageChannel channel(loop, host, [&](std::string s) { wire.push(std::move(s)); });
    std::vector<std::string> answers;
    auto record = [&](std::string label) {
        return [&answers, label](UiValue value) {
            answers.push_back(label + "=" + to_json_text(value));
        };
    };
    for (const char* label : {"a", "b", "c", "d", "e"}) {
        channel.call_then(label, UiValue(), record(label));
    }
    channel.on_message(R"({"t":"reply","id":2,"value":null})");
    channel.on_message(R"({"t":"reply","id":1,"value":[7]})");
    channel.on_message(R"({"t":"reply","id":1,"value":8})");      // answered already: dropped
    channel.on_message(R"({"t":"reply","id":03,"value":null})");  // not JSON: refused
    // a page's batch of answers, in the order the page wrote them
    channel.on_message(
        R"({"t":"batch","m":[{"t":"reply","id":4,"value":null},{"t":"reply","id":3,"value":null}]})");
    EXPECT_EQ(answers, (std::vector<std::string>{"b=null", "a=[7]", "d=null", "c=null"}));
    channel.on_closed();
    channel.call_then("f", UiValue(), record("f"));
    EXPECT_EQ(answers, (std::vector<std::string>{"b=null", "a=[7]", "d=null", "c=null", "e=null",
                                                 "f=null"}));
    const auto sent = wire.copy();
    ASSERT_EQ(sent.size(), 6U);  // five calls and the refusal
    EXPECT_NE(sent[5].find(R"("t":"error")"), std::string::npos);
}

TEST(PageChannel, UnknownCommandsAndBadMessagesGetAnAnswer) {
    GuiLoop loop;
    ScriptedPage host;
    Wire wire;
    PageChannel channel(loop, host, [&](std::string s) { wire.push(std::move(s)); });
    channel.on_message("{oops");
    channel.on_message(R"({"t":"cmd","id":5,"name":"nope","args":[]})");
    loop.run_until([&] { return wire.copy().size() == 2; });
    const auto sent = wire.copy();
    EXPECT_NE(sent[0].find(R"("t":"error")"), std::string::npos);
    EXPECT_EQ(sent[1], R"({"t":"ret","id":5,"handled":false,"value":null})");
}

// An engine whose page records calls and answers with the call's number.
class CountingEngine : public UiEngine {
public:
    bool start(UiEngineHost&, GuiLoop&) override { return true; }
    bool wait_for_main_page(std::chrono::milliseconds) override { return true; }
    UiValue call_page(std::string_view fn, const UiValue& arg) override {
        calls.push_back(std::string(fn) + ":" + to_json_text(arg));
        return UiValue(static_cast<std::int32_t>(calls.size()));
    }
    void show_main_window() override {}
    void stop() override {}
    std::vector<std::string> calls;  // touched on the gui thread only
};

// Thread t raised "e<t>" with the arguments 0, 1, ... in turn: each must arrive in that order.
void expect_each_threads_order(const std::vector<std::string>& calls, int threads, int per_thread) {
    for (int t = 0; t < threads; ++t) {
        int expected = 0;
        const std::string prefix = "e" + std::to_string(t) + ":";
        for (const auto& call : calls) {
            if (call.rfind(prefix, 0) == 0) {
                EXPECT_EQ(call, prefix + std::to_string(expected++));
            }
        }
        EXPECT_EQ(expected, per_thread);
    }
}

TEST(EventChannel, KeepsEachThreadsOrderAndStopsAnsweringOnceExiting) {
    GuiLoop loop;
    CountingEngine engine;
    std::atomic<bool> exiting{false};
    EventChannel events(loop, engine, exiting);
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const UiValue r = events.ui_call("e" + std::to_string(t), UiValue(i));
                EXPECT_TRUE(r.is_int());
            }
        });
    }
    std::thread stopper([&] {
        for (auto& th : threads) {
            th.join();
        }
        exiting = true;
        EXPECT_TRUE(events.ui_call("late", UiValue()).is_undefined());
        bool told_undefined = false;
        events.ui_call_then("late", UiValue(),
                            [&](UiValue r) { told_undefined = r.is_undefined(); });
        EXPECT_TRUE(told_undefined);
        loop.quit(0);
    });
    EXPECT_EQ(events.ui_call("inline", UiValue()), UiValue(1));
    loop.run();
    stopper.join();
    ASSERT_EQ(engine.calls.size(), 1U + 2 * kPerThread);
    expect_each_threads_order(engine.calls, 2, kPerThread);
}

// Posted events wait in a batch for the gui thread; a call behind them must not overtake them,
// and each call answered later is told its own answer.
TEST(EventChannel, PostsAndCallsOfAThreadArriveInTheirOrder) {
    GuiLoop loop;
    CountingEngine engine;
    std::atomic<bool> exiting{false};
    EventChannel events(loop, engine, exiting);
    constexpr int kPerThread = 500;
    std::mutex told_lock;
    std::vector<std::pair<std::string, UiValue>> told;  // the event and what it was told
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string name = "e" + std::to_string(t);
                if (i % 7 == 0) {
                    events.ui_call(name, UiValue(i));
                } else if (i % 7 == 3) {
                    events.ui_call_then(name, UiValue(i),
                                        [&, event = name + ":" + std::to_string(i)](UiValue r) {
                                            const std::lock_guard lock(told_lock);
                                            told.emplace_back(event, std::move(r));
                                        });
                } else {
                    events.ui_post(name, UiValue(i));
                }
            }
            events.ui_call("done", UiValue(t));
        });
    }
    std::thread stopper([&] {
        for (auto& th : threads) {
            th.join();
        }
        loop.post([&loop] { loop.quit(0); });
    });
    loop.run();
    stopper.join();
    ASSERT_EQ(engine.calls.size(), 2U * (kPerThread + 1));
    expect_each_threads_order(engine.calls, 2, kPerThread);
    EXPECT_EQ(told.size(), 2U * ((kPerThread + 3) / 7));  // the i with i % 7 == 3
    for (const auto& [event, answer] : told) {
        // the engine answers with the call's number
        ASSERT_TRUE(answer.is_int()) << event;
        EXPECT_EQ(engine.calls.at(static_cast<std::size_t>(answer.as_int()) - 1), event);
    }
}

// A page that takes posts at once but holds every call until it is let go.
class HoldingEngine : public UiEngine {
public:
    bool start(UiEngineHost&, GuiLoop&) override { return true; }
    bool wait_for_main_page(std::chrono::milliseconds) override { return true; }
    UiValue call_page(std::string_view fn, const UiValue& arg) override {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return let_go; });
        events.push_back(std::string(fn) + ":" + to_json_text(arg));
        return UiValue();
    }
    void post_page(std::string_view fn, const UiValue& arg) override {
        const std::lock_guard lock(mutex);
        events.push_back(std::string(fn) + ":" + to_json_text(arg));
    }
    void show_main_window() override {}
    void stop() override {}
    void release() {
        const std::lock_guard lock(mutex);
        let_go = true;
        released.notify_all();
    }

    std::mutex mutex;
    std::condition_variable released;
    bool let_go = false;
    std::vector<std::string> events;
};

// The page is stuck on the first window's mark: the poster goes on through the next window,
// so the page is never idle waiting for it, and then waits; nothing is lost or reordered.
TEST(EventChannel, APosterRunsAtMostTwoWindowsAheadOfThePage) {
    GuiLoop loop;
    HoldingEngine engine;
    std::atomic<bool> exiting{false};
    EventChannel events(loop, engine, exiting);
    constexpr int kEvents = 5 * static_cast<int>(EventChannel::kPostWindow);
    std::atomic<int> handed{0};
    std::thread poster([&] {
        for (int i = 0; i < kEvents; ++i) {
            events.ui_post("e0", UiValue(i));
            ++handed;
        }
        events.ui_call("done", UiValue());
        loop.post([&loop] { loop.quit(0); });
    });
    std::thread watcher([&] {
        constexpr int kStuckAt = 2 * static_cast<int>(EventChannel::kPostWindow) - 1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (handed < kStuckAt && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(handed.load(), kStuckAt);
        engine.release();
    });
    loop.run();
    poster.join();
    watcher.join();
    ASSERT_EQ(engine.events.size(), static_cast<std::size_t>(kEvents) + 1);
    expect_each_threads_order(engine.events, 1, kEvents);
}

}  // namespace
}  // namespace velmora::bridge
