// Stop, start, delete, move and completion, against a real loopback engine and real files.
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include <boost/asio/ip/address.hpp>
#include <gtest/gtest.h>
#include <libtorrent/torrent_status.hpp>

#include "lifecycle_rig.h"
#include "velmora/engine/client_functions.h"

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;
using bridge::UiArray;
using bridge::UiValue;

class OperationsTest : public LifecycleRig {
protected:
    TorrentOperations& ops() { return lifecycle->operations(); }

    lt::torrent_handle handle_of(const std::string& hash) {
        return engine->session().find_torrent(engine::to_hash(hash));
    }

    // A torrent seeding from its own content in `folder`, added the way the client adds.
    test::TestTorrent seeding(const fs::path& folder,
                              const std::string& name,
                              std::vector<test::TestFile> files = {{"a.bin", 40000},
                                                                   {"b.bin", 30000}}) {
        auto t = test::make_test_torrent(folder, name, files);
        engine->session().async_add_torrent(test::seeding_params(t));
        EXPECT_TRUE(test::eventually([&] {
            const auto h = handle_of(t.hash);
            return h.is_valid() && h.status().is_seeding && fs::exists(records / (t.hash + ".vtr"));
        }));
        return t;
    }

    // The same torrent fetched from a foreign loopback seeder into the download folder.
    void download(const test::TestTorrent& t, const test::LoopbackSeeder& seeder) {
        lt::add_torrent_params params;
        params.ti = t.info;
        params.save_path = downloads.string();
        const std::string peer = seeder.peer();
        const auto colon = peer.rfind(':');
        params.peers.emplace_back(boost::asio::ip::make_address(peer.substr(0, colon)),
                                  static_cast<unsigned short>(std::stoi(peer.substr(colon + 1))));
        engine->session().async_add_torrent(std::move(params));
    }
};

TEST_F(OperationsTest, StopGoesThroughTheRecordAndStartBringsItBackAsThePageSays) {
    const auto t = seeding(dir / "seed", "pair");
    EXPECT_TRUE(ops().stop(t.hash));
    ASSERT_TRUE(test::eventually([&] { return !in_session(t.hash); }));
    EXPECT_FALSE(ops().stop(t.hash));  // a stopped torrent is not found
    ASSERT_TRUE(fs::exists(records / (t.hash + ".vtr")));

    StartOptions options;
    options.sequential_download = true;
    options.upload_limit = 1000;
    options.download_limit = 2000;
    ops().start_stopped(t.hash, true, {"http://127.0.0.1:1/announce"}, {"http://127.0.0.1:1/seed/"},
                        options);
    ASSERT_TRUE(test::eventually([&] { return in_session(t.hash); }));
    lt::torrent_handle h = handle_of(t.hash);
    EXPECT_TRUE(h.flags() & lt::torrent_flags::paused);
    EXPECT_TRUE(h.flags() & lt::torrent_flags::sequential_download);
    EXPECT_FALSE(h.flags() & lt::torrent_flags::share_mode);
    EXPECT_EQ(h.upload_limit(), 1000);
    EXPECT_EQ(h.download_limit(), 2000);
    ASSERT_EQ(h.trackers().size(), 1U);
    EXPECT_EQ(h.trackers()[0].url, "http://127.0.0.1:1/announce");
    EXPECT_EQ(h.url_seeds(), (std::set<std::string>{"http://127.0.0.1:1/seed/"}));

    // again, running, and with an empty tracker list, which replaces the record's
    ops().stop(t.hash);
    ASSERT_TRUE(test::eventually([&] { return !in_session(t.hash); }));
    ops().start_stopped(t.hash, false, {}, {}, {});
    ASSERT_TRUE(test::eventually([&] { return in_session(t.hash); }));
    h = handle_of(t.hash);
    EXPECT_FALSE(h.flags() & lt::torrent_flags::paused);
    EXPECT_TRUE(h.trackers().empty());
    EXPECT_TRUE(test::eventually([&] { return h.status().is_seeding; }));
}

