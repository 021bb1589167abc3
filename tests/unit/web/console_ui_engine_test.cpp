// The console engine's window input: the same key, close and drop messages as the web page,
// with drops naming local paths, over a pair of pipes.
#include "velmora/platform/linux/console_ui_engine.h"

#include <array>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "velmora/bridge/gui_marshal.h"

namespace velmora::platform {
namespace {

using bridge::UiValue;

class RecordingHost final : public bridge::UiEngineHost {
public:
    std::optional<UiValue> dispatch_command(std::string_view name,
                                            std::span<const UiValue> /*args*/) override {
        if (name != "sync") {
            return std::nullopt;
        }
        synced = true;
        return UiValue(true);
    }
    void on_main_page_connected() override {}
    void on_main_window_closed() override { closed = true; }
    void on_function_key(int number) override { input.push_back("F" + std::to_string(number)); }
    void on_files_dropped(const std::vector<std::string>& paths) override {
        std::string line = "drop";
        for (const auto& path : paths) {
            line += " " + path;
        }
        input.push_back(line);
    }
    void on_close_requested() override { input.push_back("close"); }

    bool synced = false;
    bool closed = false;
    std::vector<std::string> input;
};

// Both ends of the console: what the test writes is the engine's input, and the other way.
class ConsolePipes {
public:
    ConsolePipes() {
        if (::pipe(to_engine_.data()) != 0 || ::pipe(from_engine_.data()) != 0) {
            std::abort();
        }
        engine_in = ::fdopen(to_engine_[0], "r");
        engine_out = ::fdopen(from_engine_[1], "w");
        page_out = ::fdopen(to_engine_[1], "w");
        page_in = ::fdopen(from_engine_[0], "r");
    }
    ~ConsolePipes() {
        for (std::FILE* file : {engine_in, engine_out, page_out, page_in}) {
            if (file != nullptr) {
                std::fclose(file);
            }
        }
    }
    ConsolePipes(const ConsolePipes&) = delete;
    ConsolePipes& operator=(const ConsolePipes&) = delete;

    void write_line(const std::string& line) const {
        std::fputs((line + "\n").c_str(), page_out);
        std::fflush(page_out);
    }
    std::string read_line() const {
        std::array<char, 4096> buffer{};
        return std::fgets(buffer.data(), buffer.size(), page_in) == nullptr ? std::string()
                                                                            : buffer.data();
    }

    std::FILE* engine_in = nullptr;
    std::FILE* engine_out = nullptr;
    std::FILE* page_out = nullptr;
    std::FILE* page_in = nullptr;

private:
    std::array<int, 2> to_engine_{};
    std::array<int, 2> from_engine_{};
};

// A started console engine on its pipes.
class ConsoleUiEngineTest : public ::testing::Test {
protected:
    bridge::GuiLoop loop;
    RecordingHost host;
    ConsolePipes pipes;
    ConsoleUiEngine engine{pipes.engine_in, pipes.engine_out};
};

TEST_F(ConsoleUiEngineTest, WindowInputReachesTheHostInOrder) {
    ASSERT_TRUE(engine.start(host, loop));
    for (const std::string line : {
             R"({"t":"key","key":7})",
             R"({"t":"key","key":13})",
             R"({"t":"drop","paths":["/x/a.torrent","b.vtr"]})",
             R"({"t":"drop","files":["1/a.torrent"]})",  // nothing was uploaded here
             R"({"t":"drop","paths":[]})",
             R"({"t":"close"})",
             R"({"t":"key"})",
             R"({"t":"key","key":12})",
             R"({"t":"cmd","id":1,"name":"sync"})",
         }) {
        pipes.write_line(line);
    }
    loop.run_until([&] { return host.synced; });
    EXPECT_EQ(host.input,
              (std::vector<std::string>{"F7", "drop /x/a.torrent b.vtr", "close", "F12"}));
    EXPECT_NE(pipes.read_line().find(R"("t":"error")"), std::string::npos);  // the keyless key
    EXPECT_NE(pipes.read_line().find(R"("t":"ret")"), std::string::npos);

    engine.toggle_maximized();
    EXPECT_EQ(pipes.read_line(), "{\"t\":\"window\",\"op\":\"toggle_maximized\"}\n");
    engine.stop();
}

// Lines are written by a thread of the engine's own, many at a time: each must still arrive
// whole, each thread's in order, and what is queued when the engine stops is written first.
TEST_F(ConsoleUiEngineTest, PostsFromManyThreadsArriveWholeInOrderAndBeforeTheStop) {
    ASSERT_TRUE(engine.start(host, loop));
    constexpr int kThreads = 2;
    constexpr int kPerThread = 3000;
    std::vector<std::string> lines;
    std::thread page([&] {
        while (lines.size() < static_cast<std::size_t>(kThreads * kPerThread)) {
            const std::string line = pipes.read_line();
            if (line.empty()) {
                return;
            }
            lines.push_back(line);
        }
    });
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([this, t] {
            for (int i = 0; i < kPerThread; ++i) {
                engine.post_page("e" + std::to_string(t), UiValue(i));
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    engine.stop();
    std::fclose(pipes.engine_out);  // the page's end of input, were any line still missing
    pipes.engine_out = nullptr;
    page.join();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        ASSERT_EQ(line.rfind(R"({"t":"call","id":)", 0), 0U) << line;
        ASSERT_EQ(line.back(), '\n');
        const auto fn = line.find(R"("fn":"e)");
        ASSERT_NE(fn, std::string::npos) << line;
        const int t = line[fn + 7] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_NE(
            line.find(R"("arg":)" + std::to_string(next[static_cast<std::size_t>(t)]++) + "}"),
            std::string::npos)
            << line;
    }
}

// A burst holds the writer back only while the queue has room: a burst larger than the queue
// goes out whole, in order, and none of it waits for the burst's end once the queue is full.
TEST_F(ConsoleUiEngineTest, ABurstLargerThanTheQueueGoesOutWholeAndInOrder) {
    ASSERT_TRUE(engine.start(host, loop));
    constexpr int kLines = 3000;
    const std::string filler(2000, 'x');  // 6 MB in all, more than the queue holds
    std::vector<std::string> lines;
    std::thread page([&] {
        std::string line;
        std::array<char, 4096> buffer{};
        while (lines.size() < static_cast<std::size_t>(kLines) &&
               std::fgets(buffer.data(), buffer.size(), pipes.page_in) != nullptr) {
            line += buffer.data();
            if (line.back() == '\n') {
                lines.push_back(std::move(line));
                line.clear();
            }
        }
    });
    engine.begin_page_burst();
    for (int i = 0; i < kLines; ++i) {
        engine.post_page("e", UiValue(std::to_string(i) + filler));
    }
    engine.end_page_burst();
    page.join();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        EXPECT_NE(lines[static_cast<std::size_t>(i)].find(R"("arg":")" + std::to_string(i) + "x"),
                  std::string::npos);
    }
    engine.stop();
}

}  // namespace
}  // namespace velmora::platform
