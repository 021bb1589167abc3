// Adding torrents and keeping their records, against a real loopback engine.
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/session.hpp>

#include "lifecycle_rig.h"
#include "support/engine_fixtures.h"
#include "support/temp_dir.h"
#include "velmora/engine/alert_pump.h"
#include "velmora/engine/client_functions.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/engine/status_reporter.h"
#include "velmora/lifecycle/torrent_lifecycle.h"

namespace velmora::lifecycle {
namespace {

using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;

UiValue pre_add_answer(int apply,
                       bool keep_stopped,
                       bool start,
                       const std::string& folder,
                       const std::vector<std::string>& trackers = {}) {
    UiArray tracker_maps;
    for (const auto& url : trackers) {
        tracker_maps.emplace_back(UiMap{{"name", UiValue(url)}});
    }
    return UiArray{UiValue(apply),  UiValue(keep_stopped), UiValue(start),
                   UiValue(0),      UiValue(""),           UiValue(std::move(tracker_maps)),
                   UiValue(folder), UiValue(false)};
}

using LifecycleTest = LifecycleRig;

TEST_F(LifecycleTest, AutoStartAddsAtOnceAndWritesTheRecord) {
    settings.auto_start = true;
    page.answer("get_files_prioraty", UiArray{UiValue(0), UiValue(4)});
    const auto t =
        test::make_test_torrent(dir / "src", "pair", {{"a.bin", 20000}, {"b.bin", 30000}});
    lifecycle->add_torrent_file(t.torrent_file, {}, false);
    ASSERT_TRUE(page.wait_for("set_torrents_visibility"));
    EXPECT_EQ(page.count("pre_add_torrent"), 0U);
    const UiValue added = page.args_of("add_torrent_alert").front();
    EXPECT_EQ(added.at_key("hash"), UiValue(t.hash));
    EXPECT_EQ(added.at_key("save_path"), UiValue(downloads.string()));
    EXPECT_EQ(page.args_of("get_files_prioraty").front(), UiValue(t.hash));
    ASSERT_TRUE(std::filesystem::exists(records / (t.hash + ".vtr")));
    const auto handle = engine->session().find_torrent(t.info->info_hash());
    ASSERT_TRUE(handle.is_valid());
    EXPECT_EQ(handle.file_priority(lt::file_index_t{0}), lt::dont_download);
    EXPECT_EQ(handle.file_priority(lt::file_index_t{1}), lt::default_priority);
    EXPECT_FALSE(handle.flags() & lt::torrent_flags::paused);
}

// Adds answered together are handled together: each torrent's events come in the run's order
// and carry its own status, with a refused add in the middle of the run. There are more of them
// than one status read takes.
TEST_F(LifecycleTest, ARunOfAddsIsAnnouncedInItsOrder) {
    constexpr int kTorrents = 300;
    std::vector<test::TestTorrent> torrents;
    for (int i = 0; i < kTorrents; ++i) {
        torrents.push_back(
            test::make_test_torrent(dir / "src", "run" + std::to_string(i), {{"x.bin", 4000 + i}}));
    }
    page.answer("get_files_prioraty", UiArray{UiValue(1)});
    pump->hold();
    const auto add = [&](const test::TestTorrent& t) {
        lt::add_torrent_params params = test::seeding_params(t);
        params.flags |= lt::torrent_flags::duplicate_is_error;
        engine->session().async_add_torrent(std::move(params));
    };
    add(torrents[0]);
    add(torrents[0]);  // refused: a duplicate
    for (int i = 1; i < kTorrents; ++i) {
        add(torrents[static_cast<std::size_t>(i)]);
    }
    ASSERT_TRUE(test::eventually(
        [&] { return engine->session().get_torrents().size() == std::size_t{kTorrents}; }));
    pump->release();
    ASSERT_TRUE(page.wait_for("set_torrents_visibility", kTorrents));

    std::vector<std::string> heard;
    for (const auto& [name, arg] : page.events()) {
        if (name == "add_torrent_alert") {
            heard.push_back(name + " " + arg.at_key("hash").as_string() + " " +
                            arg.at_key("name").as_string());
        } else if (name == "do_dupe_torrent" || name == "get_files_prioraty") {
            heard.push_back(name + " " + arg.as_string());
        } else if (name == "set_torrents_visibility") {
            heard.push_back(name);
        }
    }
    std::vector<std::string> expected;
    for (int i = 0; i < kTorrents; ++i) {
        const auto& t = torrents[static_cast<std::size_t>(i)];
        expected.push_back("add_torrent_alert " + t.hash + " run" + std::to_string(i));
        expected.push_back("get_files_prioraty " + t.hash);
        expected.push_back("set_torrents_visibility");
        if (i == 0) {
            expected.push_back("do_dupe_torrent " + t.hash);
        }
    }
    EXPECT_EQ(heard, expected);
    for (const auto& t : torrents) {
        const auto handle = engine->session().find_torrent(t.info->info_hash());
        EXPECT_EQ(handle.file_priority(lt::file_index_t{0}), lt::low_priority);
    }
}

TEST_F(LifecycleTest, PreAddAnswersDecideBetweenStartingStoringAndNothing) {
    struct Case {
        const char* what;
        UiValue answer;
        bool record;
        bool running;
        std::string save_path;
        std::vector<std::string> trackers;
    };
    const std::string chosen = (dir / "chosen").string();
    const Case cases[] = {
        {"left, keep stopped",
         pre_add_answer(0, true, false, chosen),
         true,
         false,
         downloads.string(),
         {}},
        {"left, nothing", pre_add_answer(0, false, false, chosen), false, false, "", {}},
        {"applied, stored stopped",
         pre_add_answer(1, false, false, chosen, {"http://127.0.0.1:1/a"}),
         true,
         false,
         chosen,
         {"http://127.0.0.1:1/a"}},
        {"applied, started", pre_add_answer(1, false, true, chosen), false, true, chosen, {}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        page.answer("pre_add_torrent", c.answer);
        const auto t =
            test::make_test_torrent(dir / "src", "case" + std::to_string(n++), {{"x.bin", 5000}});
        lifecycle->add_torrent_file(t.torrent_file, {}, false);
        const auto record = records / (t.hash + ".vtr");
        if (c.running) {
            ASSERT_TRUE(test::eventually([&] { return in_session(t.hash); }));
            EXPECT_EQ(engine->session().find_torrent(t.info->info_hash()).status().save_path,
                      c.save_path);
        } else {
            EXPECT_FALSE(in_session(t.hash));
        }
        if (c.record && !c.running) {
            ASSERT_TRUE(std::filesystem::exists(record));
            const auto params = test::read_record(record);
            EXPECT_EQ(params.save_path, c.save_path);
            EXPECT_EQ(params.trackers, c.trackers);
            EXPECT_TRUE(params.ti != nullptr);  // the record carries the metadata
        } else if (!c.running) {
            EXPECT_FALSE(std::filesystem::exists(record));
        }
    }
    const UiValue map = page.args_of("pre_add_torrent").front();
    EXPECT_EQ(map.at_key("save_path"), UiValue(downloads.string()));
}

TEST_F(LifecycleTest, DuplicateOfARunningTorrentGetsTheNewTrackers) {
    settings.auto_start = true;
    settings.add_trackers_duplicate = true;
    const auto t = test::make_test_torrent(dir / "src", "dupe", {{"dupe", 4000}});
    lifecycle->add_torrent_file(t.torrent_file, {}, false);
    ASSERT_TRUE(page.wait_for("add_torrent_alert"));
    page.answer("IndexFromHash", UiValue(0));
    const std::string link = "magnet:?xt=urn:btih:" + t.hash + "&tr=http%3A%2F%2F127.0.0.1%3A2%2Fa";
    lifecycle->add_magnet(link);
    EXPECT_EQ(page.args_of("do_dupe_torrent").front(), UiValue(t.hash));
    const auto trackers = engine->session().find_torrent(t.info->info_hash()).trackers();
    ASSERT_EQ(trackers.size(), 1U);
    EXPECT_EQ(trackers[0].url, "http://127.0.0.1:2/a");
    EXPECT_EQ(page.count("add_dupe_trackers"), 0U);
}

TEST_F(LifecycleTest, DuplicateOfAStoppedTorrentHandsTheTrackersToThePage) {
    page.answer("IndexFromHash", UiValue(3));
    settings.add_trackers_duplicate = true;
    const auto t = test::make_test_torrent(dir / "src", "stopped", {{"stopped", 4000}},
                                           {"http://127.0.0.1:3/x", "http://127.0.0.1:4/y"});
    lifecycle->add_torrent_file(t.torrent_file, {}, false);
    const auto maps = page.args_of("add_dupe_trackers");
    ASSERT_EQ(maps.size(), 1U);
    EXPECT_EQ(
        maps[0],
        UiValue(UiArray{
            UiValue(UiMap{{"name", UiValue("http://127.0.0.1:3/x")}, {"hash", UiValue(t.hash)}}),
            UiValue(UiMap{{"name", UiValue("http://127.0.0.1:4/y")}, {"hash", UiValue(t.hash)}}),
        }));
    lifecycle->add_torrent_file(t.torrent_file, {}, true);  // from the watched folder: silent
    EXPECT_EQ(page.count("do_dupe_torrent"), 1U);
}

TEST_F(LifecycleTest, BrokenSourcesAreReportedAndAddNothing) {
    std::ofstream(dir / "junk.torrent") << "not bencoded at all";
    lifecycle->add_torrent_file(dir / "junk.torrent", {}, false);
    lifecycle->add_torrent_file(dir / "missing.torrent", {}, false);
    lifecycle->add_magnet("magnet:?xt=urn:btih:nothex");
    const auto errors = page.args_of("do_error_adding_torrent");
    ASSERT_EQ(errors.size(), 2U);
    EXPECT_EQ(errors[0].as_array()[3], UiValue("junk.torrent"));
    EXPECT_EQ(errors[1].as_array()[3], UiValue("missing.torrent"));
    EXPECT_EQ(errors[1].as_array()[1], UiValue(193));  // a system error has no page text
    const auto magnet = page.args_of("add_magnet_error");
    ASSERT_EQ(magnet.size(), 1U);
    EXPECT_EQ(magnet[0].as_array()[1], UiValue("magnet:?xt=urn:btih:nothex"));
    EXPECT_TRUE(engine->session().get_torrents().empty());
}

TEST_F(LifecycleTest, OldMerkleTorrentIsRefusedEvenWithAutoStart) {
    settings.auto_start = true;
    // an info dictionary with a merkle root in place of the piece list
    const std::string info =
        "d6:lengthi100e4:name1:m12:piece lengthi16384e9:root hash20:" + std::string(20, 'r') + "e";
    std::ofstream(dir / "m.torrent", std::ios::binary) << "d4:info" << info << "e";
    lifecycle->add_torrent_file(dir / "m.torrent", {}, false);
    const auto errors = page.args_of("do_error_adding_torrent");
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_EQ(errors[0],
              UiValue(UiArray{UiValue(""), UiValue(749), UiValue(0), UiValue("m.torrent")}));
}

TEST_F(LifecycleTest, RecordFileIsCheckedThenStops) {
    const auto t = test::make_test_torrent(dir / "src", "rec", {{"rec", 30000}});
    const lt::add_torrent_params params = test::seeding_params(t);
    RecordStore other(dir / "elsewhere", page);
    std::filesystem::create_directories(dir / "elsewhere");
    other.write_record(t.hash, params);
    lifecycle->add_record_file(other.record_path(t.hash));
    ASSERT_TRUE(page.wait_for("add_torrent_alert"));
    const auto handle = engine->session().find_torrent(t.info->info_hash());
    ASSERT_TRUE(test::eventually([&] {
        const auto s = handle.status();
        return s.is_seeding && (s.flags & lt::torrent_flags::paused);
    }));
    EXPECT_TRUE(std::filesystem::exists(records / (t.hash + ".vtr")));  // a record of its own
}

TEST_F(LifecycleTest, MagnetStoppedBeforeItsMetadataLeavesNoRecord) {
    const std::string hash(40, 'c');
    lifecycle->add_magnet("magnet:?xt=urn:btih:" + hash);
    ASSERT_TRUE(page.wait_for("add_torrent_alert"));
    const auto handle = engine->session().find_torrent(engine::to_hash(hash));
    ASSERT_TRUE(handle.is_valid());
    lifecycle->pending_stops().add(hash);
    handle.save_resume_data(lt::torrent_handle::save_info_dict);
    ASSERT_TRUE(page.wait_for("torrent_removed_alert"));
    EXPECT_EQ(page.count("save_resume_data_failed_alert"), 0U);  // "no metadata" is not shown
    EXPECT_FALSE(std::filesystem::exists(records / (hash + ".vtr")));
    EXPECT_TRUE(lifecycle->pending_stops().empty());
}

// A seeder on loopback hands the metadata over; the user then picks another folder.
TEST_F(LifecycleTest, MagnetMetadataLeadsToTheOptionsDialog) {
    const auto t =
        test::make_test_torrent(dir / "seed", "album", {{"one.bin", 60000}, {"two.bin", 9000}});
    const test::LoopbackSeeder seeder(t);
    ASSERT_TRUE(seeder.ready());

    const std::string chosen = (dir / "chosen").string();
    page.answer("show_magnet_options", pre_add_answer(1, false, true, chosen));
    page.answer("get_files_prioraty", UiArray{UiValue(4), UiValue(4)});
    lifecycle->add_magnet("magnet:?xt=urn:btih:" + t.hash + "&x.pe=" + seeder.peer());
    ASSERT_TRUE(page.wait_for("metadata_received_alert_stopped"));
    ASSERT_TRUE(page.wait_for("show_magnet_options"));
    EXPECT_EQ(page.args_of("show_magnet_options").front(), UiValue(t.hash));
    EXPECT_EQ(page.args_of("storage_moved_alert").front(),
              UiValue(UiArray{UiValue(t.hash), UiValue(chosen), UiValue(false)}));
    const auto handle = engine->session().find_torrent(t.info->info_hash());
    ASSERT_TRUE(test::eventually([&] { return handle.is_valid() && handle.status().is_seeding; }));
    EXPECT_EQ(handle.status().save_path, chosen);
    EXPECT_TRUE(std::filesystem::exists(dir / "chosen" / "album" / "one.bin"));
    EXPECT_FALSE(std::filesystem::exists(downloads / "album"));
}

TEST_F(LifecycleTest, OptionsDialogKeepsDataThatWasThereBefore) {
    const auto t = test::make_test_torrent(dir / "seed", "keep", {{"keep", 20000}});
    std::ofstream(downloads / "keep") << "the user's own file";
    const test::LoopbackSeeder seeder(t);
    ASSERT_TRUE(seeder.ready());

    page.answer("show_magnet_options", pre_add_answer(1, false, false, (dir / "other").string()));
    lifecycle->add_magnet("magnet:?xt=urn:btih:" + t.hash + "&x.pe=" + seeder.peer());
    ASSERT_TRUE(page.wait_for("show_magnet_options"));
    ASSERT_TRUE(page.wait_for("storage_moved_alert"));
    std::ifstream in(downloads / "keep");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "the user's own file");
    const auto params = test::read_record(records / (t.hash + ".vtr"));  // stored stopped
    EXPECT_EQ(params.save_path, (dir / "other").string());
    EXPECT_FALSE(in_session(t.hash));
}

TEST_F(LifecycleTest, SaveAllRecordsAtExitWritesEveryTorrentWithMetadata) {
    settings.auto_start = true;
    const auto t = test::make_test_torrent(dir / "src", "exit", {{"exit", 8000}});
    lifecycle->add_torrent_file(t.torrent_file, t.content_parent.string(), false);
    ASSERT_TRUE(page.wait_for("add_torrent_alert"));
    std::filesystem::remove(records / (t.hash + ".vtr"));
    lifecycle->add_magnet("magnet:?xt=urn:btih:" + std::string(40, 'd'));
    ASSERT_TRUE(page.wait_for("add_torrent_alert", 2));
    pump->hold();  // as the exit sequence waits for a running tick first
    lifecycle->save_all_records(true, pump.get());
    EXPECT_TRUE(std::filesystem::exists(records / (t.hash + ".vtr")));
    EXPECT_FALSE(std::filesystem::exists(records / (std::string(40, 'd') + ".vtr")));
    EXPECT_FALSE(engine->started());
    // a worker that comes too late meets an ended engine (its calls do nothing or throw), not
    // freed memory
    try {
        lifecycle->add_magnet("magnet:?xt=urn:btih:" + std::string(40, 'e'));
    } catch (const std::system_error&) {
    }
}

TEST_F(LifecycleTest, MagnetWithAFileSelectionKeepsRunningUnderBep53) {
    settings.bep53 = true;
    const auto t =
        test::make_test_torrent(dir / "seed", "pick", {{"a.bin", 30000}, {"b.bin", 30000}});
    const test::LoopbackSeeder seeder(t);
    ASSERT_TRUE(seeder.ready());
    lifecycle->add_magnet("magnet:?xt=urn:btih:" + t.hash + "&so=1&x.pe=" + seeder.peer());
    ASSERT_TRUE(page.wait_for("metadata_received_alert"));
    EXPECT_EQ(page.count("metadata_received_alert_stopped"), 0U);
    const auto handle = engine->session().find_torrent(t.info->info_hash());
    ASSERT_TRUE(test::eventually([&] {
        return handle.status().is_finished && std::filesystem::exists(downloads / "pick" / "b.bin");
    }));
    EXPECT_EQ(handle.file_priority(lt::file_index_t{0}), lt::dont_download);
    EXPECT_FALSE(std::filesystem::exists(downloads / "pick" / "a.bin"));
    EXPECT_EQ(page.count("show_magnet_options"), 0U);
}

TEST_F(LifecycleTest, TimerEventsSaveEveryRecordOnAWorker) {
    settings.auto_start = true;
    const auto t = test::make_test_torrent(dir / "src", "tick", {{"tick", 8000}});
    lifecycle->add_torrent_file(t.torrent_file, t.content_parent.string(), false);
    ASSERT_TRUE(page.wait_for("add_torrent_alert"));
    const auto record = records / (t.hash + ".vtr");
    std::filesystem::remove(record);
    std::atomic<int> settings_written{0};
    lifecycle->timer_events(true, [&] { ++settings_written; });
    EXPECT_TRUE(test::eventually([&] { return std::filesystem::exists(record); }));
    EXPECT_EQ(settings_written, 1);
    running = false;
    lifecycle->timer_events(true, [&] { ++settings_written; });  // the client is ending
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(settings_written, 1);
}

TEST_F(LifecycleTest, ChoosingTheDownloadFolderItselfMovesNothing) {
    const auto t = test::make_test_torrent(dir / "seed", "same", {{"same", 20000}});
    const test::LoopbackSeeder seeder(t);
    ASSERT_TRUE(seeder.ready());
    // the same folder, spelt with a trailing separator
    page.answer("show_magnet_options", pre_add_answer(1, false, true, downloads.string() + "/"));
    lifecycle->add_magnet("magnet:?xt=urn:btih:" + t.hash + "&x.pe=" + seeder.peer());
    ASSERT_TRUE(page.wait_for("show_magnet_options"));
    const auto handle = engine->session().find_torrent(t.info->info_hash());
    ASSERT_TRUE(test::eventually([&] { return handle.is_valid() && handle.status().is_seeding; }));
    EXPECT_EQ(page.count("storage_moved_alert"), 0U);
    EXPECT_EQ(handle.status().save_path, downloads.string());
}

// The folder of defective inputs: each one gets exactly its event and adds nothing.
TEST_F(LifecycleTest, EveryDefectiveInputGetsItsEventAndAddsNothing) {
    const char* data = std::getenv("VELMORA_TEST_DATA");
    ASSERT_NE(data, nullptr) << "VELMORA_TEST_DATA names the test data folder (ctest sets it)";
    const std::filesystem::path defects = std::filesystem::path(data) / "defects";
    std::filesystem::path(std::getenv("VELMORA_TEST_DATA")) / "defects";
    std::ifstream expected(defects / "expected.txt");
    int cases = 0;
    for (std::string line; std::getline(expected, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string file, event;
        std::size_t named_at = 0;
        fields >> file >> event >> named_at;
        SCOPED_TRACE(file);
        const std::size_t before = page.events().size();
        const auto path = defects / file;
        if (path.extension() == ".vtr") {
            lifecycle->add_record_file(path);
        } else {
            lifecycle->add_torrent_file(path, {}, false);
        }
        std::vector<std::pair<std::string, UiValue>> answers;
        const auto events = page.events();
        for (std::size_t i = before; i < events.size(); ++i) {
            static const std::set<std::string> kAddAnswers = {
                "do_error_adding_torrent", "vtr_error", "pre_add_torrent", "add_torrent_alert",
                "do_dupe_torrent"};
            if (kAddAnswers.count(events[i].first) > 0) {
                answers.push_back(events[i]);  // the engine's own events of the moment aside
            }
        }
        ASSERT_EQ(answers.size(), 1U) << "exactly one event";
        EXPECT_EQ(answers[0].first, event);
        const UiValue& shown = answers[0].second.as_array().at(named_at);
        EXPECT_EQ(shown, UiValue(path.extension() == ".vtr" ? path.string() : file));
        ++cases;
    }
    EXPECT_GT(cases, 0);
    std::ifstream magnets(defects / "bad-magnets.txt");
    for (std::string link; std::getline(magnets, link);) {
        if (link.empty() || link[0] == '#') {
            continue;
        }
        SCOPED_TRACE(link);
        const std::size_t errors = page.count("add_magnet_error");
        lifecycle->add_magnet(link);
        ASSERT_EQ(page.count("add_magnet_error"), errors + 1);
        EXPECT_EQ(page.args_of("add_magnet_error").back().as_array().at(1), UiValue(link));
    }
    // an answer of the wrong shape from the add dialog adds nothing either
    page.answer("pre_add_torrent", UiValue("not an array"));
    const auto t = test::make_test_torrent(dir / "src", "fine", {{"fine", 1000}});
    lifecycle->add_torrent_file(t.torrent_file, {}, false);
    EXPECT_FALSE(std::filesystem::exists(records / (t.hash + ".vtr")));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(engine->session().get_torrents().empty());
}

UiMap restore_entry(const std::string& hash, int meta, bool paused) {
    return {
        {"hash", UiValue(hash)},
        {"paused", UiValue(paused ? 1 : 0)},
        {"meta", UiValue(meta)},
        {"name", UiValue("by hash")},
        {"sequential_download", UiValue(1)},
        {"upload_mode", UiValue(0)},
        {"share_mode", UiValue(0)},
        {"super_seeding", UiValue(true)},  // not an integer: no
        {"upload_limit", UiValue(50000)},
        {"download_limit", UiValue(60000)},
        {"trackers", UiValue(UiArray{UiValue(UiMap{{"name", UiValue("http://127.0.0.1:5/a")}})})},
        {"web", UiValue(UiArray{UiValue(UiMap{{"url", UiValue("http://127.0.0.1:6/w/")}})})}};
}

TEST_F(LifecycleTest, RestoreBringsEachTorrentBackFromItsRecordOrByHash) {
    const auto t = test::make_test_torrent(dir / "src", "back", {{"back", 20000}});
    lt::add_torrent_params saved = test::seeding_params(t);
    saved.trackers = {"http://127.0.0.1:7/own"};
    lifecycle->records().write_record(t.hash, saved);
    const std::string no_record(40, '1');
    const std::string no_meta(40, '2');
    const std::string broken(40, '3');
    std::ofstream(records / (broken + ".vtr")) << "d4:info";  // cut short
    page.answer("get_torrents_to_restore", UiArray{UiValue(restore_entry(t.hash, 3, true)),
                                                   UiValue(restore_entry(no_record, 3, false)),
                                                   UiValue(restore_entry(no_meta, 0, false)),
                                                   UiValue(restore_entry(broken, 3, false))});
    lifecycle->restore_session();
    ASSERT_TRUE(page.wait_for("add_torrent_alert", 4));

    const auto from_record = engine->session().find_torrent(t.info->info_hash());
    ASSERT_TRUE(from_record.is_valid());
    const auto record_flags = from_record.flags();
    EXPECT_TRUE(record_flags & lt::torrent_flags::paused);
    EXPECT_TRUE(record_flags & lt::torrent_flags::sequential_download);
    EXPECT_FALSE(record_flags & lt::torrent_flags::super_seeding);
    EXPECT_EQ(from_record.status().save_path, t.content_parent.string());  // the record's
    ASSERT_EQ(from_record.trackers().size(), 1U);
    EXPECT_EQ(from_record.trackers()[0].url, "http://127.0.0.1:7/own");

    const auto bare = engine->session().find_torrent(engine::to_hash(no_record));
    ASSERT_TRUE(bare.is_valid());
    EXPECT_TRUE(bare.trackers().empty());  // "meta" 3: the entry's lists are not read
    EXPECT_FALSE(bare.flags() & lt::torrent_flags::paused);

    const auto by_hash = engine->session().find_torrent(engine::to_hash(no_meta));
    ASSERT_TRUE(by_hash.is_valid());
    ASSERT_EQ(by_hash.trackers().size(), 1U);
    EXPECT_EQ(by_hash.trackers()[0].url, "http://127.0.0.1:5/a");
    EXPECT_EQ(by_hash.url_seeds(), (std::set<std::string>{"http://127.0.0.1:6/w/"}));
    EXPECT_EQ(by_hash.status().save_path, downloads.string());
    EXPECT_EQ(by_hash.status().name, "by hash");
    EXPECT_EQ(by_hash.upload_limit(), 50000);
    EXPECT_EQ(by_hash.download_limit(), 60000);

    // the page hears each torrent's own trackers with its add
    const auto announced_trackers = [&](const std::string& hash) {
        std::vector<std::string> names;
        for (const UiValue& added : page.args_of("add_torrent_alert")) {
            if (added.at_key("hash") == UiValue(hash)) {
                for (const UiValue& tracker : added.at_key("trackers").as_array()) {
                    names.push_back(tracker.at_key("name").as_string());
                }
            }
        }
        return names;
    };
    EXPECT_EQ(announced_trackers(t.hash), std::vector<std::string>{"http://127.0.0.1:7/own"});
    EXPECT_EQ(announced_trackers(no_meta), std::vector<std::string>{"http://127.0.0.1:5/a"});
    EXPECT_TRUE(announced_trackers(no_record).empty());

    const auto errors = page.args_of("vtr_error");
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_EQ(errors[0].as_array().at(1), UiValue(broken + ".vtr"));
    EXPECT_FALSE(std::filesystem::exists(records / (broken + ".vtr")));
    EXPECT_TRUE(engine->session().find_torrent(engine::to_hash(broken)).is_valid());
}

TEST_F(LifecycleTest, AnEmptyRestoreListRestoresNothing) {
    for (const UiValue& answer : {UiValue(UiArray{}), UiValue(), UiValue("no list")}) {
        page.answer("get_torrents_to_restore", answer);
        lifecycle->restore_session();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(engine->session().get_torrents().empty());
    EXPECT_EQ(page.count("vtr_error"), 0U);
}

}  // namespace
}  // namespace velmora::lifecycle
