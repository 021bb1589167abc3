// The per-torrent commands of the torrent list, on a running client and its loopback engine.
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_status.hpp>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client_rig.h"
#include "support/engine_fixtures.h"
#include "support/recording_desktop.h"
#include "support/recording_keep_awake.h"
#include "support/temp_dir.h"
#include "velmora/bridge/headless_ui_engine.h"
#include "velmora/config/advanced_settings_xml.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/host/app_paths.h"
#include "velmora/host/app_state.h"
#include "velmora/host/client.h"
#include "velmora/host/command_list.h"

namespace velmora::host {
namespace {

using bridge::UiArray;
using bridge::UiValue;
using test::eventually;

constexpr const char* kUnknownHash = "0123456789abcdef0123456789abcdef01234567";
constexpr const char* kTrackerA = "http://127.0.0.1:1/a/announce";
constexpr const char* kTrackerB = "http://127.0.0.1:1/b/announce";
constexpr const char* kTrackerC = "http://127.0.0.1:1/c/announce";
constexpr const char* kTrackerD = "http://127.0.0.1:1/d/announce";
constexpr const char* kWebSeed = "http://127.0.0.1:1/seed/";

// Every command that names a torrent, with its other arguments; the hash goes in at `hash_at`.
struct HashCommand {
    const char* name;
    std::size_t hash_at;
    UiArray others;
    UiValue usual;

    UiArray args(const UiValue& hash) const {
        UiArray all = others;
        all.insert(all.begin() + static_cast<std::ptrdiff_t>(hash_at), hash);
        return all;
    }
};

const std::vector<HashCommand>& hash_commands() {
    static const std::vector<HashCommand> commands = {
        {"do_pause_torrent", 0, {}, UiValue(false)},
        {"do_resume_torrent", 0, {}, UiValue(false)},
        {"do_recheck_torrent", 0, {}, UiValue(false)},
        {"set_torrent_trackers", 0, {UiValue(UiArray{UiValue(kTrackerB)})}, UiValue(true)},
        {"do_add_trackers", 0, {UiValue(kTrackerB)}, UiValue(true)},
        {"do_delete_trackers", 0, {UiValue(0)}, UiValue(true)},
        {"do_update_trackers", 0, {UiValue(0)}, UiValue(true)},
        {"do_scrape_trackers", 0, {UiValue(0)}, UiValue(true)},
        {"do_add_web_seed", 0, {UiValue("http://127.0.0.1:1/other/")}, UiValue(true)},
        {"do_delete_web_seed", 0, {UiValue(kWebSeed)}, UiValue(true)},
        {"do_add_peer_to_torrent",
         3,
         {UiValue("127.0.0.1"), UiValue(0), UiValue(1)},
         UiValue(true)},
        {"set_prioraty", 2, {UiValue(0), UiValue(0)}, UiValue(true)},
        {"rename_torrent_file", 0, {UiValue(0), UiValue("renamed.bin")}, UiValue(true)},
        {"set_sequential_download", 0, {UiValue(1)}, UiValue(true)},
        {"set_share_mode", 0, {UiValue(1)}, UiValue(true)},
        {"set_super_seeding", 0, {UiValue(1)}, UiValue(true)},
        {"set_upload_mode", 0, {UiValue(1)}, UiValue(true)},
        {"toggle_queue", 0, {UiValue(0)}, UiValue(true)},
        {"do_clear_error", 0, {}, UiValue(true)},
    };
    return commands;
}

// Everything the commands can change, as one comparable text.
std::string describe(const lt::torrent_handle& handle) {
    std::ostringstream out;
    out << "flags " << static_cast<std::uint64_t>(handle.flags()) << " queue "
        << static_cast<int>(handle.queue_position());
    for (const auto& tracker : handle.trackers()) {
        out << " tracker " << tracker.url;
    }
    for (const auto& url : handle.url_seeds()) {
        out << " url_seed " << url;
    }
    for (const auto priority : handle.get_file_priorities()) {
        out << " priority " << static_cast<int>(static_cast<std::uint8_t>(priority));
    }
    if (const auto info = handle.torrent_file()) {
        for (const auto file : info->files().file_range()) {
            out << " file " << info->files().file_path(file);
        }
    }
    out << " peers " << handle.status().num_peers;
    return out.str();
}

std::vector<std::string> tracker_urls(const lt::torrent_handle& handle) {
    std::vector<std::string> urls;
    for (const auto& tracker : handle.trackers()) {
        urls.push_back(tracker.url);
    }
    return urls;
}

std::vector<int> file_priorities(const lt::torrent_handle& handle) {
    std::vector<int> out;
    for (const auto priority : handle.get_file_priorities()) {
        out.push_back(static_cast<std::uint8_t>(priority));
    }
    return out;
}

// An HTTP tracker on loopback that records the path of every request. Announces get no peers
// and no minimum interval, so only a forced announce asks again soon.
class LoopbackTracker {
public:
    LoopbackTracker() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackTracker() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    LoopbackTracker(const LoopbackTracker&) = delete;
    LoopbackTracker& operator=(const LoopbackTracker&) = delete;

