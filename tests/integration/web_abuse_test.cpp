// The web page engine of a real client under abuse: while the real page keeps sending commands,
// a thousand connections without the token, oversized and malformed input and slow clients
// must neither stop the client nor hold up the page's round trips.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace velmora::test {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kFloodConnections = 1000;
constexpr std::size_t kSlowClients = 100;
// What the page's own round trips may lose to the abuse, beyond the slowest quiet one.
constexpr auto kAllowedDelay = 100ms;
// A thread woken this much later than it asked finds the machine stood still meanwhile.
constexpr auto kMachineStall = 10ms;
// The page's largest message; the engine refuses anything larger.
constexpr std::size_t kMaxMessageBytes = 16U * 1024U * 1024U;

struct Address {
    std::uint16_t port = 0;
    std::string token;

    std::string host() const { return "127.0.0.1:" + std::to_string(port); }
    tcp::endpoint endpoint() const { return {net::ip::address_v4::loopback(), port}; }
};

// "Velmora page: http://127.0.0.1:<port>/app/main.htm?token=<token>" on standard output.
Address page_address(ChildProcess& client) {
    constexpr std::string_view kMarker = "Velmora page: http://127.0.0.1:";
    std::string out = client.read_stdout_until(std::string(kMarker), 30s);
    const std::size_t start = out.find(kMarker);
    if (start == std::string::npos) {
        return {};
    }
    const auto deadline = Clock::now() + 5s;
    while (out.find('\n', start) == std::string::npos && Clock::now() < deadline) {
        out = client.read_stdout_until("\x01never\x01", 100ms);
    }
    const std::string line =
        out.substr(start + kMarker.size(), out.find('\n', start) - start - kMarker.size());
    const std::size_t token_at = line.find("token=");
    if (token_at == std::string::npos) {
        return {};
    }
    return {static_cast<std::uint16_t>(std::stoi(line.substr(0, line.find('/')))),
            line.substr(token_at + 6)};
}

// Blocking reads and writes give up after `limit`, so a server that stops answering fails the
// test instead of hanging it.
void limit_blocking(tcp::socket& socket, std::chrono::milliseconds limit) {
    const timeval tv{static_cast<time_t>(limit.count() / 1000),
                     static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A page over WebSocket bearing the token; the handshake throws when it is refused.
class Page {
public:
    Page(const Address& address, const std::string& role) : ws_(io_) {
        ws_.next_layer().connect(address.endpoint());
        limit_blocking(ws_.next_layer(), 5s);
        ws_.read_message_max(64U * 1024U * 1024U);
        ws_.handshake(address.host(), "/ws?role=" + role + "&token=" + address.token);
    }

    // A text frame that announces `length` bytes, of which only its first bytes follow.
    void send_announcing(std::uint64_t length) {
        std::string frame = {'\x81', '\xff'};  // final text frame, masked, 64-bit length
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<char>((length >> shift) & 0xFFU));
        }
        frame += std::string(4, '\0') + std::string(4096, ' ');  // a zero mask: plain text
        net::write(ws_.next_layer(), net::buffer(frame));
    }

    void send(const std::string& text, bool binary = false) {
        ws_.binary(binary);
        ws_.write(net::buffer(text));
    }
    // The next message; throws when the connection ends.
    Json receive() {
        beast::flat_buffer buffer;
        ws_.read(buffer);
        return Json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
    }
    // Answers the client's call, the saved page settings being none.
    void answer(const Json& call) {
        const Json value = call.value("fn", "") == "get_resume_data" ? Json(0) : Json();
        send(Json{{"t", "reply"}, {"id", call["id"]}, {"value", value}}.dump());
    }

private:
    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
};

std::string command(int id, const std::string& name, const Json& args = Json::array()) {
    return Json{{"t", "cmd"}, {"id", id}, {"name", name}, {"args", args}}.dump();
}

enum class Phase { Starting, Quiet, Abuse, After, Ending };