TEST_F(OperationsTest, StartWithoutARecordAddsByHashAndABrokenRecordStaysStopped) {
    const std::string no_record(40, 'a');
    ops().start_stopped(no_record, true, {}, {}, {});
    ASSERT_TRUE(test::eventually([&] { return in_session(no_record); }));
    const lt::torrent_status s = handle_of(no_record).status(lt::torrent_handle::query_save_path);
    EXPECT_FALSE(s.flags & lt::torrent_flags::paused);  // "paused" needs a record
    EXPECT_EQ(s.save_path, downloads.string());
    EXPECT_EQ(s.storage_mode, lt::storage_mode_allocate);

    const std::string broken(40, 'b');
    std::ofstream(records / (broken + ".vtr")) << "d4:junk";
    ops().start_stopped(broken, false, {}, {}, {});
    ASSERT_TRUE(page.wait_for("vtr_error"));
    EXPECT_EQ(page.args_of("vtr_error").front().as_array().at(1), UiValue(broken + ".vtr"));
    EXPECT_FALSE(in_session(broken));
    EXPECT_TRUE(fs::exists(records / (broken + ".vtr")));
}

TEST_F(OperationsTest, DeleteTakesTheTorrentsOwnDataOnly) {
    const auto live = seeding(downloads, "running");
    std::ofstream(downloads / "running" / "mine.txt") << "the user's";
    ops().delete_torrent(live.hash, true, "/");  // in the session the path plays no part
    ASSERT_TRUE(test::eventually([&] { return !fs::exists(downloads / "running" / "a.bin"); }));
    EXPECT_FALSE(in_session(live.hash));
    EXPECT_TRUE(fs::exists(downloads / "running" / "mine.txt"));

    const auto stopped = seeding(downloads, "stopped");
    ops().stop(stopped.hash);
    ASSERT_TRUE(test::eventually([&] { return !in_session(stopped.hash); }));
    std::ofstream(downloads / "stopped" / "mine.txt") << "the user's";
    for (const fs::path& refused : {fs::path("/"), downloads, downloads / "elsewhere"}) {
        ops().delete_torrent(stopped.hash, true, refused.string());
        EXPECT_TRUE(fs::exists(downloads / "stopped" / "a.bin")) << refused;
    }
    ops().delete_torrent(stopped.hash, false, (downloads / "stopped").string());
    EXPECT_TRUE(fs::exists(downloads / "stopped" / "a.bin"));
    ops().delete_torrent(stopped.hash, true, (downloads / "stopped").string());
    EXPECT_FALSE(fs::exists(downloads / "stopped" / "a.bin"));
    EXPECT_FALSE(fs::exists(downloads / "stopped" / "b.bin"));
    EXPECT_TRUE(fs::exists(downloads / "stopped" / "mine.txt"));

    // no record, no data known to be the torrent's
    ops().delete_torrent(std::string(40, 'c'), true, (downloads / "stopped").string());
    EXPECT_TRUE(fs::exists(downloads / "stopped" / "mine.txt"));
}