    std::string announce_url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/announce";
    }
    std::size_t requests_to(const std::string& path) const {
        const std::lock_guard lock(lock_);
        std::size_t n = 0;
        for (const auto& request : paths_) {
            n += request == path ? 1 : 0;
        }
        return n;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd waiting{listener_, POLLIN, 0};
            if (::poll(&waiting, 1, 50) <= 0) {
                continue;
            }
            const int peer = ::accept(listener_, nullptr, nullptr);
            if (peer >= 0) {
                answer(peer);
                ::close(peer);
            }
        }
    }

    void answer(int peer) {
        std::string request;
        char buffer[2048];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd readable{peer, POLLIN, 0};
            if (::poll(&readable, 1, 2000) <= 0) {
                return;
            }
            const ssize_t got = ::recv(peer, buffer, sizeof(buffer), 0);
            if (got <= 0) {
                return;
            }
            request.append(buffer, static_cast<std::size_t>(got));
        }
        // "GET /announce?info_hash=... HTTP/1.1"
        const std::size_t start = request.find(' ') + 1;
        const std::string path = request.substr(start, request.find_first_of("? ", start) - start);
        {
            const std::lock_guard lock(lock_);
            paths_.push_back(path);
        }
        const std::string body =
            path == "/announce" ? "d8:intervali1800e12:min intervali0e5:peers0:e" : "d5:filesdee";
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
        ::send(peer, reply.data(), reply.size(), MSG_NOSIGNAL);
    }

    int listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::vector<std::string> paths_;
    std::thread thread_;
};

class OperationsTest : public ClientRig {
protected:
    // Runs the body on the gui thread of a started client, which closes afterwards.
    void with_client(const std::function<void(Client&, lt::session&)>& body) {
        std::filesystem::create_directories(downloads());
        ClientRig::with_client(
            [&](Client& client) { body(client, client.engine_session().session()); });
    }

    UiValue command(std::string_view name, const UiArray& args) {
        const auto answer = ui.command(name, args);
        EXPECT_TRUE(answer.has_value()) << name;
        return answer.value_or(UiValue());
    }

    test::TestTorrent make_torrent(const std::string& name,
                                   const std::vector<test::TestFile>& files = {
                                       {"data.bin", 40000}}) {
        return test::make_test_torrent(dir / "content", name, files);
    }

    std::filesystem::path downloads() const { return dir / "downloads"; }

    // Not managed by the queue, so that nothing but the commands pauses or resumes it; over an
    // empty folder, so that it downloads.
    lt::torrent_handle add(lt::session& session,
                           const test::TestTorrent& torrent,
                           bool paused = true) {
        lt::add_torrent_params params;
        params.ti = torrent.info;
        params.save_path = downloads().string();
        params.flags &= ~lt::torrent_flags::auto_managed;
        if (paused) {
            params.flags |= lt::torrent_flags::paused;
        } else {
            params.flags &= ~lt::torrent_flags::paused;
        }
        return session.add_torrent(params);
    }

    std::vector<UiValue> tracker_events() const {
        std::vector<UiValue> args;
        for (const auto& event : ui.events_named("update_torrents_trackers")) {
            args.push_back(event.arg);
        }
        return args;
    }
};

