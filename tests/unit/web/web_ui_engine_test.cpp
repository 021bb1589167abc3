// The web UI engine against a small Beast client: access rules, archive paths, the page
// protocol over WebSocket, window input, uploads of dropped files, the page stores and the
// folder listing.
#include "velmora/platform/linux/web/web_ui_engine.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>

#include "support/temp_dir.h"
#include "velmora/bridge/gui_marshal.h"
#include "velmora/bridge/wire_protocol.h"

namespace velmora::platform {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using bridge::UiValue;

using Headers = std::map<std::string, std::string>;

struct Reply {
    unsigned status = 0;
    std::string body;
    Headers headers;

    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// Every blocking client read or write gives up after this, so a server fault fails the test
// instead of hanging it.
void limit_blocking(tcp::socket& socket) {
    const timeval limit{5, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

tcp::socket connect_to(net::io_context& io, std::uint16_t port) {
    tcp::socket socket(io);
    socket.connect({net::ip::address_v4::loopback(), port});
    limit_blocking(socket);
    return socket;
}

// One request on a fresh connection; "Host" defaults to the right one, "-" drops a header.
Reply request(std::uint16_t port,
              http::verb method,
              const std::string& target,
              Headers headers = {},
              std::string body = {}) {
    net::io_context io;
    tcp::socket socket = connect_to(io, port);
    http::request<http::string_body> req{method, target, 11};
    headers.emplace("Host", "127.0.0.1:" + std::to_string(port));
    for (const auto& [name, value] : headers) {
        if (value != "-") {
            req.set(name, value);
        }
    }
    req.body() = std::move(body);
    req.prepare_payload();
    http::write(socket, req);
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    http::read(socket, buffer, res);
    Reply reply{res.result_int(), res.body(), {}};
    for (const auto& field : res) {
        reply.headers[std::string(field.name_string())] = std::string(field.value());
    }
    return reply;
}

Reply get(std::uint16_t port, const std::string& target, Headers headers = {}) {
    return request(port, http::verb::get, target, std::move(headers));
}

// The status of a request written as is, e.g. one that announces a body it never sends.
unsigned raw_request_status(std::uint16_t port, const std::string& text) {
    net::io_context io;
    tcp::socket socket = connect_to(io, port);
    net::write(socket, net::buffer(text));
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    http::read(socket, buffer, res);
    return res.result_int();
}

// A page over WebSocket; the handshake throws when it is refused.
class PageClient {
public:
    PageClient(std::uint16_t port, const std::string& target, Headers headers = {})
        : ws_(connect_to(io_, port)) {
        ws_.set_option(websocket::stream_base::decorator([headers](websocket::request_type& req) {
            for (const auto& [name, value] : headers) {
                req.set(name, value);
            }
        }));
        ws_.read_message_max(64U * 1024U * 1024U);
        ws_.handshake("127.0.0.1:" + std::to_string(port), target);
    }

    void send(const std::string& text) {
        ws_.text(true);
        ws_.write(net::buffer(text));
    }
    Json receive() {
        beast::flat_buffer buffer;
        ws_.read(buffer);
        return Json::parse(beast::buffers_to_string(buffer.data()));
    }
    // The error that ends the next read; success when a message came instead.
    beast::error_code read_failure() {
        beast::flat_buffer buffer;
        beast::error_code ec;
        ws_.read(buffer, ec);
        return ec;
    }
    void close() { ws_.close(websocket::close_code::normal); }
    websocket::close_reason close_reason() const { return ws_.reason(); }
    tcp::endpoint local_endpoint() const { return ws_.next_layer().local_endpoint(); }

private:
    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
};

// The status of a WebSocket handshake: 101 when the upgrade was accepted.
unsigned upgrade_status(std::uint16_t port, const std::string& target, Headers headers) {
    headers.emplace("Connection", "Upgrade");
    headers.emplace("Upgrade", "websocket");
    headers.emplace("Sec-WebSocket-Version", "13");
    headers.emplace("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ==");
    return request(port, http::verb::get, target, std::move(headers)).status;
}

std::string command(int id, const std::string& name, const Json& args) {
    return Json{{"t", "cmd"}, {"id", id}, {"name", name}, {"args", args}}.dump();
}

class FakeHost final : public bridge::UiEngineHost {
public:
    std::optional<UiValue> dispatch_command(std::string_view name,
                                            std::span<const UiValue> args) override {
        if (on_command) {
            if (auto handled = on_command(name, args)) {
                return handled;
            }
        }
        if (name == "echo" && args.size() == 1) {
            return args[0];
        }
        return std::nullopt;
    }
    void on_main_page_connected() override { ++main_page_connections; }
    void on_main_window_closed() override {}
    void on_function_key(int number) override { input.push_back("F" + std::to_string(number)); }
    void on_files_dropped(const std::vector<std::string>& paths) override {
        input.push_back("drop");
        drops.push_back(paths);
    }
    void on_close_requested() override { input.push_back("close"); }

    std::function<std::optional<UiValue>(std::string_view, std::span<const UiValue>)> on_command;
    int main_page_connections = 0;
    std::vector<std::string> input;  // window input in arrival order: "F5", "close", "drop"
    std::vector<std::vector<std::string>> drops;
};

class WebUiEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        WebUiOptions options;
        options.open_window = false;
        options.url_file = dir_ / "ui-url";
        options.store_folder = dir_.path();
        std::filesystem::create_directory(dir_ / "tmp");
        options.temp_folder = dir_ / "tmp";
        options.archive_lookup = [](std::string_view path) -> std::optional<std::string> {
            static const std::map<std::string, std::string, std::less<>> kEntries = {
                {"main.htm", "<!doctype html><title>fake</title>"},
                {"bridge/bridge.js", "export const velmora = {};"},
                {"a/b.css", "body{}"},
            };
            const auto it = kEntries.find(path);
            return it == kEntries.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
        engine_ = std::make_unique<WebUiEngine>(std::move(options));
        ASSERT_TRUE(engine_->start(host_, loop_));
        port_ = engine_->port();
        const std::string url = engine_->page_url();
        token_ = url.substr(url.find("token=") + 6);
    }

    void TearDown() override {
        if (engine_) {
            engine_->stop();
        }
    }

    std::string token_query() const { return "token=" + token_; }
    Headers cookie() const { return {{"Cookie", "velmora_token=" + token_}}; }
    // POST /drop?name=<encoded_name>; `encoded_name` goes into the query as given.
    Reply upload(const std::string& encoded_name, std::string bytes, Headers headers = {}) {
        if (headers.empty()) {
            headers = cookie();
        }
        return request(port_, http::verb::post, "/drop?name=" + encoded_name, std::move(headers),
                       std::move(bytes));
    }
    // The name an upload was answered with; fails the test when it was refused.
    std::string uploaded(const std::string& encoded_name, std::string bytes) {
        const Reply reply = upload(encoded_name, std::move(bytes));
        EXPECT_EQ(reply.status, 200U) << reply.body;
        return Json::parse(reply.body, nullptr, false).value("file", std::string());
    }
    // The one folder the engine made for uploads, inside the temporary folder it was given.
    std::filesystem::path private_folder() const {
        const std::filesystem::directory_iterator first(dir_ / "tmp");
        return first == std::filesystem::directory_iterator() ? std::filesystem::path()
                                                              : first->path();
    }
    std::string main_page_target() const { return "/ws?role=main&" + token_query(); }

    // Runs `work` on a client thread while this (the gui) thread runs the loop.
    void run_client(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::exception_ptr failure;
        std::thread client([&] {
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
            done = true;
            loop_.wake();
        });
        loop_.run_until([&] { return done.load(); });
        client.join();
        if (failure) {
            std::rethrow_exception(failure);
        }
    }

    test::TempDir dir_;
    bridge::GuiLoop loop_;
    FakeHost host_;
    std::unique_ptr<WebUiEngine> engine_;
    std::uint16_t port_ = 0;
    std::string token_;
};

TEST_F(WebUiEngineTest, PageUrlIsWrittenPrivately) {
    EXPECT_EQ(engine_->page_url(),
              "http://127.0.0.1:" + std::to_string(port_) + "/app/main.htm?token=" + token_);
    EXPECT_EQ(token_.size(), 64U);
    std::ifstream file(dir_ / "ui-url");
    std::string line;
    std::getline(file, line);
    EXPECT_EQ(line, engine_->page_url());
    struct stat info {};
    ASSERT_EQ(stat((dir_ / "ui-url").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777U, 0600U);
}

TEST_F(WebUiEngineTest, AccessRules) {
    const std::string port = std::to_string(port_);
    const std::string cookie = "velmora_token=" + token_;
    struct Case {
        std::string what;
        std::string target;
        Headers headers;
        unsigned status;
    };
    const std::vector<Case> cases = {
        {"no token", "/app/main.htm", {}, 403},
        {"wrong token", "/app/main.htm?token=" + std::string(64, '0'), {}, 403},
        {"short token", "/app/main.htm?token=" + token_.substr(1), {}, 403},
        {"token in the query", "/app/main.htm?" + token_query(), {}, 200},
        {"token cookie", "/app/main.htm", {{"Cookie", "x=1; " + cookie}}, 200},
        {"wrong cookie", "/app/main.htm", {{"Cookie", "velmora_token=" + token_ + "0"}}, 403},
        {"localhost host",
         "/app/main.htm",
         {{"Cookie", cookie}, {"Host", "localhost:" + port}},
         200},
        {"foreign host", "/app/main.htm?" + token_query(), {{"Host", "evil.example:" + port}}, 421},
        {"other port", "/app/main.htm?" + token_query(), {{"Host", "127.0.0.1:1"}}, 421},
        {"no host", "/app/main.htm?" + token_query(), {{"Host", "-"}}, 421},
        {"own origin",
         "/app/main.htm",
         {{"Cookie", cookie}, {"Origin", "http://127.0.0.1:" + port}},
         200},
        {"foreign origin",
         "/app/main.htm",
         {{"Cookie", cookie}, {"Origin", "http://evil.example"}},
         403},
        {"null origin", "/app/main.htm?" + token_query(), {{"Origin", "null"}}, 403},
        {"api without token", "/api/fs/list?path=/", {}, 403},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Reply reply = get(port_, c.target, c.headers);
        EXPECT_EQ(reply.status, c.status);
        if (c.status != 200) {
            EXPECT_LT(reply.body.size(), 64U);
            EXPECT_EQ(reply.headers.count("Set-Cookie"), 0U);
        }
    }
}

TEST_F(WebUiEngineTest, TokenInQuerySetsTheCookie) {
    const Reply reply = get(port_, "/app/main.htm?" + token_query());
    EXPECT_EQ(reply.header("Set-Cookie"),
              "velmora_token=" + token_ + "; HttpOnly; SameSite=Strict; Path=/");
    EXPECT_EQ(get(port_, "/app/main.htm", {{"Cookie", "velmora_token=" + token_}})
                  .headers.count("Set-Cookie"),
              0U);
}

TEST_F(WebUiEngineTest, ServesArchiveEntriesOnly) {
    const Headers cookie = {{"Cookie", "velmora_token=" + token_}};
    struct Case {
        std::string target;
        unsigned status;
        std::string content_type;
    };
    const std::vector<Case> cases = {
        {"/app/main.htm", 200, "text/html; charset=utf-8"},
        {"/app/bridge/bridge.js", 200, "text/javascript; charset=utf-8"},
        {"/app/a/b.css", 200, "text/css; charset=utf-8"},
        {"/app/a%2Fb.css", 200, "text/css; charset=utf-8"},
        {"/app/missing.htm", 404, ""},
        {"/elsewhere", 404, ""},
        {"/app/../x", 400, ""},
        {"/app/a/../main.htm", 400, ""},
        {"/app/%2e%2e/x", 400, ""},
        {"/app/%2E%2E/x", 400, ""},
        {"/app/%252e%252e/x", 400, ""},
        {"/app/a\\b", 400, ""},
        {"/app/a%5cb", 400, ""},
        {"/app/%00", 400, ""},
        {"/app/main.htm%00.js", 400, ""},
        {"/app//etc/passwd", 400, ""},
        {"/app/./main.htm", 400, ""},
        {"/app/%zz", 400, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const Reply reply = get(port_, c.target, cookie);
        EXPECT_EQ(reply.status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(reply.header("Content-Type"), c.content_type);
            EXPECT_EQ(reply.header("Cache-Control"), "no-store");
        }
    }
    const Reply root = get(port_, "/", cookie);
    EXPECT_EQ(root.status, 302U);
    EXPECT_EQ(root.header("Location"), "/app/main.htm");
}

TEST_F(WebUiEngineTest, WebSocketUpgradeFollowsTheAccessRules) {
    const std::string cookie = "velmora_token=" + token_;
    struct Case {
        std::string what;
        std::string target;
        Headers headers;
        unsigned status;
    };
    const std::vector<Case> cases = {
        {"no token", "/ws?role=main", {}, 403},
        {"foreign origin", main_page_target(), {{"Origin", "http://evil.example"}}, 403},
        {"foreign host", main_page_target(), {{"Host", "evil.example"}}, 421},
        {"unknown role", "/ws?role=boss&" + token_query(), {}, 400},
        {"wrong path", "/app/main.htm?" + token_query(), {}, 400},
        {"cookie", "/ws?role=other", {{"Cookie", cookie}}, 101},
        {"own origin",
         main_page_target(),
         {{"Origin", "http://localhost:" + std::to_string(port_)}},
         101},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(upgrade_status(port_, c.target, c.headers), c.status);
    }
}

TEST_F(WebUiEngineTest, CommandRoundTrip) {
    run_client([&] {
        PageClient page(port_, main_page_target());
        page.send(command(1, "echo", Json::array({"hi"})));
        EXPECT_EQ(page.receive(),
                  (Json{{"t", "ret"}, {"id", 1}, {"handled", true}, {"value", "hi"}}));
        page.send(command(2, "no_such_command", Json::array()));
        const Json reply = page.receive();
        EXPECT_EQ(reply["id"], 2);
        EXPECT_EQ(reply["handled"], false);
        page.close();
    });
    EXPECT_EQ(host_.main_page_connections, 1);
}

// Nagle's rule would hold the last short frame of a burst back until the page acknowledged
// the one before it, and a page with nothing to send acknowledges only after its delayed-ack
// timer: some 40 ms at the end of every tick.
TEST_F(WebUiEngineTest, PageConnectionsSendWithoutWaitingForAcks) {
    std::optional<int> no_delay;
    run_client([&] {
        PageClient page(port_, main_page_target());
        page.send(command(1, "echo", Json::array({"hi"})));
        page.receive();  // the connection is set up on the server's side by now
        const std::uint16_t page_port = page.local_endpoint().port();
        // the server's end of that connection, found among this process's descriptors
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            const int fd = std::stoi(entry.path().filename().string());
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
                peer.sin_family != AF_INET || ntohs(peer.sin_port) != page_port) {
                continue;
            }
            int value = 0;
            length = sizeof value;
            if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0) {
                no_delay = value;
            }
        }
        page.close();
    });
    ASSERT_TRUE(no_delay.has_value()) << "the server's end of the page was not found";
    EXPECT_NE(*no_delay, 0);
}

TEST_F(WebUiEngineTest, CallPageGoesToTheNewestMainPage) {
    EXPECT_TRUE(engine_->call_page("anything", 1).is_undefined());  // no page: at once
    EXPECT_FALSE(engine_->wait_for_main_page(std::chrono::milliseconds(50)));

    std::atomic<int> ready{0};
    std::atomic<bool> finished{false};
    auto serve_page = [&](bool answers) {
        PageClient page(port_, main_page_target());
        ++ready;
        loop_.wake();
        if (answers) {
            const Json call = page.receive();
            EXPECT_EQ(call["t"], "call");
            EXPECT_EQ(call["fn"], "double_it");
            page.send(
                Json{{"t", "reply"}, {"id", call["id"]}, {"value", call["arg"].get<int>() * 2}}
                    .dump());
        }
        while (!finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    std::thread older([&] { serve_page(false); });
    loop_.run_until([&] { return ready == 1; });
    ASSERT_TRUE(engine_->wait_for_main_page(std::chrono::seconds(5)));
    std::thread newer([&] { serve_page(true); });
    loop_.run_until([&] { return ready == 2 && host_.main_page_connections == 2; });

    EXPECT_EQ(engine_->call_page("double_it", 21), UiValue(42));
    finished = true;
    older.join();
    newer.join();
}

// Events pile up behind a page that is slow to read. A page that asked for batches gets them
// in a few frames, a page that did not gets one frame each; both get all of them in order.
TEST_F(WebUiEngineTest, QueuedEventsReachABatchPageInFewerFrames) {
    constexpr int kEvents = 400;
    const std::string bulk(16 * 1024, 'x');  // enough to fill the socket's buffers
    for (const bool batches : {true, false}) {
        SCOPED_TRACE(batches ? "batch=1" : "one per frame");
        std::atomic<bool> connected{false};
        std::atomic<bool> posted{false};
        std::atomic<bool> done{false};
        int frames = 0;
        int batch_frames = 0;
        std::vector<int> order;
        std::thread page_thread([&] {
            PageClient page(port_, main_page_target() + (batches ? "&batch=1" : ""));
            connected = true;
            loop_.wake();
            while (!posted) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            while (order.size() < kEvents) {
                const Json frame = page.receive();
                ++frames;
                if (frame["t"] == "batch") {
                    ++batch_frames;
                    for (const Json& message : frame["m"]) {
                        order.push_back(message["arg"][0].get<int>());
                    }
                } else {
                    order.push_back(frame["arg"][0].get<int>());
                }
            }
            done = true;
            loop_.wake();
        });
        loop_.run_until([&] { return connected.load(); });
        ASSERT_TRUE(engine_->wait_for_main_page(std::chrono::seconds(5)));
        for (int i = 0; i < kEvents; ++i) {
            engine_->post_page("update_torrent", bridge::UiArray{UiValue(i), UiValue(bulk)});
        }
        posted = true;
        loop_.run_until([&] { return done.load(); });
        page_thread.join();

        std::vector<int> expected(kEvents);
        std::iota(expected.begin(), expected.end(), 0);
        EXPECT_EQ(order, expected);
        if (batches) {
            EXPECT_GT(batch_frames, 0);
            EXPECT_LT(frames, kEvents);
        } else {
            EXPECT_EQ(batch_frames, 0);
            EXPECT_EQ(frames, kEvents);
        }
    }
}

// A burst's events wait and go out together as it ends, though the gui thread is slow between
// them; a call made inside the burst sends what waited before it and is answered.
TEST_F(WebUiEngineTest, ABurstReachesThePageInOneFrame) {
    std::atomic<bool> connected{false};
    std::vector<std::vector<std::string>> frames;  // each frame's function names
    std::thread page_thread([&] {
        PageClient page(port_, main_page_target() + "&batch=1");
        connected = true;
        loop_.wake();
        while (frames.empty() || frames.back().back() != "last") {
            const Json frame = page.receive();
            const Json messages = frame["t"] == "batch" ? frame["m"] : Json::array({frame});
            frames.emplace_back();
            for (const Json& message : messages) {
                frames.back().push_back(message["fn"]);
                if (message["fn"] == "question") {
                    page.send(Json{{"t", "reply"}, {"id", message["id"]}, {"value", 7}}.dump());
                }
            }
        }
    });
    loop_.run_until([&] { return connected.load(); });
    ASSERT_TRUE(engine_->wait_for_main_page(std::chrono::seconds(5)));
    engine_->begin_page_burst();
    engine_->post_page("first", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the io thread is idle
    engine_->post_page("second", 2);
    EXPECT_EQ(engine_->call_page("question", "?"), UiValue(7));
    engine_->post_page("third", 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    engine_->post_page("last", 4);
    engine_->end_page_burst();
    page_thread.join();
    // what waited went out together; the call with it, or right after it
    ASSERT_GE(frames.size(), 2U);
    const std::size_t first_two = std::min<std::size_t>(2, frames.front().size());
    EXPECT_EQ(std::vector<std::string>(frames.front().begin(), frames.front().begin() + first_two),
              (std::vector<std::string>{"first", "second"}));
    EXPECT_LE(frames.size(), 3U);
    std::vector<std::string> all;
    for (const auto& frame : frames) {
        all.insert(all.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(all, (std::vector<std::string>{"first", "second", "question", "third", "last"}));
    EXPECT_EQ(frames.back(), (std::vector<std::string>{"third", "last"}));
}

TEST_F(WebUiEngineTest, PageAnswersACallMadeInsideItsCommand) {
    host_.on_command = [&](std::string_view name, auto) -> std::optional<UiValue> {
        if (name == "ask_page") {
            return engine_->call_page("question", "?");
        }
        return std::nullopt;
    };
    run_client([&] {
        PageClient page(port_, main_page_target());
        page.send(command(1, "ask_page", Json::array()));
        const Json call = page.receive();
        ASSERT_EQ(call["fn"], "question");
        page.send(Json{{"t", "reply"}, {"id", call["id"]}, {"value", 7}}.dump());
        EXPECT_EQ(page.receive()["value"], 7);
    });
}

TEST_F(WebUiEngineTest, PageMayCloseWhileItsCommandWaits) {
    std::optional<UiValue> answer;
    host_.on_command = [&](std::string_view name, auto) -> std::optional<UiValue> {
        if (name == "ask_page") {
            answer = engine_->call_page("question", "?");  // the page closes meanwhile
            return UiValue(true);
        }
        return std::nullopt;
    };
    run_client([&] {
        {
            PageClient page(port_, main_page_target());
            page.send(command(1, "ask_page", Json::array()));
            EXPECT_EQ(page.receive()["fn"], "question");
            page.close();
        }
        PageClient next(port_, main_page_target());
        next.send(command(2, "echo", Json::array({2})));
        EXPECT_EQ(next.receive()["value"], 2);
    });
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(answer->is_undefined());
}

TEST_F(WebUiEngineTest, ClosedOrOtherPagesAnswerUndefined) {
    std::atomic<bool> connected{false};
    std::atomic<bool> close_now{false};
    std::thread client([&] {
        PageClient other(port_, "/ws?role=other&" + token_query());
        PageClient main(port_, main_page_target());
        connected = true;
        loop_.wake();
        const Json call = main.receive();  // the call that is left unanswered
        EXPECT_EQ(call["fn"], "never_answered");
        main.close();
        while (!close_now) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    loop_.run_until([&] { return connected.load(); });
    ASSERT_TRUE(engine_->wait_for_main_page(std::chrono::seconds(5)));
    // the page closes while the call waits: the wait ends with undefined
    EXPECT_TRUE(engine_->call_page("never_answered", 0).is_undefined());
    // the other page stays connected but is never called
    EXPECT_TRUE(engine_->call_page("again", 0).is_undefined());
    EXPECT_FALSE(engine_->wait_for_main_page(std::chrono::milliseconds(50)));
    close_now = true;
    client.join();
}

// Window input is posted to the gui loop in order with commands: once a later echo is
// answered, everything the page sent before it has reached the host.
void send_then_sync(PageClient& page, const std::vector<Json>& messages, int sync_id) {
    for (const Json& message : messages) {
        page.send(message.dump());
    }
    page.send(command(sync_id, "echo", Json::array({sync_id})));
    Json reply = page.receive();
    while (reply["t"] == "error") {  // answers to bad shapes come first
        reply = page.receive();
    }
    EXPECT_EQ(reply["value"], sync_id);
}

TEST_F(WebUiEngineTest, MainPageWindowInputReachesTheHost) {
    run_client([&] {
        PageClient page(port_, main_page_target());
        send_then_sync(page,
                       {{{"t", "key"}, {"key", 5}},
                        {{"t", "key"}, {"key", 13}},
                        {{"t", "key"}, {"key", 0}},
                        {{"t", "close"}},
                        {{"t", "key"}, {"key", 1}},
                        {{"t", "key"}, {"key", 12}}},
                       1);
        page.send(Json{{"t", "key"}, {"key", "F2"}}.dump());
        EXPECT_EQ(page.receive()["t"], "error");
        send_then_sync(page, {{{"t", "key"}, {"key", 2}}}, 2);  // still served
    });
    EXPECT_EQ(host_.input, (std::vector<std::string>{"F5", "close", "F1", "F12", "F2"}));
}

TEST_F(WebUiEngineTest, WindowInputOfOtherPagesIsIgnored) {
    const std::string stored = uploaded("a.torrent", "d4:infoe");
    const std::vector<Json> input = {{{"t", "key"}, {"key", 5}},
                                     {{"t", "close"}},
                                     {{"t", "drop"}, {"files", Json::array({stored})}}};
    run_client([&] {
        PageClient other(port_, "/ws?role=other&" + token_query());
        send_then_sync(other, input, 1);
        PageClient replaced(port_, main_page_target());
        send_then_sync(replaced, {{{"t", "key"}, {"key", 3}}}, 2);
        PageClient newest(port_, main_page_target());
        send_then_sync(newest, {}, 3);  // the newest is main once its first command is answered
        send_then_sync(replaced, input, 4);
        send_then_sync(other, input, 5);
        send_then_sync(newest, {{{"t", "key"}, {"key", 9}}}, 6);
    });
    EXPECT_EQ(host_.input, (std::vector<std::string>{"F3", "F9"}));
}

TEST_F(WebUiEngineTest, DroppedFilesArriveAsPathsOfTheirUploads) {
    const std::string first = uploaded("a.torrent", "first");
    const std::string second = uploaded("a.torrent", "second");  // same name, own file
    const std::string record = uploaded("record%20one.vtr", "");
    EXPECT_NE(first, second);
    run_client([&] {
        PageClient page(port_, main_page_target());
        send_then_sync(
            page,
            {{{"t", "drop"}, {"files", Json::array({record, "not/stored", second, "../a", first})}},
             // a browser knows no local path, so none is taken from it
             {{"t", "drop"}, {"paths", Json::array({(dir_ / "ui-url").string()})}},
             {{"t", "drop"}, {"files", Json::array({"nothing/stored"})}}},
            1);
    });
    ASSERT_EQ(host_.drops.size(), 1U);
    const auto& paths = host_.drops[0];
    ASSERT_EQ(paths.size(), 3U);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"record one.vtr", ""}, {"a.torrent", "second"}, {"a.torrent", "first"}};
    const std::filesystem::path folder = private_folder();
    EXPECT_EQ(std::filesystem::path(paths[0]).parent_path().parent_path(), folder);
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777U, 0700U);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        const std::filesystem::path path(paths[i]);
        EXPECT_EQ(path.filename(), expected[i].first);
        EXPECT_EQ(path.parent_path().parent_path(), folder);
        std::ifstream file(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), expected[i].second);
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777U, 0600U);
    }
    engine_->stop();
    EXPECT_FALSE(std::filesystem::exists(folder));  // removed when the engine stops
}

TEST_F(WebUiEngineTest, UploadsAreStoredByBaseNameOnly) {
    struct Case {
        std::string encoded_name;
        std::string stored_base;  // empty: refused with 400
    };
    const std::vector<Case> cases = {
        {"..%2F..%2Fescaped.torrent", "escaped.torrent"},
        {"../../escaped2.torrent", "escaped2.torrent"},
        {"%2Fetc%2Fpasswd", "passwd"},
        {"dir%5Cinner.vtr", "inner.vtr"},
        {"..", ""},
        {"%2E%2E", ""},
        {"a%2F..", ""},
        {".", ""},
        {"", ""},
        {"trailing%2F", ""},
        {"nul%00.torrent", ""},
        {std::string(256, 'n'), ""},
        {"%zz", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoded_name.substr(0, 40));
        const Reply reply = upload(c.encoded_name, "bytes");
        if (c.stored_base.empty()) {
            EXPECT_EQ(reply.status, 400U);
            continue;
        }
        ASSERT_EQ(reply.status, 200U);
        const std::string name = Json::parse(reply.body)["file"];
        EXPECT_TRUE(name.ends_with("/" + c.stored_base)) << name;
    }
    EXPECT_EQ(request(port_, http::verb::post, "/drop", cookie(), "x").status, 400U);
    // nothing landed beside or above the private folder
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "tmp"), {}), 1);
    EXPECT_TRUE(private_folder().filename().string().starts_with("velmora-drop-"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "escaped.torrent"));
    EXPECT_FALSE(std::filesystem::exists(dir_.path().parent_path() / "escaped.torrent"));
}

TEST_F(WebUiEngineTest, UploadsFollowTheAccessRulesAndTheSizeLimit) {
    const std::string port = std::to_string(port_);
    struct Case {
        std::string what;
        Headers headers;
        unsigned status;
    };
    const std::vector<Case> cases = {
        {"no token", {{"X-Nothing", "1"}}, 403},
        {"wrong cookie", {{"Cookie", "velmora_token=" + std::string(64, '0')}}, 403},
        {"foreign origin",
         {{"Cookie", "velmora_token=" + token_}, {"Origin", "http://evil.example"}},
         403},
        {"foreign host", {{"Cookie", "velmora_token=" + token_}, {"Host", "evil.example"}}, 421},
        {"own origin",
         {{"Cookie", "velmora_token=" + token_}, {"Origin", "http://127.0.0.1:" + port}},
         200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(upload("x.torrent", "bytes", c.headers).status, c.status);
    }
    EXPECT_EQ(request(port_, http::verb::post, "/drop?" + token_query() + "&name=t.torrent").status,
              200U);
    EXPECT_EQ(get(port_, "/drop?name=x.torrent", cookie()).status, 405U);

    auto announced = [&](std::uint64_t length, const std::string& auth) {
        return "POST /drop?name=big.torrent HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" + auth +
               "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    };
    const std::string auth = "Cookie: velmora_token=" + token_ + "\r\n";
    constexpr std::uint64_t kLimit = 64U * 1024U * 1024U;
    // refused from the header alone: the body is never waited for
    EXPECT_EQ(raw_request_status(port_, announced(kLimit + 1, auth)), 413U);
    EXPECT_EQ(raw_request_status(port_, announced(std::uint64_t{1} << 40U, auth)), 413U);
    EXPECT_EQ(raw_request_status(port_, announced(kLimit + 1, "")), 403U);
    const Reply at_limit = upload("big.torrent", std::string(kLimit, 'b'));
    ASSERT_EQ(at_limit.status, 200U);
    const std::string stored = Json::parse(at_limit.body)["file"];
    EXPECT_EQ(std::filesystem::file_size(private_folder() / stored), kLimit);
}

TEST_F(WebUiEngineTest, WindowRequestsAreSentToTheMainPage) {
    engine_->toggle_maximized();  // no page: nothing to do
    EXPECT_FALSE(engine_->open_window("this://app/other.htm"));
    std::atomic<bool> connected{false};
    std::atomic<bool> asked{false};
    Json received;
    Json opened;
    std::thread client([&] {
        PageClient other(port_, "/ws?role=other&" + token_query());
        PageClient main(port_, main_page_target());
        connected = true;
        loop_.wake();
        received = main.receive();
        opened = main.receive();
        asked = true;
        loop_.wake();
    });
    loop_.run_until([&] { return connected.load(); });
    ASSERT_TRUE(engine_->wait_for_main_page(std::chrono::seconds(5)));
    engine_->toggle_maximized();
    EXPECT_FALSE(engine_->open_window("https://127.0.0.1/elsewhere"));  // not one of ours
    EXPECT_TRUE(engine_->open_window("this://app/dialogs/about.htm"));
    loop_.run_until([&] { return asked.load(); });
    client.join();
    EXPECT_EQ(received, (Json{{"t", "window"}, {"op", "toggle_maximized"}}));
    EXPECT_EQ(opened, (Json{{"t", "window"}, {"op", "open"}, {"url", "/app/dialogs/about.htm"}}));
}

TEST_F(WebUiEngineTest, BadMessagesHurtOnlyTheirConnection) {
    run_client([&] {
        PageClient healthy(port_, "/ws?role=other&" + token_query());
        PageClient faulty(port_, main_page_target());

        faulty.send("{not json");
        const Json error = faulty.receive();
        EXPECT_EQ(error["t"], "error");
        faulty.send(command(1, "echo", Json::array({1})));
        EXPECT_EQ(faulty.receive()["value"], 1);  // still open

        try {
            faulty.send(std::string(bridge::kMaxPageMessageBytes + 1, ' '));
        } catch (const beast::system_error&) {
            // the server may drop the connection before the whole frame is written
        }
        const beast::error_code closed = faulty.read_failure();
        EXPECT_TRUE(closed);
        if (closed == websocket::error::closed) {
            EXPECT_EQ(faulty.close_reason().code, websocket::close_code::too_big);
        }

        healthy.send(command(2, "echo", Json::array({"still here"})));
        EXPECT_EQ(healthy.receive()["value"], "still here");
    });
}

TEST_F(WebUiEngineTest, PageStoreRoundTrip) {
    const Headers cookie = {{"Cookie", "velmora_token=" + token_}};
    auto run_sql = [&](const std::string& store, const Json& body) {
        const Reply reply =
            request(port_, http::verb::post, "/api/store/" + store, cookie, body.dump());
        return std::make_pair(reply.status, Json::parse(reply.body, nullptr, false));
    };
    EXPECT_EQ(run_sql("settings", {{"sql", "CREATE TABLE kv (k TEXT PRIMARY KEY, v)"}}).first,
              200U);
    const auto insert = run_sql("settings", {{"sql", "INSERT INTO kv VALUES (?, ?), (?, ?)"},
                                             {"params", Json::array({"a", 1, "b", 2.5})}});
    EXPECT_EQ(insert.first, 200U);
    EXPECT_EQ(insert.second["changes"], 2);
    const auto select = run_sql("settings", {{"sql", "SELECT k, v FROM kv ORDER BY k"}});
    EXPECT_EQ(select.second, Json::parse(R"({"rows": [["a", 1], ["b", 2.5]], "changes": 0})"));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "settings.db"));
    // a statement larger than other requests may be still has its whole body read
    const auto large = run_sql("settings", {{"sql", "SELECT length(?)"},
                                            {"params", Json::array({std::string(200000, 'x')})}});
    EXPECT_EQ(large.first, 200U);
    EXPECT_EQ(large.second["rows"], Json::parse("[[200000]]"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "log.db"));  // opened only when used

    struct Case {
        std::string what;
        std::string store;
        Json body;
        unsigned status;
    };
    const std::vector<Case> refused = {
        {"bad sql", "log", {{"sql", "SELEC nothing"}}, 400},
        {"two statements", "settings", {{"sql", "SELECT 1; SELECT 2"}}, 400},
        {"nested param",
         "settings",
         {{"sql", "SELECT ?"}, {"params", Json::array({Json::object({{"a", 1}})})}},
         400},
        {"no sql", "settings", {{"params", Json::array()}}, 400},
        {"other files", "settings", {{"sql", "ATTACH DATABASE '/tmp/x.db' AS x"}}, 400},
        {"unknown store", "secrets", {{"sql", "SELECT 1"}}, 404},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        const auto [status, json] = run_sql(c.store, c.body);
        EXPECT_EQ(status, c.status);
        if (status == 400) {
            EXPECT_TRUE(json.contains("error"));
        }
    }
}

TEST_F(WebUiEngineTest, ListsFolders) {
    const test::TempDir folder;
    std::filesystem::create_directory(folder / "b_dir");
    std::filesystem::create_directory(folder / "z_dir");
    std::ofstream(folder / "a.txt") << "abc";
    std::ofstream(folder / "c.bin") << "";
    const Headers cookie = {{"Cookie", "velmora_token=" + token_}};
    const Reply reply = get(port_, "/api/fs/list?path=" + folder.path().string(), cookie);
    ASSERT_EQ(reply.status, 200U);
    const Json listing = Json::parse(reply.body);
    EXPECT_EQ(listing["path"], folder.path().string());
    EXPECT_EQ(listing["parent"], folder.path().parent_path().string());
    const Json expected = Json::parse(R"([{"name": "b_dir", "dir": true, "size": 0},
                                          {"name": "z_dir", "dir": true, "size": 0},
                                          {"name": "a.txt", "dir": false, "size": 3},
                                          {"name": "c.bin", "dir": false, "size": 0}])");
    EXPECT_EQ(listing["entries"], expected);

