// The engine session and the alert pump on real loopback sessions.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/session.hpp>

#include "support/engine_fixtures.h"
#include "support/recording_keep_awake.h"
#include "support/temp_dir.h"
#include "velmora/engine/alert_pump.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/session_settings.h"
#include "velmora/engine/status_reporter.h"
#include "velmora/engine/tracker_prefetch.h"

namespace velmora::engine {
namespace {

using bridge::UiValue;
using test::RecordingPage;

// Records what the lifecycle would be handed; can be told to throw once.
struct RecordingHandoff final : AlertHandoff {
    std::atomic<int> added{0};
    std::atomic<int> removed{0};
    std::atomic<bool> throw_on_add{false};
    std::vector<std::string> steps;  // the adds' two steps and the removals, in their order
    void start_adds(std::span<const lt::add_torrent_alert* const> alerts, const Failed&) override {
        steps.push_back("start " + std::to_string(alerts.size()));
    }
    void announce_add(const lt::add_torrent_alert& alert, const Failed& failed) override {
        steps.push_back("announce " + alert.params.name);
        ++added;
        if (throw_on_add.exchange(false)) {
            failed(std::runtime_error("add handler broke"));
        }
    }
    void on_metadata_received(const lt::metadata_received_alert&) override {}
    void on_save_resume_data(const lt::save_resume_data_alert&) override {}
    void on_save_resume_data_failed(const lt::save_resume_data_failed_alert&) override {}
    void on_torrent_removed(const lt::torrent_removed_alert&) override {
        steps.push_back("removed");
        ++removed;
    }
};

class EngineTest : public ::testing::Test {
protected:
    EngineTest() {
        status =
            std::make_unique<StatusReporter>(settings, running, page, nullptr, keep_awake, jobs);
    }

    void start(bool loopback_only = true) {
        engine = std::make_unique<EngineSession>(settings, dir / "logs", page, loopback_only);
        std::filesystem::create_directories(dir / "logs");
        engine->start();
        status =
            std::make_unique<StatusReporter>(settings, running, page, nullptr, keep_awake, jobs);
        pump = std::make_unique<AlertPump>(*engine, settings, running, flags, *status, handoff,
                                           page, nullptr);
    }

    // Ticks until the condition holds, as the timer would.
    bool tick_until(const std::function<bool()>& condition) {
        return test::eventually([&] {
            pump->tick();
            return condition();
        });
    }

