// The page channel of the web UI engine, driven directly (no whole client): command round
// trips from a connected page, and one tick's update_torrent events for 10,000 torrents raised
// through the event channel as the tick thread raises them. Beside each, the same traffic over
// a bare Beast WebSocket on loopback, the floor of the transport.
// Prints ROW lines (medians of $RUNS runs, default 3) on stdout; the rest goes to stderr.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <libtorrent/announce_entry.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/gui_marshal.h"
#include "velmora/bridge/ui_engine.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/bridge/wire_protocol.h"
#include "velmora/engine/status_reports.h"
#include "velmora/platform/linux/web/web_ui_engine.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using velmora::bridge::UiArray;
using velmora::bridge::UiValue;

constexpr int kRoundTrips = 20000;
constexpr int kTorrents = 10000;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) / 2];
}

// The page side: a blocking WebSocket client.
class PageClient {
public:
    PageClient(std::uint16_t port, const std::string& target) : ws_(io_) {
        ws_.next_layer().connect({net::ip::address_v4::loopback(), port});
        ws_.next_layer().set_option(tcp::no_delay(true));
        ws_.read_message_max(64U * 1024U * 1024U);
        ws_.handshake("127.0.0.1:" + std::to_string(port), target);
        ws_.text(true);
    }
    void send(const std::string& text) { ws_.write(net::buffer(text)); }
    // The next message, parsed as the page's script would (round trips: one per frame).
    Json receive() {
        buffer_.clear();
        ws_.read(buffer_);
        const auto data = buffer_.data();
        return Json::parse(static_cast<const char*>(data.data()),
                           static_cast<const char*>(data.data()) + data.size());
    }

    // The calls of the next frame, one or a batch, found the way a page's parser would find
    // them but without building their arguments: the tick's figure is the client's delivery,
    // not this page's JSON parser.
    struct Call {
        std::int64_t id = 0;
        bool is_update = false;
    };
    std::vector<Call> receive_calls() {
        buffer_.clear();
        ws_.read(buffer_);
        const auto data = buffer_.data();
        const std::string_view text(static_cast<const char*>(data.data()), data.size());
        constexpr std::string_view kHead = R"({"t":"call","id":)";
        constexpr std::string_view kUpdate = R"("fn":"update_torrent")";
        std::vector<Call> calls;
        for (std::size_t at = text.find(kHead); at != std::string_view::npos;
             at = text.find(kHead, at + 1)) {
            Call call;
            std::size_t end = at + kHead.size();
            std::from_chars(text.data() + end, text.data() + text.size(), call.id);
            end = text.find(',', end);
            call.is_update = end != std::string_view::npos &&
                             text.compare(end + 1, kUpdate.size(), kUpdate) == 0;
            calls.push_back(call);
        }
        return calls;
    }

private:
    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
    beast::flat_buffer buffer_;
};