bool downloading(const lt::torrent_handle& handle) {
    return handle.status().state == lt::torrent_status::downloading;
}

TEST_F(OperationsTest, PauseResumeAndRecheckActOnTheTorrentAndSayItWasFound) {
    const test::TestTorrent torrent = make_torrent("recheck");
    with_client([&](Client&, lt::session& session) {
        const lt::torrent_handle handle = add(session, torrent, false);
        ASSERT_TRUE(eventually([&] { return downloading(handle); }));
        const UiArray hash = {UiValue(torrent.hash)};

        EXPECT_EQ(command("do_pause_torrent", hash), UiValue(true));
        EXPECT_TRUE(eventually([&] { return bool(handle.flags() & lt::torrent_flags::paused); }));
        EXPECT_EQ(command("do_resume_torrent", hash), UiValue(true));
        EXPECT_TRUE(eventually([&] { return !(handle.flags() & lt::torrent_flags::paused); }));

        // the data appears behind the engine's back; only a recheck finds it
        std::filesystem::copy(torrent.content_parent / "recheck", downloads() / "recheck",
                              std::filesystem::copy_options::recursive);
        EXPECT_EQ(command("do_recheck_torrent", hash), UiValue(true));
        EXPECT_TRUE(eventually([&] { return handle.status().is_seeding; }));
    });
}

TEST_F(OperationsTest, ClearErrorForgetsTheTorrentsFileError) {
    const test::TestTorrent torrent = make_torrent("broken", {{"broken", 40000}});
    with_client([&](Client&, lt::session& session) {
        lt::add_torrent_params params = test::seeding_params(torrent);
        params.flags &= ~(lt::torrent_flags::auto_managed | lt::torrent_flags::paused);
        const lt::torrent_handle handle = session.add_torrent(params);
        ASSERT_TRUE(eventually([&] { return handle.status().is_seeding; }));
        // the content file becomes a folder, which the check cannot read
        std::filesystem::remove(torrent.content_parent / "broken");
        std::filesystem::create_directories(torrent.content_parent / "broken" / "inside");
        handle.force_recheck();
        ASSERT_TRUE(eventually([&] { return bool(handle.status().errc); }));

        EXPECT_EQ(command("do_clear_error", {UiValue(torrent.hash)}), UiValue(true));
        EXPECT_TRUE(eventually([&] { return !handle.status().errc; }));
    });
}

TEST_F(OperationsTest, CommandsForATorrentNotInTheSessionChangeNothing) {
    const test::TestTorrent torrent = make_torrent("files", {{"a.bin", 20000}, {"b.bin", 20000}});
    const test::TestTorrent other = make_torrent("other");
    std::string upper = torrent.hash;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    with_client([&](Client&, lt::session& session) {
        const lt::torrent_handle handle = add(session, torrent);
        add(session, other);
        handle.replace_trackers({lt::announce_entry(kTrackerA)});
        handle.add_url_seed(kWebSeed);
        const std::string before = describe(handle);
        // an unknown key, the right key in the wrong case, and no text at all
        for (const UiValue& hash : {UiValue(kUnknownHash), UiValue(upper), UiValue(7)}) {
            SCOPED_TRACE(hash.read_text());
            for (const HashCommand& c : hash_commands()) {
                EXPECT_EQ(command(c.name, c.args(hash)), c.usual) << c.name;
            }
        }
        EXPECT_EQ(describe(handle), before);
    });
}

TEST_F(OperationsTest, WithoutAnEngineEveryCommandAnswersItsUsualResult) {
    AppState state;
    config::ClientSettings settings;
    test::RecordingPage page;
    CommandContext ctx{state, paths, settings, desktop, page};
    const bridge::CommandTable table(command_list(ctx));
    for (const HashCommand& c : hash_commands()) {
        EXPECT_EQ(table.dispatch(c.name, c.args(UiValue(kUnknownHash))), c.usual) << c.name;
    }
    EXPECT_TRUE(page.events().empty());
}