// One command of the page: when it left and when its result came back.
struct RoundTrip {
    Clock::time_point sent;
    Clock::time_point back;
};

// When a processor of the machine stood still: a virtual processor taken away for a moment,
// a test beside this one taking the cores. On each processor a thread that only sleeps a
// millisecond at a time sees it, as it wakes far too late. What a round trip loses then is no
// work the client did for the abuse.
class MachineStalls {
public:
    MachineStalls() {
        cpu_set_t usable;
        CPU_ZERO(&usable);
        sched_getaffinity(0, sizeof usable, &usable);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &usable)) {
                watchers_.emplace_back(std::make_unique<Watcher>());
                watchers_.back()->thread = std::thread([this, cpu, w = watchers_.back().get()] {
                    cpu_set_t one;
                    CPU_ZERO(&one);
                    CPU_SET(cpu, &one);
                    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
                    watch(w->stalls);
                });
            }
        }
    }
    ~MachineStalls() { stop(); }
    MachineStalls(const MachineStalls&) = delete;
    MachineStalls& operator=(const MachineStalls&) = delete;

    void stop() {
        stop_ = true;
        for (auto& watcher : watchers_) {
            if (watcher->thread.joinable()) {
                watcher->thread.join();
            }
        }
        stalls_.clear();
        for (const auto& watcher : watchers_) {
            stalls_.insert(stalls_.end(), watcher->stalls.begin(), watcher->stalls.end());
        }
        std::sort(stalls_.begin(), stalls_.end(),
                  [](const RoundTrip& a, const RoundTrip& b) { return a.sent < b.sent; });
    }

    // The round trip's time less what any processor stood still during it; after `stop`.
    Clock::duration own_time(const RoundTrip& trip) const {
        Clock::duration lost{};
        auto counted_to = trip.sent;  // stalls of two processors at once count once
        for (const RoundTrip& stall : stalls_) {
            const auto from = std::max(stall.sent, counted_to);
            const auto to = std::min(stall.back, trip.back);
            if (from < to) {
                lost += to - from;
                counted_to = to;
            }
        }
        return trip.back - trip.sent - lost;
    }
    std::size_t count() const { return stalls_.size(); }

private:
    struct Watcher {
        std::thread thread;
        std::vector<RoundTrip> stalls;  // its thread's until `stop`
    };

    void watch(std::vector<RoundTrip>& stalls) const {
        constexpr auto kNap = 1ms;
        while (!stop_) {
            const auto before = Clock::now();
            std::this_thread::sleep_for(kNap);
            const auto after = Clock::now();
            if (after - before > kNap + kMachineStall) {
                stalls.push_back({before + kNap, after});
            }
        }
    }

    std::atomic<bool> stop_{false};
    std::vector<std::unique_ptr<Watcher>> watchers_;
    std::vector<RoundTrip> stalls_;  // all processors', in order of their start, after `stop`
};

// The real page: answers every call and, once started, times one cheap command after another.
class MainPage {
public:
    explicit MainPage(const Address& address) : page_(address, "main") {}

    void run(const std::atomic<Phase>& phase) {
        try {
            while (!started_) {
                serve_one();
            }
            while (phase != Phase::Ending) {
                const Phase now = phase;
                if (now == Phase::Abuse && next_id_ % 10 == 0) {
                    // the page's own bad input is answered, and costs it nothing more
                    page_.send("{\"t\":\"cmd\",\"id\":" + std::to_string(next_id_++) + ",");
                    ++bad_sent_;
                }
                const RoundTrip took = round_trip();
                if (now != Phase::Starting) {
                    const std::lock_guard lock(mutex_);
                    (now == Phase::Quiet   ? quiet_
                     : now == Phase::Abuse ? abuse_
                                           : after_)
                        .push_back(took);
                }
                std::this_thread::sleep_for(2ms);
            }
            // the exit sequence still calls the page; it ends when the client closes it
            while (true) {
                serve_one();
            }
        } catch (const std::exception& e) {
            const std::lock_guard lock(mutex_);
            end_ = e.what();
        }
    }