TEST_F(OperationsTest, DeleteDataOnAWorkerTellsWhetherThePathWasThere) {
    std::ofstream(downloads / "loose.bin") << "x";
    fs::create_directories(dir / "outside");
    std::ofstream(dir / "outside" / "keep") << "x";
    const struct {
        fs::path path;
        bool deleted;
    } cases[] = {
        {downloads / "loose.bin", true},
        {downloads / "missing.bin", false},
        {dir / "outside" / "keep", false},
        {downloads, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        page.clear();
        ops().delete_data("row 7", c.path.string());
        ASSERT_TRUE(page.wait_for("data_deleted_result"));
        EXPECT_EQ(page.args_of("data_deleted_result").front(),
                  UiValue(UiArray{UiValue("row 7"), UiValue(c.deleted), UiValue("")}));
    }
    EXPECT_TRUE(fs::exists(dir / "outside" / "keep"));
    EXPECT_TRUE(fs::is_directory(downloads));
}

TEST_F(OperationsTest, MovesRunOneAtATimeAndTheRecordFollowsTheData) {
    const auto first = seeding(downloads, "first");
    const auto second = seeding(downloads, "second");
    // when the first move is answered, the second has not begun
    std::mutex seen_lock;  // the answers come on the tick's thread
    std::vector<std::pair<std::int32_t, std::string>> seen_at_answer;
    page.answer("storage_moved_alert", [&](const UiValue&) {
        const auto other = handle_of(second.hash).status(lt::torrent_handle::query_save_path);
        const std::lock_guard lock(seen_lock);
        seen_at_answer.emplace_back(ops().moves_queued(), other.save_path);
        return UiValue();
    });
    ops().move_downloads_folder(first.hash, (dir / "to1").string());
    ops().move_downloads_folder(second.hash, (dir / "to2").string());
    EXPECT_EQ(ops().moves_queued(), 2);
    ASSERT_TRUE(test::eventually([&] {
        const std::lock_guard lock(seen_lock);
        return seen_at_answer.size() == 2U;
    }));
    const std::lock_guard lock(seen_lock);
    EXPECT_EQ(seen_at_answer[0], std::make_pair(2, downloads.string()));
    EXPECT_EQ(seen_at_answer[1].first, 1);
    EXPECT_EQ(
        page.args_of("storage_moved_alert").front(),
        UiValue(UiArray{UiValue(first.hash), UiValue((dir / "to1").string()), UiValue(true)}));
    EXPECT_EQ(fs::file_size(dir / "to2" / "second" / "a.bin"), 40000U);
    EXPECT_FALSE(fs::exists(downloads / "second"));
    EXPECT_TRUE(test::eventually([&] {
        return test::read_record(records / (second.hash + ".vtr")).save_path ==
               (dir / "to2").string();
    }));
}

TEST_F(OperationsTest, AMoveThatCannotBeMadeLeavesTheDataWhereItWas) {
    const auto t = seeding(downloads, "stays");
    std::ofstream(dir / "a-file") << "not a folder";
    ops().move_downloads_folder(t.hash, (dir / "a-file" / "sub").string());
    ASSERT_TRUE(page.wait_for("do_storage_moved_failed_alert"));
    const UiArray failure = page.args_of("do_storage_moved_failed_alert").front().as_array();
    ASSERT_EQ(failure.size(), 6U);
    EXPECT_EQ(failure[1], UiValue(t.hash));
    EXPECT_EQ(ops().moves_queued(), 0);
    const auto s = handle_of(t.hash).status(lt::torrent_handle::query_save_path);
    EXPECT_EQ(s.save_path, downloads.string());
    EXPECT_TRUE(s.is_seeding);
    EXPECT_EQ(fs::file_size(downloads / "stays" / "a.bin"), 40000U);
}

TEST_F(OperationsTest, ATorrentInTheCompletedFolderIsNotMoved) {
    completed = dir / "completed";
    fs::create_directories(completed);
    const auto t = seeding(completed, "done");
    ops().move_downloads_folder(t.hash, (dir / "to").string());
    EXPECT_EQ(ops().moves_queued(), 0);
}

TEST_F(OperationsTest, CompletionTellsThePageOnceMovesToTheCompletedFolderAndAutoStops) {
    completed = dir / "completed";
    fs::create_directories(completed);
    settings.auto_stop = true;
    page.answer("get_set_torrent_complete", UiValue(""));
    const auto t = test::make_test_torrent(dir / "seed", "fresh", {{"x.bin", 60000}});
    test::LoopbackSeeder seeder(t);
    ASSERT_TRUE(seeder.ready());
    download(t, seeder);

    ASSERT_TRUE(page.wait_for("storage_moved_alert"));
    EXPECT_EQ(page.args_of("post_success").front(),
              UiValue(UiArray{UiValue(15), UiValue("fresh"), UiValue(true),
                              UiValue(downloads.string())}));
    const UiArray date = page.args_of("set_torrent_complete_date").front().as_array();
    EXPECT_EQ(date.at(0), UiValue(t.hash));
    EXPECT_FALSE(date.at(1).read_text().empty());
    EXPECT_TRUE(test::eventually([&] { return !in_session(t.hash); }));  // auto_stop
    EXPECT_EQ(fs::file_size(completed / "fresh" / "x.bin"), 60000U);
    EXPECT_EQ(test::read_record(records / (t.hash + ".vtr")).save_path, completed.string());
}

TEST_F(OperationsTest, ASecondCompletionIsNotAnnouncedAndClearsTheDownloadModes) {
    page.answer("get_set_torrent_complete", UiValue("2026-12-01 10:00:00"));
    const auto t = test::make_test_torrent(dir / "seed", "again", {{"y.bin", 50000}});
    test::LoopbackSeeder seeder(t);
    ASSERT_TRUE(seeder.ready());
    download(t, seeder);
    ASSERT_TRUE(test::eventually([&] {
        const auto h = handle_of(t.hash);
        return h.is_valid() && h.status().is_finished;
    }));
    handle_of(t.hash).set_flags(lt::torrent_flags::sequential_download);
    handle_of(t.hash).force_recheck();  // finishes once more
    ASSERT_TRUE(page.wait_for("get_set_torrent_complete", 2));
    EXPECT_TRUE(test::eventually(
        [&] { return !(handle_of(t.hash).flags() & lt::torrent_flags::sequential_download); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a few passes after the answer
    EXPECT_EQ(page.count("post_success"), 0U);
    EXPECT_TRUE(in_session(t.hash));  // auto_stop is off
}

}  // namespace
}  // namespace velmora::lifecycle