TEST_F(OperationsTest, TrackerCommandsChangeTheListAndTellThePages) {
    struct Step {
        const char* command;
        UiValue argument;
        std::vector<std::string> trackers;
        bool always_told;  // else told only while the pages hear of changes only
    };
    const std::vector<Step> steps = {
        // items that are no URL are left out
        {"set_torrent_trackers",
         UiValue(UiArray{UiValue(kTrackerA), UiValue(kTrackerB), UiValue(5), UiValue(""),
                         UiValue(kTrackerC)}),
         {kTrackerA, kTrackerB, kTrackerC},
         false},
        {"do_add_trackers",
         UiValue(kTrackerD),
         {kTrackerA, kTrackerB, kTrackerC, kTrackerD},
         false},
        {"do_delete_trackers", UiValue(1), {kTrackerA, kTrackerC, kTrackerD}, true},
        // outside the list: nothing removed, the list still sent back
        {"do_delete_trackers", UiValue(3), {kTrackerA, kTrackerC, kTrackerD}, true},
        {"do_delete_trackers", UiValue(-1), {kTrackerA, kTrackerC, kTrackerD}, true},
        {"do_delete_trackers", UiValue("2"), {kTrackerC, kTrackerD}, true},  // text reads as 0
        {"set_torrent_trackers", UiValue("not a list"), {}, false},
    };
    const test::TestTorrent torrent = make_torrent("trackers");
    with_client([&](Client& client, lt::session& session) {
        const lt::torrent_handle handle = add(session, torrent);
        for (const bool only_changed : {true, false}) {
            SCOPED_TRACE(only_changed);
            client.settings().update_only_changed_torrents = only_changed;
            for (const Step& step : steps) {
                SCOPED_TRACE(step.command + (" " + step.argument.read_text()));
                const std::size_t told_before = tracker_events().size();
                EXPECT_EQ(command(step.command, {UiValue(torrent.hash), step.argument}),
                          UiValue(true));
                EXPECT_EQ(tracker_urls(handle), step.trackers);
                const std::vector<UiValue> told = tracker_events();
                const bool expect_told = step.always_told || only_changed;
                ASSERT_EQ(told.size(), told_before + (expect_told ? 1 : 0));
                if (expect_told) {
                    // the pages get the list as it is after the change
                    const UiArray& payload = told.back().as_array();
                    EXPECT_EQ(payload.at(0), UiValue(torrent.hash));
                    std::vector<std::string> names;
                    for (const UiValue& row : payload.at(1).as_array()) {
                        names.push_back(row.at_key("name").read_text());
                    }
                    EXPECT_EQ(names, step.trackers);
                }
            }
        }
    });
}

TEST_F(OperationsTest, UpdateAnnouncesAndScrapeAsksTheTracker) {
    LoopbackTracker tracker;
    const test::TestTorrent torrent = make_torrent("announced");
    with_client([&](Client&, lt::session& session) {
        // a scrape of a tracker on loopback is not an announce, which the engine refuses by
        // default as a request to a local service
        lt::settings_pack local_scrapes;
        local_scrapes.set_bool(lt::settings_pack::ssrf_mitigation, false);
        session.apply_settings(local_scrapes);
        const lt::torrent_handle handle = add(session, torrent, false);
        handle.replace_trackers({lt::announce_entry(tracker.announce_url())});
        ASSERT_TRUE(eventually([&] { return tracker.requests_to("/announce") >= 1; }));
        const std::size_t announces = tracker.requests_to("/announce");

        EXPECT_EQ(command("do_update_trackers", {UiValue(torrent.hash), UiValue(0)}),
                  UiValue(true));
        EXPECT_TRUE(eventually([&] { return tracker.requests_to("/announce") > announces; }));
        EXPECT_EQ(command("do_scrape_trackers", {UiValue(torrent.hash), UiValue(0)}),
                  UiValue(true));
        EXPECT_TRUE(eventually([&] { return tracker.requests_to("/scrape") == 1; }));
    });
}