    bool started() const { return started_; }
    std::vector<RoundTrip> quiet() const { return copy(quiet_); }
    std::vector<RoundTrip> abuse() const { return copy(abuse_); }
    std::vector<RoundTrip> after() const { return copy(after_); }
    int bad_sent() const { return bad_sent_; }
    int errors_received() const { return errors_received_; }
    std::string end() const {
        const std::lock_guard lock(mutex_);
        return end_;
    }

private:
    std::vector<RoundTrip> copy(const std::vector<RoundTrip>& v) const {
        const std::lock_guard lock(mutex_);
        return v;
    }

    // Takes one message: a call is answered at once, an error for a bad message is counted.
    Json serve_one() {
        Json message = page_.receive();
        const std::string kind = message.is_object() ? message.value("t", "") : "";
        if (kind == "call") {
            // start-up is through once the client asks for the torrents of the last run
            started_ = started_ || message.value("fn", "") == "get_torrents_to_restore";
            page_.answer(message);
        } else if (kind == "error") {
            ++errors_received_;
        }
        return message;
    }

    RoundTrip round_trip() {
        const int id = next_id_++;
        const auto sent = Clock::now();
        page_.send(command(id, "get_version"));
        while (true) {
            const Json message = serve_one();
            if (message.is_object() && message.value("t", "") == "ret" &&
                message.value("id", -1) == id) {
                if (message.value("handled", false) != true) {
                    throw std::runtime_error("get_version was not handled: " + message.dump());
                }
                return {sent, Clock::now()};
            }
        }
    }

    Page page_;
    int next_id_ = 1;
    std::atomic<bool> started_{false};
    std::atomic<int> bad_sent_{0};
    std::atomic<int> errors_received_{0};
    mutable std::mutex mutex_;
    std::vector<RoundTrip> quiet_;
    std::vector<RoundTrip> abuse_;
    std::vector<RoundTrip> after_;
    std::string end_;
};

tcp::socket raw_connection(net::io_context& io, const Address& address) {
    tcp::socket socket(io);
    beast::error_code ec;
    socket.connect(address.endpoint(), ec);
    if (!ec) {
        limit_blocking(socket, 200ms);
    }
    return socket;
}

// Writes what it can: the server may close the connection half way, as it should.
void write_some(tcp::socket& socket, const std::string& text) {
    beast::error_code ec;
    net::write(socket, net::buffer(text), ec);
}

// A thousand connections at once without the token, half of them asking, half silent; a tenth
// of them renewed every tenth of a second.
void flood(const Address& address, const std::atomic<bool>& stop) {
    net::io_context io;
    std::vector<tcp::socket> held;
    for (std::size_t i = 0; !stop; ++i) {
        const std::size_t slot = i % kFloodConnections;
        if (slot == held.size()) {
            held.push_back(raw_connection(io, address));
        } else {
            held[slot] = raw_connection(io, address);  // the old one closes
        }
        if (i % 2 == 0) {
            write_some(held[slot],
                       "GET /app/main.htm HTTP/1.1\r\nHost: " + address.host() + "\r\n\r\n");
        }
        if (held.size() == kFloodConnections && slot % 100 == 99) {
            std::this_thread::sleep_for(100ms);
        }
    }
}

