// Whole transfers through the real client process: a foreign seeder (the engine's Python
// binding) and a real tracker, everything on 127.0.0.1.
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libtorrent/hex.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/console_page.h"
#include "support/engine_fixtures.h"
#include "support/temp_dir.h"
#include "velmora/config/advanced_settings_xml.h"

namespace velmora::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::vector<std::string> kEnv = {"VELMORA_LOOPBACK_ONLY=1"};

int free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts_connections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Debian's opentracker on a loopback port of its own. It serves only the torrents on its
// access list, which it reads again on SIGHUP.
class Tracker {
public:
    explicit Tracker(const TempDir& dir)
        : port_(free_loopback_port()),
          list_(prepare(dir)),
          process_({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", std::to_string(port_), "-P",
                    std::to_string(port_), "-d", dir.path().string(), "-w", "allowed"},
                   {}) {
        ready_ = eventually([this] { return accepts_connections(port_); }, 10s);
    }
    bool ready() const { return ready_; }
    // Both keys of a hybrid torrent are announced, so both go on the list.
    void allow(const TestTorrent& torrent) {
        const lt::info_hash_t hashes = torrent.info->info_hashes();
        std::ofstream list(list_, std::ios::app);
        if (hashes.has_v1()) {
            list << lt::aux::to_hex(hashes.v1) << '\n';
        }
        if (hashes.has_v2()) {
            list << lt::aux::to_hex(lt::sha1_hash(hashes.v2.data())) << '\n';
        }
        list.close();
        process_.signal(SIGHUP);
        std::this_thread::sleep_for(200ms);
    }
    std::string announce_url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/announce";
    }

private:
    // The tracker drops to an unprivileged user inside its folder, which must let it in.
    static std::filesystem::path prepare(const TempDir& dir) {
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
        const auto list = dir / "allowed";
        std::ofstream(list).close();
        std::filesystem::permissions(list, std::filesystem::perms(0644));
        return list;
    }

    int port_;
    std::filesystem::path list_;
    ChildProcess process_;
    bool ready_ = false;
};

// The seeder script beside this test, run by Debian's own Python, where the binding lives.
class Seeder {
public:
    Seeder(Tracker& tracker, const TestTorrent& torrent)
        : allowed_((tracker.allow(torrent), true)),
          process_({"/usr/bin/python3", std::string(VELMORA_SEEDER_SCRIPT),
                    torrent.torrent_file.string(), torrent.content_parent.string()},
                   {}) {
        ready_ = process_.read_stdout_until("seeding ", 30s).find("seeding ") != std::string::npos;
    }
    bool ready() const { return ready_; }

private:
    bool allowed_;
    ChildProcess process_;
    bool ready_ = false;
};

// What the page hands back at start-up: the download folder and the run options.
json resumed_settings(const std::filesystem::path& downloads, bool auto_start) {
    json saved = json::array(
        {0, 0, "", downloads.string(), "", false, 0, false, false, auto_start, 3, 0, 0, 750, 450});
    for (int i = 0; i < 10; ++i) {
        saved.push_back(true);
    }
    return json::array({saved});
}

struct Road {
    TempDir dir;
    std::filesystem::path home = dir / "home";
    std::filesystem::path downloads = dir / "downloads";
    std::filesystem::path chosen = dir / "chosen";
    bool auto_start = false;
    json pre_add = json();
    json magnet_options = json();
    json priorities = json::array();

    // Every client of these tests starts with loopback-only settings.
    explicit Road(config::ClientSettings settings = loopback_client_settings()) {
        std::filesystem::create_directories(home);
        std::filesystem::create_directories(downloads);
        settings.respect_sleep = true;  // a test never holds the machine awake
        EXPECT_TRUE(
            config::save_advanced_settings(home / "advanced-client-settings.xml", settings));
    }

    std::vector<std::string> client_argv(const std::vector<std::string>& args = {}) const {
        std::vector<std::string> argv = {velmora_binary(), "--ui", "console", "--home",
                                         home.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    ConsolePage::Answer page_answers(ConsolePage*& page) const {
        return [this, &page](const PageCall& call) -> json {
            if (call.fn == "IndexFromHash") {
                return -1;
            }
            if (call.fn == "get_resume_data") {
                page->command("set_resumed_settings", resumed_settings(downloads, auto_start));
                return 0;
            }
            if (call.fn == "pre_add_torrent") {
                return pre_add;
            }
            if (call.fn == "show_magnet_options") {
                return magnet_options;
            }
            if (call.fn == "get_files_prioraty") {
                return priorities;
            }
            if (call.fn == "do_exit") {
                return 1;
            }
            return nullptr;
        };
    }
};

// A file's index in the torrent: the engine keeps the order the files were found in, with its
// pad files between them.
int file_index(const TestTorrent& t, const std::string& name) {
    const lt::file_storage& files = t.info->files();
    for (const lt::file_index_t i : files.file_range()) {
        if (files.file_name(i) == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

json priorities_skipping(const TestTorrent& t, const std::string& skipped) {
    json priorities = json::array();
    for (int i = 0; i < t.info->num_files(); ++i) {
        priorities.push_back(i == file_index(t, skipped) ? 0 : 4);
    }
    return priorities;
}

int last_progress(const ConsolePage& page, const std::string& hash) {
    int pct = -1;
    for (const auto& call : page.calls_of("update_torrent")) {
        if (call.arg[0]["hash"] == hash) {
            pct = call.arg[0]["pct_done"].get<int>();
        }
    }
    return pct;
}

void close_window(ChildProcess& client, ConsolePage& page) {
    client.write_stdin(R"({"t":"close"})"
                       "\n");
    page.serve_until([&] { return !page.calls_of("exit_session").empty(); }, 30s);
}

// A client of a road, its page answering as the road says.
struct RunningClient {
    explicit RunningClient(const Road& road, const std::vector<std::string>& args = {})
        : process(road.client_argv(args), kEnv), page(process, road.page_answers(self)) {
        self = &page;
        page.command("start_timer");
    }
    // Adds the torrent and serves the page until it is complete.
    bool add_until_complete(const std::string& source, int kind, const std::string& hash) {
        page.command("add_torrent_to_session", json::array({source, kind}));
        return page.serve_until([&] { return last_progress(page, hash) == 100; }, 60s);
    }
    std::optional<int> close() {
        close_window(process, page);
        return process.wait(30s);
    }

    ConsolePage* self = nullptr;
    ChildProcess process;
    ConsolePage page;
};

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