TEST_F(OperationsTest, WebSeedsOfBothKindsAreAddedAndDeleted) {
    const std::string http_seed = "http://127.0.0.1:1/older-kind";
    const test::TestTorrent torrent = make_torrent("seeded");
    with_client([&](Client&, lt::session& session) {
        const lt::torrent_handle handle = add(session, torrent);
        handle.add_http_seed(http_seed);
        const UiValue hash(torrent.hash);

        EXPECT_EQ(command("do_add_web_seed", {hash, UiValue(kWebSeed)}), UiValue(true));
        EXPECT_EQ(handle.url_seeds(), std::set<std::string>{kWebSeed});
        EXPECT_EQ(command("do_delete_web_seed", {hash, UiValue(kWebSeed)}), UiValue(true));
        EXPECT_TRUE(handle.url_seeds().empty());
        EXPECT_EQ(command("do_delete_web_seed", {hash, UiValue(http_seed)}), UiValue(true));
        EXPECT_TRUE(handle.http_seeds().empty());
    });
}

TEST_F(OperationsTest, ModeCommandsSetOrClearTheirFlag) {
    struct Mode {
        const char* command;
        lt::torrent_flags_t flag;
    };
    const Mode modes[] = {
        {"set_sequential_download", lt::torrent_flags::sequential_download},
        {"set_share_mode", lt::torrent_flags::share_mode},
        {"set_super_seeding", lt::torrent_flags::super_seeding},
        {"set_upload_mode", lt::torrent_flags::upload_mode},
    };
    // yes is an integer other than 0; any other kind is no
    const std::pair<UiValue, bool> arguments[] = {
        {UiValue(1), true},    {UiValue(0), false},   {UiValue(-3), true},
        {UiValue("1"), false}, {UiValue(true), true},
    };
    const lt::torrent_flags_t all_modes =
        lt::torrent_flags::sequential_download | lt::torrent_flags::share_mode |
        lt::torrent_flags::super_seeding | lt::torrent_flags::upload_mode;
    const test::TestTorrent torrent = make_torrent("modes");
    with_client([&](Client&, lt::session& session) {
        const lt::torrent_handle handle = add(session, torrent);
        for (const Mode& mode : modes) {
            for (const auto& [argument, on] : arguments) {
                SCOPED_TRACE(std::string(mode.command) + " " + argument.read_text());
                EXPECT_EQ(command(mode.command, {UiValue(torrent.hash), argument}), UiValue(true));
                EXPECT_TRUE(eventually([&] { return bool(handle.flags() & mode.flag) == on; }));
            }
            // the other modes are left alone
            EXPECT_EQ(handle.flags() & all_modes & ~mode.flag, lt::torrent_flags_t{});
            handle.unset_flags(mode.flag);
        }
    });
}

TEST_F(OperationsTest, ToggleQueueMovesTheTorrentToTheTopOrTheBottom) {
    struct Move {
        std::size_t torrent;
        UiValue up;
        std::vector<int> positions;  // of the three torrents, after the move
    };
    const Move moves[] = {
        {2, UiValue(1), {1, 2, 0}},
        {0, UiValue(0), {2, 1, 0}},
        {1, UiValue(5), {2, 0, 1}},
        {1, UiValue("1"), {1, 2, 0}},  // a text is no
    };
    const std::vector<test::TestTorrent> torrents = {make_torrent("q0"), make_torrent("q1"),
                                                     make_torrent("q2")};
    with_client([&](Client&, lt::session& session) {
        std::vector<lt::torrent_handle> handles;
        for (const auto& torrent : torrents) {
            handles.push_back(add(session, torrent));
        }
        for (const Move& move : moves) {
            SCOPED_TRACE(torrents[move.torrent].hash + " " + move.up.read_text());
            EXPECT_EQ(command("toggle_queue", {UiValue(torrents[move.torrent].hash), move.up}),
                      UiValue(true));
            EXPECT_TRUE(eventually([&] {
                std::vector<int> positions;
                for (const auto& handle : handles) {
                    positions.push_back(static_cast<int>(handle.queue_position()));
                }
                return positions == move.positions;
            }));
        }
    });
}