// Requests and frames over every limit, and input that is no request or no message at all.
// `unrefused` counts bad messages that were answered with anything but an error.
void oversize_and_garble(const Address& address,
                         const std::atomic<bool>& stop,
                         std::atomic<int>& unrefused) {
    net::io_context io;
    const std::string host = "Host: " + address.host() + "\r\n";
    const std::string cookie = "Cookie: velmora_token=" + address.token + "\r\n";
    const std::vector<std::string> requests = {
        "GET /app/main.htm HTTP/1.1\r\n" + host + "X-Big: " + std::string(256U << 10, 'a') +
            "\r\n\r\n",
        "POST /drop?name=a.torrent HTTP/1.1\r\n" + host + "Content-Length: 1000000000000\r\n\r\n" +
            std::string(64U << 10, 'b'),
        "POST /drop?name=a.torrent HTTP/1.1\r\n" + host + cookie +
            "Content-Length: 1000000000000\r\n\r\n" + std::string(64U << 10, 'b'),
        "POST /api/store/settings HTTP/1.1\r\n" + host + cookie +
            "Transfer-Encoding: chunked\r\n\r\nffffffffffff\r\n" + std::string(64U << 10, 'c'),
        "GET /ws?role=main HTTP/1.1\r\n" + host +
            "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
        std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(4096, '\0'),
        "\r\n\r\n\r\n" + std::string(64U << 10, '\xff'),
    };
    // each of these is answered with an error
    const std::vector<std::string> refused = {
        "{not json",
        std::string(100000, '['),
        R"({"t":"cmd","id":1e400,"name":"get_version"})",
        R"({"t":"cmd","id":2,"name":"get_version","args":{"a":1}})",
        R"([1,2,3])",
        R"({"t":"key","key":-99999999999999999999})",
        std::string(64U << 10, ' ') + "{",
    };
    // and these are dropped without an answer
    const std::vector<std::string> ignored = {
        R"({"t":"reply","id":123456789,"value":1})",
        R"({"t":"drop","files":["../../etc/passwd"]})",
    };
    int round = 0;
    while (!stop) {
        for (const auto& text : requests) {
            tcp::socket socket = raw_connection(io, address);
            write_some(socket, text);
        }
        try {
            Page other(address, "other");
            for (const auto& text : ignored) {
                other.send(text);
            }
            for (const auto& text : refused) {
                other.send(text);
                const Json answer = other.receive();
                if (!answer.is_object() || answer.value("t", "") != "error") {
                    ++unrefused;
                }
            }
            other.send(std::string(4096, '\x01'), /*binary=*/true);
            other.send_announcing(round++ % 2 == 0 ? kMaxMessageBytes + 1 : 1ULL << 62);
        } catch (const std::exception&) {
            // the server dropped the page for its frames, as it should
        }
        std::this_thread::sleep_for(50ms);
    }
}

// Headers dribbled a byte at a time that never end, a reader that never reads its answers,
// and a page that sends commands but never reads their results.
void slow_clients(const Address& address, const std::atomic<bool>& stop) {
    net::io_context io;
    std::vector<tcp::socket> dribblers;
    for (std::size_t i = 0; i < kSlowClients; ++i) {
        dribblers.push_back(raw_connection(io, address));
    }
    const std::string header = "GET /app/main.htm?token=" + address.token +
                               " HTTP/1.1\r\nHost: " + address.host() + "\r\nX-Slow: ";
    tcp::socket deaf = raw_connection(io, address);
    std::string pipelined;
    for (int i = 0; i < 200; ++i) {
        pipelined += "GET /app/main.htm HTTP/1.1\r\nHost: " + address.host() +
                     "\r\nCookie: velmora_token=" + address.token + "\r\n\r\n";
    }
    bool deaf_is_full = false;
    std::optional<Page> mute;
    try {
        mute.emplace(address, "other");
    } catch (const std::exception&) {
        // no room for it among the dribblers: the others still run
    }
    for (std::size_t sent = 0; !stop; ++sent) {
        const char byte = sent < header.size() ? header[sent] : 'a';
        for (auto& socket : dribblers) {
            write_some(socket, std::string(1, byte));
        }
        if (!deaf_is_full) {
            beast::error_code ec;
            deaf_is_full = net::write(deaf, net::buffer(pipelined), ec) < pipelined.size();
        }
        try {
            if (mute) {
                mute->send(command(static_cast<int>(sent), "get_version"));
            }
        } catch (const std::exception&) {
            mute.reset();
        }
        std::this_thread::sleep_for(20ms);
    }
}