    test::TempDir dir;
    config::ClientSettings settings = test::loopback_client_settings();
    std::atomic<bool> running{true};
    RecordingPage page;
    test::RecordingKeepAwake keep_awake;
    JobQueueHooks jobs;
    EngineFlags flags;
    RecordingHandoff handoff;
    std::unique_ptr<EngineSession> engine;
    std::unique_ptr<StatusReporter> status;
    std::unique_ptr<AlertPump> pump;
};

TEST_F(EngineTest, StartPublishesThePortsTheSystemChose) {
    settings.port_type = 2;
    start();
    const auto ports = page.args_of("set_port_variable");
    ASSERT_EQ(ports.size(), 1U);
    const auto& pair = ports[0].as_array();
    EXPECT_GT(pair[0].as_int(), 0);
    EXPECT_EQ(pair[0].as_int(), settings.port);
    EXPECT_EQ(pair[0].as_int(), engine->session().listen_port());
    EXPECT_EQ(pair[1].as_int(), settings.ssl_port);
}

TEST_F(EngineTest, LoopbackGuardOverridesTheStoredDiscoveryOptions) {
    config::ClientSettings defaults;  // DHT, LSD, UPnP and NAT-PMP on, public routers
    defaults.port_type = 2;
    settings = defaults;
    start(true);
    const lt::settings_pack live = engine->session().get_settings();
    using sp = lt::settings_pack;
    EXPECT_FALSE(live.get_bool(sp::enable_dht));
    EXPECT_FALSE(live.get_bool(sp::enable_lsd));
    EXPECT_FALSE(live.get_bool(sp::enable_upnp));
    EXPECT_FALSE(live.get_bool(sp::enable_natpmp));
    EXPECT_EQ(live.get_str(sp::dht_bootstrap_nodes), "");
    EXPECT_EQ(live.get_str(sp::listen_interfaces).find("0.0.0.0"), std::string::npos);
    EXPECT_TRUE(settings.use_dht);  // the option itself is kept
    const lt::ip_filter filter = engine->session().get_ip_filter();
    EXPECT_EQ(filter.access(lt::make_address("127.0.0.1")), 0U);
    EXPECT_EQ(filter.access(lt::make_address("::1")), 0U);
    EXPECT_NE(filter.access(lt::make_address("192.0.2.1")), 0U);  // documentation range
    EXPECT_NE(filter.access(lt::make_address("2001:db8::1")), 0U);
}

TEST_F(EngineTest, StatisticPositionsAreAllFound) {
    start();
    for (const int position : engine->metric_positions()) {
        EXPECT_GE(position, 0);
    }
}

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Which log files a start leaves in the log folder, and the form of their lines.
TEST_F(EngineTest, TheLogSettingsDecideWhichLogFilesExist) {
    const std::vector<std::string> all_files{"velmora_session.log", "velmora_torrent.log",
                                             "velmora_peer.log", "velmora_dht.log",
                                             "velmora_asserts.log"};
    struct Case {
        const char* name;
        bool session, dht, delete_logs, files_before;
        std::vector<std::string> files_after;
        int queue_size;
    };
    const Case cases[] = {
        {"no logs", false, false, false, false, {}, 5000},
        {"session and dht",
         true,
         true,
         false,
         false,
         {"velmora_dht.log", "velmora_session.log"},
         11000},
        {"old files deleted, none made", false, false, true, true, {}, 5000},
        {"old files kept and appended to", true, false, false, true, all_files, 8000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir case_dir;
        const auto logs = case_dir / "logs";
        std::filesystem::create_directories(logs);
        if (c.files_before) {
            for (const auto& name : all_files) {
                std::ofstream(logs / name) << "an earlier run\n";
            }
        }
        config::ClientSettings case_settings = settings;
        case_settings.session_log = c.session;
        case_settings.dht_log = c.dht;
        case_settings.delete_logs = c.delete_logs;
        auto case_engine = std::make_unique<EngineSession>(case_settings, logs, page, true);
        case_engine->start();
        EXPECT_EQ(
            case_engine->session().get_settings().get_int(lt::settings_pack::alert_queue_size),
            c.queue_size);
        case_engine->write_log(LogCategory::Session, "a line of the session log");
        case_engine->write_log(LogCategory::Peer, "no peer log is open");
        case_engine.reset();  // the loggers write out what they hold as they close

        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(logs)) {
            found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> expected = c.files_after;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(found, expected);
        if (c.session) {
            const std::string text = read_text(logs / "velmora_session.log");
            EXPECT_EQ(text.rfind(c.files_before ? "an earlier run\n[" : "[", 0), 0U) << text;
            EXPECT_TRUE(std::regex_search(
                text, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )"
                                 R"(\[session\] \[info\] a line of the session log\n)")))
                << text;
        }
    }
}

// A burst of answers (a restore, a bulk save) needs a queue that holds them all: the engine
// drops what does not fit. The room grows with the burst and never shrinks below the settings'.
TEST_F(EngineTest, AlertRoomGrowsWithTheBurstAndNeverShrinks) {
    start();
    auto queue = [&] {
        return engine->session().get_settings().get_int(lt::settings_pack::alert_queue_size);
    };
    const int configured = queue();
    make_alert_room(engine->session(), 0);
    EXPECT_EQ(queue(), configured);
    make_alert_room(engine->session(), 50000);
    EXPECT_GE(queue(), 50000 + configured);
    const int raised = queue();
    make_alert_room(engine->session(), 20000);
    EXPECT_EQ(queue(), raised);
}

TEST_F(EngineTest, PumpRaisesTheStatusBarAndHandsAddsOnward) {
    start();
    const auto torrent = test::make_test_torrent(dir.path(), "data.bin", {{"data.bin", 40000}});
    engine->session().async_add_torrent(test::seeding_params(torrent));
    ASSERT_TRUE(tick_until([&] { return handoff.added == 1 && page.count("do_statusbar") > 0; }));
    const UiValue bar = page.args_of("do_statusbar").front();
    EXPECT_TRUE(bar.at_key("peers").is_int());
    EXPECT_TRUE(bar.at_key("uploaded").is_string());
    EXPECT_GT(keep_awake.calls, 0);
}

// All adds of a popped batch are started together, but a torrent added again after its removal
// is started only once its removal was handed on.
TEST_F(EngineTest, AddsOfABatchAreStartedTogetherUpToARemoval) {
    start();
    const auto first = test::make_test_torrent(dir.path(), "first.bin", {{"first.bin", 1000}});
    const auto second = test::make_test_torrent(dir.path(), "second.bin", {{"second.bin", 1000}});
    const auto named = [](const test::TestTorrent& torrent, const char* name) {
        lt::add_torrent_params params = test::seeding_params(torrent);
        params.name = name;
        return params;
    };
    lt::session& session = engine->session();
    session.remove_torrent(session.add_torrent(named(first, "a")));
    session.add_torrent(named(first, "a again"));
    session.add_torrent(named(second, "b"));
    ASSERT_TRUE(tick_until([&] { return handoff.added == 3; }));
    EXPECT_EQ(handoff.steps,
              (std::vector<std::string>{"start 1", "announce a", "removed", "start 2",
                                        "announce a again", "announce b"}));
}

// A restore's first batch holds thousands of adds: the page sees the first of them while the
// pump starts the rest, and every add is announced once, in its order.
TEST_F(EngineTest, AManyAddBatchIsStartedAGroupAtATime) {
    start();
    constexpr int kAdds = 1500;
    lt::session& session = engine->session();
    make_alert_room(session, kAdds);
    std::vector<std::string> expected{"start 1024"};
    for (int i = 0; i < kAdds; ++i) {
        lt::add_torrent_params params;
        lt::sha1_hash hash;  // never all zero: that is no hash at all
        hash[0] = static_cast<char>(i & 0xFF);
        hash[1] = static_cast<char>(i >> 8);
        hash[2] = 1;
        params.info_hashes = lt::info_hash_t(hash);
        params.name = std::to_string(i);
        params.save_path = dir.path().string();
        params.flags = lt::torrent_flags::paused;
        session.add_torrent(std::move(params));  // all of them wait for the first pass
        if (i == 1024) {
            expected.push_back("start " + std::to_string(kAdds - 1024));
        }
        expected.push_back("announce " + std::to_string(i));
    }
    ASSERT_TRUE(tick_until([&] { return handoff.added == kAdds; }));
    EXPECT_EQ(handoff.steps, expected);
}

// The engine's thread reads a torrent's trackers as it announces the add and each status
// update; a list is handed out once, also after the torrent has left the session, and a
// refused add keeps none.
TEST_F(EngineTest, TrackersAreReadAheadForAddsAndStatusUpdates) {
    start();
    lt::session& session = engine->session();
    TrackerPrefetch& kept = engine->tracker_prefetch();
    const auto urls = [](const std::optional<std::vector<lt::announce_entry>>& list) {
        std::vector<std::string> out;
        for (const lt::announce_entry& entry : list.value_or(std::vector<lt::announce_entry>{})) {
            out.push_back(entry.url);
        }
        return out;
    };
    const auto first = test::make_test_torrent(dir.path(), "first.bin", {{"first.bin", 1000}});
    const auto second = test::make_test_torrent(dir.path(), "second.bin", {{"second.bin", 1000}});
    lt::add_torrent_params params = test::seeding_params(first);
    params.trackers = {"http://127.0.0.1:7/a", "http://127.0.0.1:7/b"};
    const lt::torrent_handle kept_one = session.add_torrent(params);
    lt::add_torrent_params other = test::seeding_params(second);
    other.trackers = {"http://127.0.0.1:7/c"};
    const lt::torrent_handle removed = session.add_torrent(other);
    params.flags |= lt::torrent_flags::duplicate_is_error;
    lt::error_code refused;
    session.add_torrent(params, refused);
    ASSERT_TRUE(refused);

    const std::vector<std::string> kept_urls{"http://127.0.0.1:7/a", "http://127.0.0.1:7/b"};
    EXPECT_EQ(urls(kept.take_added(kept_one)), kept_urls);
    EXPECT_FALSE(kept.take_added(kept_one));    // neither the second take nor the refused add
    EXPECT_FALSE(kept.take_updated(kept_one));  // no update was announced yet

    session.post_torrent_updates();
    ASSERT_TRUE(test::eventually([&] {
        std::vector<lt::alert*> alerts;
        session.pop_alerts(&alerts);
        return std::any_of(alerts.begin(), alerts.end(), [](const lt::alert* alert) {
            return alert->type() == lt::state_update_alert::alert_type;
        });
    }));
    EXPECT_EQ(urls(kept.take_updated(kept_one)), kept_urls);
    EXPECT_FALSE(kept.take_updated(kept_one));

    session.remove_torrent(removed);
    ASSERT_TRUE(test::eventually([&] { return !removed.is_valid(); }));
    EXPECT_EQ(urls(kept.take_added(removed)), (std::vector<std::string>{"http://127.0.0.1:7/c"}));
}

// One engine call reads the statuses and the tracker lists of the listed torrents, in the
// list's order; a torrent listed twice is read twice, one that has left the session not at all.
TEST_F(EngineTest, StatusesAndTrackersAreReadTogetherInTheListsOrder) {
    start();
    lt::session& session = engine->session();
    const auto add = [&](const char* name, std::vector<std::string> trackers) {
        const auto torrent = test::make_test_torrent(dir.path(), name, {{name, 1000}});
        lt::add_torrent_params params = test::seeding_params(torrent);
        params.trackers = std::move(trackers);
        return session.add_torrent(params);
    };
    const lt::torrent_handle first = add("first.bin", {"http://127.0.0.1:7/a"});
    const lt::torrent_handle second =
        add("second.bin", {"http://127.0.0.1:7/b", "http://127.0.0.1:7/c"});
    const lt::torrent_handle gone = add("gone.bin", {"http://127.0.0.1:7/d"});
    session.remove_torrent(gone);
    ASSERT_TRUE(test::eventually([&] { return !gone.is_valid(); }));

    const std::vector<lt::torrent_handle> listed{second, gone, first, second};
    const StatusesAndTrackers read =
        read_statuses_and_trackers(session, listed, lt::torrent_handle::query_name);
    ASSERT_EQ(read.statuses.size(), 4U);
    ASSERT_EQ(read.trackers.size(), 4U);
    const std::vector<std::string> names{"second.bin", "", "first.bin", "second.bin"};
    const std::vector<std::vector<std::string>> urls{
        {"http://127.0.0.1:7/b", "http://127.0.0.1:7/c"},
        {},
        {"http://127.0.0.1:7/a"},
        {"http://127.0.0.1:7/b", "http://127.0.0.1:7/c"}};
    for (std::size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(read.statuses[i].name, names[i]) << i;
        EXPECT_EQ(status_was_read(read.statuses[i]), !names[i].empty()) << i;
        std::vector<std::string> read_urls;
        for (const lt::announce_entry& entry : read.trackers[i]) {
            read_urls.push_back(entry.url);
        }
        EXPECT_EQ(read_urls, urls[i]) << i;
    }
    EXPECT_FALSE(read.statuses[1].handle.is_valid());
}

TEST_F(EngineTest, ChangedTorrentsGetAnUpdateEachTick) {
    start();
    const auto torrent = test::make_test_torrent(dir.path(), "data.bin", {{"data.bin", 40000}});
    engine->session().add_torrent(test::seeding_params(torrent));
    ASSERT_TRUE(tick_until([&] { return page.count("update_torrent") > 0; }));
    const UiValue last = page.args_of("update_torrent").back();
    const auto& update = last.as_array();
    ASSERT_EQ(update.size(), 3U);
    EXPECT_EQ(update[0].at_key("hash"), UiValue(torrent.hash));
}

// The tick reads a whole or an untouched torrent's file progress off its status instead of
// asking the engine: the figures must be the engine's own, in both reporting modes.
TEST_F(EngineTest, FileProgressOfWholeAndUntouchedTorrentsIsTheEngines) {
    const std::vector<test::TestFile> files{{"a.bin", 40000}, {"b.bin", 0}, {"c/d.bin", 20000}};
    for (const bool only_changed : {true, false}) {
        SCOPED_TRACE(only_changed ? "changed only" : "all reported");
        settings.update_only_changed_torrents = only_changed;
        start();
        const auto whole = test::make_test_torrent(dir / "whole", "pack", files);
        const auto untouched = test::make_test_torrent(dir / "other", "other", files);
        engine->session().add_torrent(test::seeding_params(whole));
        lt::add_torrent_params empty = test::seeding_params(untouched);
        empty.save_path = (dir / "empty").string();
        engine->session().add_torrent(empty);
        status->add_status(engine->session().find_torrent(whole.info->info_hash()).status());
        status->add_status(engine->session().find_torrent(untouched.info->info_hash()).status());

        const auto last_update = [&](const std::string& hash) -> std::optional<UiValue> {
            std::optional<UiValue> found;
            for (const UiValue& update : page.args_of("update_torrent")) {
                if (update.as_array()[0].at_key("hash") == UiValue(hash)) {
                    found = update.as_array()[0];
                }
            }
            return found;
        };
        const auto engine_progress = [&](const test::TestTorrent& torrent) {
            bridge::UiArray out;
            for (const std::int64_t bytes :
                 engine->session()
                     .find_torrent(torrent.info->info_hash())
                     .file_progress(lt::torrent_handle::piece_granularity)) {
                out.emplace_back(static_cast<double>(bytes));
            }
            return UiValue(out);
        };
        const auto settled = [&](const test::TestTorrent& torrent, lt::torrent_status::state_t s) {
            const auto update = last_update(torrent.hash);
            return update && update->at_key("state") == UiValue(static_cast<std::int32_t>(s));
        };
        ASSERT_TRUE(tick_until([&] {
            return settled(whole, lt::torrent_status::seeding) &&
                   settled(untouched, lt::torrent_status::downloading);
        }));
        EXPECT_EQ(last_update(whole.hash)->at_key("file_prg"), engine_progress(whole));
        EXPECT_EQ(last_update(untouched.hash)->at_key("file_prg"), engine_progress(untouched));
        EXPECT_EQ(last_update(whole.hash)->at_key("file_prg").as_array().size(), 3U);
        pump.reset();
        engine.reset();
        page.clear();
    }
}

TEST_F(EngineTest, AFailingHandlerIsReportedAndThePumpGoesOn) {
    start();
    handoff.throw_on_add = true;
    const auto torrent = test::make_test_torrent(dir.path(), "data.bin", {{"data.bin", 1000}});
    engine->session().async_add_torrent(test::seeding_params(torrent));
    ASSERT_TRUE(tick_until([&] { return page.count("post_no_format_error") > 0; }));
    const UiValue first = page.args_of("post_no_format_error").front();
    const auto& error = first.as_array();
    EXPECT_EQ(error[0], UiValue(74));
    EXPECT_EQ(error[1], UiValue("add handler broke"));
    EXPECT_EQ(error[2], UiValue(false));
    engine->session().remove_torrent(engine->session().find_torrent(torrent.info->info_hash()));
    EXPECT_TRUE(tick_until([&] { return handoff.removed == 1; }));
}

TEST_F(EngineTest, NoTickRunsOnceRunningIsCleared) {
    start();
    running = false;
    const auto torrent = test::make_test_torrent(dir.path(), "data.bin", {{"data.bin", 1000}});
    engine->session().add_torrent(test::seeding_params(torrent));
    for (int i = 0; i < 5; ++i) {
        pump->tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(handoff.added, 0);
    EXPECT_EQ(page.count("do_statusbar"), 0U);
}

TEST_F(EngineTest, HeldPumpSkipsTicksUntilReleased) {
    start();
    pump->hold();
    for (int i = 0; i < 3; ++i) {
        pump->tick();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(page.count("do_statusbar"), 0U);
    pump->release();
    EXPECT_TRUE(tick_until([&] { return page.count("do_statusbar") > 0; }));
}

TEST_F(EngineTest, PortChangeHidesTrackerErrorsUntilTheNextListenSuccess) {
    settings.update_only_changed_torrents = true;
    start();
    ASSERT_TRUE(tick_until([&] { return page.count("listen_succeeded_alert") > 0; }));
    const std::size_t listens = page.count("listen_succeeded_alert");
    flags.port_change_in_progress = true;
    // a tracker on a loopback port where nothing listens fails at once
    const auto torrent = test::make_test_torrent(dir.path(), "data.bin", {{"data.bin", 1000}},
                                                 {"http://127.0.0.1:9/announce"});
    engine->session().add_torrent(test::seeding_params(torrent));
    for (int i = 0; i < 20 && page.count("tracker_error_alert") == 0; ++i) {
        pump->tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(page.count("tracker_error_alert"), 0U);
    engine->session().apply_settings([] {
        lt::settings_pack p;
        p.set_str(lt::settings_pack::listen_interfaces, "127.0.0.2:0");  // a new socket
        return p;
    }());
    ASSERT_TRUE(tick_until([&] { return page.count("listen_succeeded_alert") > listens; }));
    EXPECT_FALSE(flags.port_change_in_progress);
    engine->session().find_torrent(torrent.info->info_hash()).force_reannounce();
    EXPECT_TRUE(tick_until([&] { return page.count("tracker_error_alert") > 0; }));
}

TEST_F(EngineTest, ATrackerErrorFollowsItsToggle) {
    struct Case {
        bool toggle;
        bool shown;
    };
    for (const Case c : {Case{false, false}, Case{true, true}}) {
        SCOPED_TRACE(c.toggle);
        test::TempDir case_dir;
        settings.event_toggles[7] = c.toggle;  // trackers
        RecordingPage case_page;
        EngineSession case_engine(settings, case_dir.path(), case_page, true);
        case_engine.start();
        AlertPump case_pump(case_engine, settings, running, flags, *status, handoff, case_page,
                            nullptr);
        const auto torrent = test::make_test_torrent(case_dir.path(), "t.bin", {{"t.bin", 1000}},
                                                     {"http://127.0.0.1:9/announce"});
        case_engine.session().add_torrent(test::seeding_params(torrent));
        // the torrent's own state changes come after its tracker's answer
        for (int i = 0; i < 30 && case_page.count("tracker_error_alert") == 0; ++i) {
            case_pump.tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(case_page.count("tracker_error_alert") > 0, c.shown);
        if (c.shown) {
            const UiValue first = case_page.args_of("tracker_error_alert").front();
            EXPECT_EQ(first.as_array().at(1), UiValue("http://127.0.0.1:9/announce"));
            EXPECT_EQ(first.as_array().at(2), UiValue(torrent.hash));
        }
    }
}

// VELMORA_DISK_IO reaches the session: of the engine's two disk back ends only the memory-mapped
// one maps the files it reads.
TEST(EngineDiskBackEndTest, TheEnvironmentChoosesTheDiskBackEnd) {
    struct Case {
        const char* value;  // null: unset
        bool maps_files;
    };
    for (const Case c :
         {Case{"mmap", true}, Case{"posix", false}, Case{nullptr, true}, Case{"other", true}}) {
        SCOPED_TRACE(c.value == nullptr ? "unset" : c.value);
        if (c.value == nullptr) {
            ::unsetenv("VELMORA_DISK_IO");
        } else {
            ::setenv("VELMORA_DISK_IO", c.value, 1);
        }
        test::TempDir dir;
        config::ClientSettings settings = test::loopback_client_settings();
        RecordingPage page;
        EngineSession engine(settings, dir.path(), page, true);
        engine.start();
        ::unsetenv("VELMORA_DISK_IO");
        // the memory-mapped back end reads a file below mmap_file_size_cutoff (640 KiB) without
        // mapping it
        const auto torrent =
            test::make_test_torrent(dir.path(), "read.bin", {{"read.bin", 1 << 20}});
        const lt::torrent_handle handle =
            engine.session().add_torrent(test::seeding_params(torrent));
        ASSERT_TRUE(test::eventually([&] { return handle.status().is_seeding; }));
        // a completed check may have closed the file again; a read opens it and keeps it open
        handle.read_piece(lt::piece_index_t{0});
        bool read = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!read && std::chrono::steady_clock::now() < end) {
            engine.session().wait_for_alert(std::chrono::milliseconds(100));
            std::vector<lt::alert*> alerts;
            engine.session().pop_alerts(&alerts);
            read = std::any_of(alerts.begin(), alerts.end(), [](const lt::alert* a) {
                return lt::alert_cast<lt::read_piece_alert>(a) != nullptr;
            });
        }
        ASSERT_TRUE(read);
        const std::string file = std::filesystem::canonical(dir / "read.bin").string();
        std::ifstream maps("/proc/self/maps");
        bool mapped = false;
        for (std::string line; std::getline(maps, line);) {
            mapped = mapped || line.ends_with(file);
        }
        EXPECT_EQ(mapped, c.maps_files);
    }
}

}  // namespace
}  // namespace velmora::engine
