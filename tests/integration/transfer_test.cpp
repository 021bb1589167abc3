// Whole transfers through the real client process: a foreign seeder (the engine's Python
// binding) and a real tracker, everything on 127.0.0.1.
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "support/loopback_swarm.h"

namespace velmora::test {
namespace {

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tracker.ready()); }

    TempDir tracker_dir;
    Tracker tracker{tracker_dir};
};

// A torrent file from the add dialog to the finished download, the exit and the record.
TEST_F(TransferTest, TorrentFileRoadEndToEnd) {
    Road road;
    const auto t =
        make_test_torrent(road.dir / "seed", "album", {{"keep.bin", 300000}, {"skip.bin", 200000}},
                          {tracker.announce_url()});
    Seeder seeder(tracker, t);
    ASSERT_TRUE(seeder.ready());
    road.pre_add = json::array({1, false, true, 1, "renamed",
                                json::array({json{{"name", tracker.announce_url()}}}),
                                road.chosen.string(), false});
    road.priorities = priorities_skipping(t, "skip.bin");  // "Don't Download"
    {
        RunningClient client(road);
        ASSERT_TRUE(client.add_until_complete(t.torrent_file.string(), 0, t.hash))
            << client.process.stderr_text();
        EXPECT_EQ(client.page.calls_of("reset_file_paths").size(), 1U);
        ASSERT_EQ(client.close(), 0);
    }
    EXPECT_EQ(std::filesystem::file_size(road.chosen / "renamed" / "keep.bin"), 300000U);
    EXPECT_FALSE(std::filesystem::exists(road.chosen / "renamed" / "skip.bin"));

    const auto record_file = road.home / "VTR" / (t.hash + ".vtr");
    const lt::add_torrent_params record = read_record(record_file);
    ASSERT_TRUE(record.ti != nullptr);
    EXPECT_EQ(record.save_path, road.chosen.string());
    const auto skipped = static_cast<std::size_t>(file_index(t, "skip.bin"));
    ASSERT_GT(record.file_priorities.size(), skipped);
    EXPECT_EQ(record.file_priorities[skipped], lt::dont_download);
    EXPECT_EQ(record.trackers, (std::vector<std::string>{tracker.announce_url()}));

    // the next run's engine reads the record back: the data checks as complete
    RunningClient again(road, {record_file.string()});
    EXPECT_TRUE(
        again.page.serve_until([&] { return last_progress(again.page, t.hash) == 100; }, 60s));
    EXPECT_EQ(again.close(), 0);
}

struct MagnetCase {
    const char* name;
    bool auto_start;
    bool bep53;
};

TEST_F(TransferTest, MagnetLinksFetchTheirMetadataFromTheSeeder) {
    const MagnetCase cases[] = {
        {"options dialog", false, false},
        {"auto start", true, false},
        {"link selects its files", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto settings = loopback_client_settings();
        settings.bep53 = c.bep53;
        Road road(settings);
        road.auto_start = c.auto_start;
        const auto t =
            make_test_torrent(road.dir / "seed", "show", {{"one.bin", 100000}, {"two.bin", 50000}},
                              {tracker.announce_url()});
        Seeder seeder(tracker, t);
        ASSERT_TRUE(seeder.ready());
        road.magnet_options =
            json::array({1, false, true, 0, "", json::array(), road.chosen.string(), false});
        road.priorities = priorities_skipping(t, "");
        std::string link = "magnet:?xt=urn:btih:" + t.hash + "&tr=" + tracker.announce_url();
        if (c.bep53) {
            link += "&so=" + std::to_string(file_index(t, "two.bin"));
        }

        RunningClient client(road);
        ASSERT_TRUE(client.add_until_complete(link, 1, t.hash)) << client.process.stderr_text();
        const ConsolePage& page = client.page;
        const bool dialog = !c.auto_start && !c.bep53;
        EXPECT_EQ(page.calls_of("metadata_received_alert_stopped").size(), dialog ? 1U : 0U);
        EXPECT_EQ(page.calls_of("metadata_received_alert").size(), dialog ? 0U : 1U);
        EXPECT_EQ(page.calls_of("show_magnet_options").size(), dialog ? 1U : 0U);
        const auto folder = dialog ? road.chosen : road.downloads;
        EXPECT_EQ(std::filesystem::exists(folder / "show" / "one.bin"), !c.bep53);
        EXPECT_TRUE(std::filesystem::exists(folder / "show" / "two.bin"));
        EXPECT_EQ(client.close(), 0);
        EXPECT_TRUE(std::filesystem::exists(road.home / "VTR" / (t.hash + ".vtr")));
    }
}

TEST_F(TransferTest, V2AndHybridTorrentsDownloadTheSameWay) {
    const std::pair<const char*, lt::create_flags_t> kinds[] = {
        {"v2 only", lt::create_torrent::v2_only},
        {"hybrid", lt::create_flags_t{}},
    };
    for (const auto& [name, flags] : kinds) {
        SCOPED_TRACE(name);
        Road road;
        const auto t =
            make_test_torrent(road.dir / "seed", "modern", {{"a.bin", 70000}, {"b.bin", 40000}},
                              {tracker.announce_url()}, 16 * 1024, flags);
        Seeder seeder(tracker, t);
        ASSERT_TRUE(seeder.ready());
        road.pre_add = json::array({1, false, true, 0, "",
                                    json::array({json{{"name", tracker.announce_url()}}}),
                                    road.chosen.string(), false});
        RunningClient client(road);
        ASSERT_TRUE(client.add_until_complete(t.torrent_file.string(), 0, t.hash))
            << client.process.stderr_text();
        EXPECT_EQ(std::filesystem::file_size(road.chosen / "modern" / "a.bin"), 70000U);
        EXPECT_EQ(client.close(), 0);
        EXPECT_TRUE(read_record(road.home / "VTR" / (t.hash + ".vtr")).ti != nullptr);
    }
}

// Records are replaced whole, so a client killed in the middle of rewriting them leaves each
// record as it was before or after, never half written.
TEST_F(TransferTest, AKilledClientNeverLeavesABrokenRecord) {
    Road road;
    road.auto_start = true;
    const auto t = make_test_torrent(road.dir / "seed", "kept", {{"kept", 500000}});
    const auto record_file = road.home / "VTR" / (t.hash + ".vtr");
    std::mt19937 random(7);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        RunningClient client(road);
        client.page.command("add_torrent_to_session", json::array({t.torrent_file.string(), 0}));
        ASSERT_TRUE(client.page.serve_until(
            [&] { return !client.page.calls_of("add_torrent_alert").empty(); }));
        ASSERT_TRUE(std::filesystem::exists(record_file));
        for (int i = 0; i < 30; ++i) {
            client.page.command("timer_events", json::array({true}));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
        client.process.signal(SIGKILL);
        client.process.wait(10s);
        EXPECT_TRUE(read_record(record_file).ti != nullptr);
    }
}

}  // namespace
}  // namespace velmora::test