// Serves the client's pipes (it must never block on a full one) for `duration`.
void keep_draining(ChildProcess& client, Clock::duration duration) {
    const auto until = Clock::now() + duration;
    while (Clock::now() < until) {
        client.read_stdout_until("\x01never\x01", 100ms);
    }
}

// The slowest of `trips` by the time the machine let them take.
Clock::duration slowest(const std::vector<RoundTrip>& trips, const MachineStalls& stalls) {
    Clock::duration slowest{};
    for (const RoundTrip& trip : trips) {
        slowest = std::max(slowest, stalls.own_time(trip));
    }
    return slowest;
}

long long ms(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

TEST(WebAbuse, TheRealPageStaysServedAndTheClientRuns) {
    TempDir home;
    ChildProcess client(
        {velmora_binary(), "--ui", "web", "--no-window", "--home", home.path().string()},
        {"VELMORA_LOOPBACK_ONLY=1"});
    // the flood needs more descriptors than the usual soft limit; the client keeps its own
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    files.rlim_cur = files.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GE(files.rlim_cur, kFloodConnections + kSlowClients + 64);
    const Address address = page_address(client);
    ASSERT_NE(address.port, 0) << client.stdout_text();
    ASSERT_EQ(address.token.size(), 64U);

    MachineStalls stalls;
    std::atomic<Phase> phase{Phase::Starting};
    MainPage page(address);
    std::thread page_thread([&] { page.run(phase); });
    for (int i = 0; i < 300 && !page.started(); ++i) {
        keep_draining(client, 100ms);
    }
    ASSERT_TRUE(page.started()) << page.end();

    phase = Phase::Quiet;
    keep_draining(client, 4s);

    phase = Phase::Abuse;
    std::atomic<bool> stop{false};
    std::atomic<int> unrefused{0};
    std::vector<std::thread> abusers;
    // the abusers yield the processor to the page and the client: what is measured is the
    // work the client does for them, not the work they do themselves
    const auto niced = [](std::function<void()> work) {
        return [work = std::move(work)] {
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
            work();
        };
    };
    abusers.emplace_back(niced([&] { slow_clients(address, stop); }));
    abusers.emplace_back(niced([&] { flood(address, stop); }));
    abusers.emplace_back(niced([&] { oversize_and_garble(address, stop, unrefused); }));
    keep_draining(client, 6s);
    stop = true;
    for (auto& t : abusers) {
        t.join();
    }

    phase = Phase::After;
    keep_draining(client, 1s);
    // a page connecting now is served again once the abusers' connections are gone
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        try {
            Page fresh(address, "other");
            fresh.send(command(1, "get_version"));
            served = fresh.receive().value("id", 0) == 1;
        } catch (const std::exception&) {
            keep_draining(client, 100ms);
        }
    }
    EXPECT_TRUE(served);

    phase = Phase::Ending;
    client.signal(SIGTERM);
    const auto code = client.wait(30s);
    page_thread.join();
    stalls.stop();
    ASSERT_EQ(code, 0) << client.stderr_text();

    const auto quiet = page.quiet();
    const auto abuse = page.abuse();
    ASSERT_FALSE(quiet.empty());
    EXPECT_GT(abuse.size(), 100U) << "the page's commands stalled under the abuse";
    EXPECT_FALSE(page.after().empty());
    EXPECT_LE(ms(slowest(abuse, stalls)), ms(slowest(quiet, stalls) + kAllowedDelay))
        << "quiet " << quiet.size() << " round trips, slowest " << ms(slowest(quiet, stalls))
        << " ms; abused " << abuse.size() << ", slowest " << ms(slowest(abuse, stalls))
        << " ms; the machine stood still " << stalls.count() << " times";
    EXPECT_EQ(page.errors_received(), page.bad_sent());
    EXPECT_EQ(unrefused, 0);
}

}  // namespace
}  // namespace velmora::test