    EXPECT_EQ(Json::parse(get(port_, "/api/fs/list?path=%2F", cookie).body)["parent"], nullptr);
    for (const std::string& bad : std::vector<std::string>{
             "relative/path", (folder / "missing").string(), (folder / "a.txt").string()}) {
        SCOPED_TRACE(bad);
        const Reply refused = get(port_, "/api/fs/list?path=" + bad, cookie);
        EXPECT_EQ(refused.status, 400U);
        EXPECT_TRUE(Json::parse(refused.body).contains("error"));
    }
}

TEST_F(WebUiEngineTest, SlowAndExcessConnectionsLeaveOthersServed) {
    const Headers cookie = {{"Cookie", "velmora_token=" + token_}};
    net::io_context io;
    std::vector<tcp::socket> idle;
    // a client that never finishes its header holds only its own connection
    idle.push_back(connect_to(io, port_));
    net::write(idle.back(), net::buffer(std::string("GET /app/main.htm HTTP/1.1\r\nHost: ")));
    EXPECT_EQ(get(port_, "/app/main.htm", cookie).status, 200U);

    while (idle.size() < 256) {
        idle.push_back(connect_to(io, port_));
    }
    tcp::socket excess = connect_to(io, port_);
    char byte = 0;
    beast::error_code ec;
    excess.read_some(net::buffer(&byte, 1), ec);
    EXPECT_EQ(ec, net::error::eof);  // closed at once, not left waiting

    idle.clear();
    unsigned status = 0;
    for (int attempt = 0; attempt < 100 && status != 200; ++attempt) {
        try {
            status = get(port_, "/app/main.htm", cookie).status;
        } catch (const beast::system_error&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // not yet noticed
        }
    }
    EXPECT_EQ(status, 200U);
}

TEST_F(WebUiEngineTest, StopClosesEverything) {
    std::atomic<bool> connected{false};
    beast::error_code after_stop;
    std::thread client([&] {
        PageClient page(port_, main_page_target());
        connected = true;
        loop_.wake();
        after_stop = page.read_failure();
    });
    loop_.run_until([&] { return connected.load(); });
    ASSERT_TRUE(engine_->wait_for_main_page(std::chrono::seconds(5)));
    engine_->stop();
    client.join();
    EXPECT_TRUE(after_stop);
    EXPECT_TRUE(engine_->call_page("anything", 1).is_undefined());
    EXPECT_FALSE(engine_->wait_for_main_page(std::chrono::milliseconds(10)));
    net::io_context io;
    tcp::socket socket(io);
    socket.connect({net::ip::address_v4::loopback(), port_}, after_stop);
    EXPECT_EQ(after_stop, net::error::connection_refused);
}

}  // namespace
}  // namespace velmora::platform