// The floor: a bare Beast server, one thread per connection. "/echo" sends every message
// back; "/push" answers its first message with every text of `pushed`, back to back.
class BareServer {
public:
    explicit BareServer(const std::vector<std::string>& pushed)
        : pushed_(pushed), acceptor_(io_, {net::ip::address_v4::loopback(), 0}) {
        thread_ = std::thread([this] { accept_loop(); });
    }
    ~BareServer() {
        stopping_ = true;
        beast::error_code ignored;
        tcp::socket wake(io_);
        wake.connect(acceptor_.local_endpoint(), ignored);
        thread_.join();
        for (auto& t : sessions_) {
            t.join();
        }
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

private:
    void accept_loop() {
        while (true) {
            tcp::socket socket(io_);
            beast::error_code ec;
            acceptor_.accept(socket, ec);
            if (stopping_) {
                return;
            }
            if (!ec) {
                sessions_.emplace_back(
                    [this, s = std::move(socket)]() mutable { serve(std::move(s)); });
            }
        }
    }
    void serve(tcp::socket socket) {
        socket.set_option(tcp::no_delay(true));
        websocket::stream<tcp::socket> ws(std::move(socket));
        websocket::request_type upgrade;
        beast::flat_buffer buffer;
        beast::error_code ec;
        beast::http::read(ws.next_layer(), buffer, upgrade, ec);
        if (ec) {
            return;
        }
        const bool push = upgrade.target() == "/push";
        ws.accept(upgrade, ec);
        ws.text(true);
        buffer.clear();
        while (!ec) {
            ws.read(buffer, ec);
            if (ec) {
                break;
            }
            if (push) {
                for (const auto& text : pushed_) {
                    ws.write(net::buffer(text), ec);
                }
            } else {
                ws.write(buffer.data(), ec);
            }
            buffer.clear();
        }
    }

    const std::vector<std::string>& pushed_;
    net::io_context io_;
    tcp::acceptor acceptor_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::vector<std::thread> sessions_;
};

// The client's getter of its version, as the page reads it: cheap and answered at once.
class GetterHost final : public velmora::bridge::UiEngineHost {
public:
    std::optional<UiValue> dispatch_command(std::string_view name,
                                            std::span<const UiValue> /*args*/) override {
        if (name != "get_version") {
            return std::nullopt;
        }
        UiArray version{"2960", "D1627B42-272F-4E8F-AAF2-3301C747C2F2"};
        version.resize(12, "");
        version.emplace_back(" (x64) 2.9.6.0");
        return version;
    }
    void on_main_page_connected() override {}
    void on_main_window_closed() override {}
};

// One torrent of a busy tick: downloading, a few files, peers and trackers.
UiArray torrent_payload(std::mt19937& random, int index) {
    lt::torrent_status status;
    lt::sha1_hash hash;
    for (auto& byte : hash) {
        byte = static_cast<char>(random());
    }
    status.info_hashes = lt::info_hash_t(hash);
    status.state = lt::torrent_status::downloading;
    status.num_seeds = 3;
    status.num_peers = 7;
    status.list_seeds = 40;
    status.list_peers = 120;
    status.queue_position = lt::queue_position_t(index);
    status.last_seen_complete = 1765000000 + index;
    status.all_time_upload = 1234567890LL + index;
    status.all_time_download = 9876543210LL + index;
    status.progress_ppm = 456789;
    status.upload_payload_rate = 123456;
    status.download_payload_rate = 2345678;
    status.total_wanted = 4LL << 30;
    status.total_wanted_done = 1LL << 30;
    const std::vector<std::int64_t> file_progress{123456789, 0, 4567, 1LL << 30};

    std::vector<lt::peer_info> peers(5);
    for (std::size_t i = 0; i < peers.size(); ++i) {
        auto& peer = peers[i];
        peer.ip = {lt::make_address("127.0.0." + std::to_string(i + 2)),
                   static_cast<std::uint16_t>(6881 + i)};
        peer.client = "Velmora 2.9.6";
        peer.progress_ppm = 250000 * static_cast<int>(i);
        peer.up_speed = 1000 * static_cast<int>(i);
        peer.down_speed = 50000 * static_cast<int>(i);
        peer.total_upload = 1LL << (20 + i);
        peer.total_download = 1LL << (24 + i);
    }
    std::vector<lt::announce_entry> trackers;
    for (const char* url : {"http://127.0.0.1:6969/announce", "udp://127.0.0.1:6969"}) {
        lt::announce_entry tracker(url);
        lt::announce_endpoint endpoint;
        auto& state = endpoint.info_hashes[lt::protocol_version::V1];
        state.next_announce = lt::time_point32(std::chrono::duration_cast<lt::seconds32>(
            (lt::clock_type::now() + std::chrono::minutes(25)).time_since_epoch()));
        state.start_sent = true;
        state.scrape_complete = 40;
        state.scrape_incomplete = 120;
        state.message = "";
        tracker.endpoints.push_back(endpoint);
        trackers.push_back(std::move(tracker));
    }
    const auto country = [](const lt::address&) { return std::string("XX"); };
    return {velmora::engine::status_map(status, file_progress),
            velmora::engine::peers_array(peers, country),
            velmora::engine::trackers_array(trackers, lt::clock_type::now())};
}

class Bench {
public:
    Bench() : payloads_(make_payloads()) {
        velmora::platform::WebUiOptions options;
        options.open_window = false;
        options.store_folder = folder_;
        options.temp_folder = folder_;
        options.archive_lookup = [](std::string_view) -> std::optional<std::string> {
            return std::nullopt;
        };
        std::filesystem::create_directories(folder_);
        // the engine prints its address; stdout carries only the rows
        std::fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        const bool started = engine_.start(host_, loop_);
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        if (!started) {
            std::fprintf(stderr, "page_channel_bench: the web UI engine did not start\n");
            std::exit(1);
        }
        const std::string url = engine_.page_url();
        token_ = url.substr(url.find("token=") + 6);
        for (const auto& payload : payloads_) {
            pushed_.push_back(velmora::bridge::encode_call(
                next_reference_id_++, velmora::bridge::event::kUpdateTorrent, payload));
        }
    }
    ~Bench() {
        engine_.stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // Round trips per second of a cheap command from the main page.
    double engine_round_trips() {
        double rate = 0;
        on_page_thread([&] {
            PageClient page(engine_.port(), "/ws?role=other&token=" + token_);
            const auto start = Clock::now();
            for (int id = 1; id <= kRoundTrips; ++id) {
                page.send(
                    Json{{"t", "cmd"}, {"id", id}, {"name", "get_version"}, {"args", {}}}.dump());
                if (page.receive()["id"] != id) {
                    std::fprintf(stderr, "page_channel_bench: an answer went astray\n");
                    std::exit(1);
                }
            }
            rate = kRoundTrips / seconds_since(start);
        });
        return rate;
    }

    double bare_round_trips() {
        BareServer server(pushed_);
        PageClient page(server.port(), "/echo");
        const auto start = Clock::now();
        for (int id = 1; id <= kRoundTrips; ++id) {
            page.send(Json{{"t", "cmd"}, {"id", id}, {"name", "get_version"}, {"args", {}}}.dump());
            if (page.receive()["id"] != id) {
                std::exit(1);
            }
        }
        return kRoundTrips / seconds_since(start);
    }

    // Milliseconds from the first update_torrent handed to the event channel on a tick thread
    // to the last one found by the main page, which answers them as the pages do: the calls of
    // a frame in one frame. `waited`: each event raised as a call whose answer the tick waits
    // for, as before ui_post.
    double engine_tick_ms(bool waited) {
        std::atomic<bool> connected{false};
        std::atomic<bool> done{false};
        Clock::time_point first_handed;
        Clock::time_point last_parsed;
        std::thread page_thread([&] {
            PageClient page(engine_.port(), "/ws?role=main&batch=1&token=" + token_);
            connected = true;
            loop_.wake();
            int seen = 0;
            while (seen < kTorrents) {
                std::string replies;
                std::size_t count = 0;
                for (const PageClient::Call& call : page.receive_calls()) {
                    if (call.is_update) {
                        ++seen;
                        last_parsed = Clock::now();
                    }
                    replies += count++ == 0 ? "" : ",";
                    replies +=
                        R"({"t":"reply","id":)" + std::to_string(call.id) + R"(,"value":null})";
                }
                if (count > 1) {
                    replies = R"({"t":"batch","m":[)" + replies + "]}";
                }
                if (count > 0) {
                    page.send(replies);
                }
            }
            done = true;
            loop_.wake();
        });
        loop_.run_until([&] { return connected.load(); });
        if (!engine_.wait_for_main_page(std::chrono::seconds(10))) {
            std::fprintf(stderr, "page_channel_bench: the main page did not connect\n");
            std::exit(1);
        }
        const std::atomic<bool> exiting{false};
        velmora::bridge::EventChannel events(loop_, engine_, exiting);
        // the tick builds each payload and hands it over; building is its own work, not delivery
        std::vector<UiValue> payloads = payloads_;
        std::thread tick([&] {
            first_handed = Clock::now();
            for (auto& payload : payloads) {
                if (waited) {
                    events.ui_call(velmora::bridge::event::kUpdateTorrent, payload);
                } else {
                    events.ui_post(velmora::bridge::event::kUpdateTorrent, std::move(payload));
                }
            }
        });
        loop_.run_until([&] { return done.load(); });
        tick.join();
        page_thread.join();
        return std::chrono::duration<double, std::milli>(last_parsed - first_handed).count();
    }

    double bare_tick_ms() {
        BareServer server(pushed_);
        PageClient page(server.port(), "/push");
        const auto start = Clock::now();
        page.send("{}");
        for (int seen = 0; seen < kTorrents;) {
            seen += static_cast<int>(page.receive_calls().size());
        }
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }

    std::size_t payload_bytes() const {
        std::size_t bytes = 0;
        for (const auto& text : pushed_) {
            bytes += text.size();
        }
        return bytes;
    }

private:
    static std::vector<UiValue> make_payloads() {
        std::mt19937 random(7);
        std::vector<UiValue> out;
        out.reserve(kTorrents);
        for (int i = 0; i < kTorrents; ++i) {
            out.emplace_back(torrent_payload(random, i));
        }
        return out;
    }

    // Runs `work` on a page thread while this, the gui thread, runs the loop.
    void on_page_thread(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::thread page([&] {
            work();
            done = true;
            loop_.wake();
        });
        loop_.run_until([&] { return done.load(); });
        page.join();
    }

    std::filesystem::path folder_ =
        std::filesystem::temp_directory_path() / ("page-channel-bench-" + std::to_string(getpid()));
    std::vector<UiValue> payloads_;
    std::vector<std::string> pushed_;
    std::int64_t next_reference_id_ = 1;
    velmora::bridge::GuiLoop loop_;
    GetterHost host_;
    velmora::platform::WebUiEngine engine_{{}};
    std::string token_;
};

}  // namespace

int main() {
    const char* runs_text = std::getenv("RUNS");
    const int runs = std::max(1, runs_text != nullptr ? std::atoi(runs_text) : 3);
    Bench bench;
    std::fprintf(stderr, "page_channel_bench: %d update_torrent messages, %zu bytes in all\n",
                 kTorrents, bench.payload_bytes());
    std::vector<double> ours_rate, bare_rate, ours_tick, bare_tick, waited_tick;
    for (int run = 0; run < runs; ++run) {
        ours_rate.push_back(bench.engine_round_trips());
        bare_rate.push_back(bench.bare_round_trips());
        ours_tick.push_back(bench.engine_tick_ms(false));
        bare_tick.push_back(bench.bare_tick_ms());
        waited_tick.push_back(bench.engine_tick_ms(true));
        std::fprintf(stderr,
                     "page_channel_bench: run %d: %.0f vs %.0f round trips/s; tick %.1f ms "
                     "(%.1f ms waiting for each event) vs %.1f ms\n",
                     run + 1, ours_rate.back(), bare_rate.back(), ours_tick.back(),
                     waited_tick.back(), bare_tick.back());
    }
    std::printf(
        "ROW\tcommand round trips, page to client and back (round trips/s, higher)\t%.0f"
        "\t%.0f\t-\tbare Beast WebSocket echo on loopback\n",
        median(ours_rate), median(bare_rate));
    std::printf(
        "ROW\tone tick of update_torrent, 10,000 torrents, to the page (ms, lower)\t%.1f"
        "\t%.1f\t< 100 ms\tbare Beast WebSocket, the same messages back to back\n",
        median(ours_tick), median(bare_tick));
    return 0;
}