TEST_F(OperationsTest, FileCommandsActOnlyOnFilesOfTheTorrent) {
    struct Priority {
        UiValue priority;
        UiValue index;
        std::vector<int> priorities;  // of both files, after the command
    };
    const Priority changes[] = {
        {UiValue(0), UiValue(1), {4, 0}},    {UiValue(7), UiValue(0), {7, 0}},
        {UiValue(9), UiValue(1), {7, 7}},   // above the engine's range: its highest
        {UiValue(-2), UiValue(0), {0, 7}},  // below: do not download
        {UiValue(true), UiValue(0), {1, 7}}, {UiValue(5), UiValue(2), {1, 7}},  // no such file
        {UiValue(5), UiValue(-1), {1, 7}},
    };
    const test::TestTorrent torrent = make_torrent("files", {{"a.bin", 20000}, {"b.bin", 20000}});
    with_client([&](Client&, lt::session& session) {
        const lt::torrent_handle handle = add(session, torrent);
        const UiValue hash(torrent.hash);
        for (const Priority& change : changes) {
            SCOPED_TRACE(change.priority.read_text() + " " + change.index.read_text());
            EXPECT_EQ(command("set_prioraty", {change.priority, change.index, hash}),
                      UiValue(true));
            EXPECT_TRUE(eventually([&] { return file_priorities(handle) == change.priorities; }));
        }

        const std::string first = torrent.info->files().file_path(lt::file_index_t{0});
        EXPECT_EQ(command("rename_torrent_file", {hash, UiValue(2), UiValue("files/none.bin")}),
                  UiValue(true));
        EXPECT_EQ(command("rename_torrent_file", {hash, UiValue(1), UiValue("files/renamed.bin")}),
                  UiValue(true));
        EXPECT_TRUE(eventually([&] {
            return handle.torrent_file()->files().file_path(lt::file_index_t{1}) ==
                   "files/renamed.bin";
        }));
        EXPECT_EQ(handle.torrent_file()->files().file_path(lt::file_index_t{0}), first);

        // a torrent still waiting for its metadata has no files to act on
        lt::add_torrent_params bare;
        bare.info_hashes = make_torrent("bare").info->info_hashes();
        bare.save_path = downloads().string();
        bare.flags |= lt::torrent_flags::paused;
        bare.flags &= ~lt::torrent_flags::auto_managed;
        const lt::torrent_handle waiting = session.add_torrent(bare);
        const UiValue bare_hash(engine::torrent_key(bare.info_hashes));
        EXPECT_EQ(command("set_prioraty", {UiValue(0), UiValue(0), bare_hash}), UiValue(true));
        EXPECT_EQ(command("rename_torrent_file", {bare_hash, UiValue(0), UiValue("x")}),
                  UiValue(true));
        EXPECT_TRUE(file_priorities(waiting).empty());
        EXPECT_EQ(waiting.torrent_file(), nullptr);
    });
}

TEST_F(OperationsTest, AddPeerConnectsOnlyToAWellFormedAddressAndPort) {
    const test::TestTorrent torrent = make_torrent("shared");
    const test::LoopbackSeeder seeder(torrent);
    ASSERT_TRUE(seeder.ready());
    const std::string peer = seeder.peer();
    const std::int32_t port = std::stoi(peer.substr(peer.rfind(':') + 1));
    with_client([&](Client&, lt::session& session) {
        const lt::torrent_handle handle = add(session, torrent, false);
        ASSERT_TRUE(eventually([&] { return downloading(handle); }));
        const UiValue hash(torrent.hash);
        const UiArray refused[] = {
            {UiValue("127.0.0.1:x"), UiValue(0), UiValue(port), hash},
            {UiValue("localhost"), UiValue(0), UiValue(port), hash},
            {UiValue("127.0.0.1"), UiValue(0), UiValue(0), hash},
            // would reach the seeder if cut to 16 bits
            {UiValue("127.0.0.1"), UiValue(0), UiValue(port + 65536), hash},
            {UiValue("127.0.0.1"), UiValue(0), UiValue(port - 65536), hash},
        };
        for (const UiArray& args : refused) {
            EXPECT_EQ(command("do_add_peer_to_torrent", args), UiValue(true));
        }
        // none of them reaches the seeder
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(handle.status().total_payload_download, 0);

        EXPECT_EQ(command("do_add_peer_to_torrent",
                          {UiValue("127.0.0.1"), UiValue(99), UiValue(port), hash}),
                  UiValue(true));
        // the seeder is the only source of the data
        EXPECT_TRUE(eventually([&] { return handle.status().is_seeding; }));
    });
}

}  // namespace
}  // namespace velmora::host
