// Torrent records on disk, the pending-hash lists and the bulk save against a loopback session.
#include "velmora/lifecycle/record_store.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/entry.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/write_resume_data.hpp>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/engine_fixtures.h"
#include "support/temp_dir.h"
#include "velmora/bridge/event_names.h"
#include "velmora/engine/error_translation.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/lifecycle/file_io.h"

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;
using bridge::UiArray;
using bridge::UiValue;

constexpr const char* kLoopbackTracker = "http://127.0.0.1:1/announce";

void write_bytes(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << file;
}

std::string read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> folder_entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string bencoded(const lt::entry& e) {
    std::string out;
    lt::bencode(std::back_inserter(out), e);
    return out;
}

lt::add_torrent_params params_for(const std::shared_ptr<lt::torrent_info>& ti,
                                  const fs::path& save_path) {
    lt::add_torrent_params params;
    params.ti = ti;
    params.info_hashes = ti->info_hashes();
    params.save_path = save_path.string();
    params.trackers = {kLoopbackTracker};
    return params;
}

// What the pages must receive for an engine error.
UiValue engine_error_arg(const lt::error_code& error, std::string_view shown_name) {
    const engine::ErrorReport report = engine::translate_error(error);
    return UiArray{report.message, shown_name, report.kind, report.text_id};
}

UiValue unreadable_arg(std::string_view shown_name) {
    const lt::error_code no_error(0, boost::system::system_category());
    return UiArray{no_error.message(), shown_name, std::int32_t{-1}, std::int32_t{193}};
}

// The resume data of `params` with a padding string that brings it to exactly `total` bytes.
std::string record_of_size(const lt::add_torrent_params& params, std::size_t total) {
    lt::entry record = lt::write_resume_data(params);
    const std::string key = "10:zz-padding";
    record["zz-padding"] = std::string();
    // spliced in by hand: encoding a 40 MB entry takes seconds in a debug build
    const std::string empty = bencoded(record);
    const std::size_t value_at = empty.find(key + "0:") + key.size();
    const std::size_t rest = empty.size() - 2;
    for (std::size_t digits = 1; digits < 12; ++digits) {
        const std::size_t length = total - rest - digits - 1;
        if (std::to_string(length).size() == digits) {
            return empty.substr(0, value_at) + std::to_string(length) + ':' +
                   std::string(length, 'p') + empty.substr(value_at + 2);
        }
    }
    return {};
}

class RecordFolder : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder());
        // a one-file torrent over a real file, so that a session can check it and seed it
        torrent =
            test::make_test_torrent(temp / "data", "payload.bin", {{"payload.bin", 40'000}}).info;
        key = engine::torrent_key(torrent->info_hashes());
    }
    fs::path folder() const { return temp / "VTR"; }
    std::vector<std::pair<std::string, UiValue>> events() const { return sink.events(); }

    test::TempDir temp;
    test::RecordingPage sink;
    RecordStore store{temp / "VTR", sink};
    std::shared_ptr<lt::torrent_info> torrent;
    std::string key;
};

TEST_F(RecordFolder, RecordPathExistenceAndDeletion) {
    EXPECT_EQ(store.record_path(key), folder() / (key + ".vtr"));
    EXPECT_FALSE(store.record_exists(key));
    store.write_record(key, params_for(torrent, temp / "data"));
    EXPECT_TRUE(store.record_exists(key));
    store.delete_record(key);
    EXPECT_FALSE(store.record_exists(key));
    store.delete_record(key);  // deleting what is gone is harmless

    // any kind of file system entry counts, not only a regular file
    fs::create_directory(store.record_path(key));
    EXPECT_TRUE(store.record_exists(key));
    EXPECT_TRUE(events().empty());
}

TEST_F(RecordFolder, WrittenRecordLoadsBackInEitherOrder) {
    store.write_record(key, params_for(torrent, temp / "data"));
    const auto expect_same_torrent = [&](const lt::torrent_info& metadata,
                                         const lt::add_torrent_params& params) {
        EXPECT_EQ(metadata.info_hashes(), torrent->info_hashes());
        EXPECT_EQ(metadata.name(), "payload.bin");
        EXPECT_EQ(metadata.total_size(), 40'000);
        EXPECT_EQ(params.info_hashes, torrent->info_hashes());
        EXPECT_EQ(params.save_path, (temp / "data").string());
        EXPECT_EQ(params.trackers, std::vector<std::string>{kLoopbackTracker});
    };
    for (const LoadOrder order : {LoadOrder::MetadataFirst, LoadOrder::ResumeDataFirst}) {
        const std::optional<RecordLoad> load =
            store.load_record(store.record_path(key), key + ".vtr", order);
        ASSERT_TRUE(load.has_value()) << static_cast<int>(order);
        ASSERT_NE(load->metadata, nullptr);
        expect_same_torrent(*load->metadata, load->params);
    }

    std::optional<RecordStore::Decoded> decoded =
        store.load_metadata(store.record_path(key), key + ".vtr");
    ASSERT_TRUE(decoded.has_value());
    // the decoded nodes must survive the move of the buffer they point into
    const RecordStore::Decoded moved = std::move(*decoded);
    const std::optional<lt::add_torrent_params> params =
        store.read_resume_params(moved, key + ".vtr");
    ASSERT_TRUE(params.has_value());
    expect_same_torrent(*moved.metadata, *params);
    EXPECT_TRUE(events().empty());
}

struct FailureCase {
    const char* label;
    // puts the file (or no file) at the path that is then loaded
    std::function<void(const fs::path& file, const lt::torrent_info& torrent)> make;
    LoadOrder order;
    // nullopt: the file counts as unreadable
    std::optional<lt::error_code> error;
};

TEST_F(RecordFolder, FailedLoadRaisesOneRecordErrorForTheFailingStep) {
    const auto no_info_record = [](const fs::path& file, const lt::torrent_info& t) {
        lt::add_torrent_params magnet;
        magnet.info_hashes = t.info_hashes();
        magnet.save_path = "downloads";
        write_bytes(file, bencoded(lt::write_resume_data(magnet)));
    };
    const auto torrent_file = [](const fs::path& file, const lt::torrent_info& t) {
        lt::entry plain;
        plain["info"] = lt::bdecode(t.info_section());
        write_bytes(file, bencoded(plain));
    };
    const auto neither = [](const fs::path& file, const lt::torrent_info&) {
        write_bytes(file, "d3:fooi1ee");
    };
    const lt::error_code missing_info = lt::errors::torrent_missing_info;
    const lt::error_code not_a_record = lt::errors::invalid_file_tag;
    const FailureCase cases[] = {
        {"missing file", [](const fs::path&, const lt::torrent_info&) {}, LoadOrder::MetadataFirst,
         std::nullopt},
        {"folder in place of the file",
         [](const fs::path& file, const lt::torrent_info&) { fs::create_directory(file); },
         LoadOrder::MetadataFirst, std::nullopt},
        {"broken bencoding",
         [](const fs::path& file, const lt::torrent_info&) { write_bytes(file, "d4:spam"); },
         LoadOrder::MetadataFirst,
         lt::bdecode_errors::make_error_code(lt::bdecode_errors::unexpected_eof)},
        {"no info dictionary", no_info_record, LoadOrder::MetadataFirst, missing_info},
        {"no info dictionary, resume data first", no_info_record, LoadOrder::ResumeDataFirst,
         missing_info},
        {"torrent file, not a record", torrent_file, LoadOrder::MetadataFirst, not_a_record},
        {"both steps fail", neither, LoadOrder::MetadataFirst, missing_info},
        {"both steps fail, resume data first", neither, LoadOrder::ResumeDataFirst, not_a_record},
    };
    int n = 0;
    for (const FailureCase& c : cases) {
        sink.clear();
        const fs::path file = folder() / ("case" + std::to_string(n++) + ".vtr");
        c.make(file, *torrent);
        const std::string shown = file.string();

        EXPECT_FALSE(store.load_record(file, shown, c.order).has_value()) << c.label;
        ASSERT_EQ(events().size(), 1U) << c.label;
        EXPECT_EQ(events()[0].first, bridge::event::kVtrError) << c.label;
        const UiValue expected =
            c.error ? engine_error_arg(*c.error, shown) : unreadable_arg(shown);
        EXPECT_EQ(events()[0].second, expected) << c.label;
    }
}

TEST_F(RecordFolder, BrokenBencodingCarriesTheDecoderKind) {
    write_bytes(folder() / "broken.vtr", "d4:spam");
    EXPECT_FALSE(store.load_metadata(folder() / "broken.vtr", "broken.vtr").has_value());
    ASSERT_EQ(events().size(), 1U);
    const auto recorded = events();
    const UiArray& arg = recorded[0].second.as_array();
    ASSERT_EQ(arg.size(), 4U);
    EXPECT_EQ(arg[1], UiValue("broken.vtr"));
    EXPECT_EQ(arg[2], UiValue(std::int32_t{2}));
}

TEST_F(RecordFolder, MetadataAloneAcceptsATorrentFileThatIsNoRecord) {
    lt::entry plain;
    plain["info"] = lt::bdecode(torrent->info_section());
    write_bytes(folder() / "plain.vtr", bencoded(plain));

    const std::optional<RecordStore::Decoded> decoded =
        store.load_metadata(folder() / "plain.vtr", "plain.vtr");
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->metadata->info_hashes(), torrent->info_hashes());
    EXPECT_TRUE(events().empty());

    EXPECT_FALSE(store.read_resume_params(*decoded, "plain.vtr").has_value());
    ASSERT_EQ(events().size(), 1U);
    EXPECT_EQ(events()[0].second, engine_error_arg(lt::errors::invalid_file_tag, "plain.vtr"));
}

TEST_F(RecordFolder, SizeLimitIsFortyMillionBytes) {
    const struct {
        std::size_t size;
        bool loads;
    } cases[] = {{40'000'000, true}, {40'000'001, false}};
    for (const auto& c : cases) {
        sink.clear();
        const std::string record = record_of_size(params_for(torrent, temp / "data"), c.size);
        ASSERT_EQ(record.size(), c.size);
        write_bytes(store.record_path(key), record);

        const std::optional<RecordLoad> load = store.load_record(store.record_path(key), "big");
        EXPECT_EQ(load.has_value(), c.loads) << c.size;
        if (c.loads) {
            EXPECT_TRUE(events().empty()) << c.size;
        } else {
            ASSERT_EQ(events().size(), 1U) << c.size;
            EXPECT_EQ(events()[0].second, unreadable_arg("big")) << c.size;
        }
    }
}

// Lowers the file size limit of the whole process, which stops writes even for root.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_handler_)(int) = nullptr;
};

TEST_F(RecordFolder, FailedWriteLeavesThePreviousRecord) {
    lt::add_torrent_params params = params_for(torrent, temp / "data");
    store.write_record(key, params);
    const std::string before = read_bytes(store.record_path(key));
    ASSERT_FALSE(before.empty());

    for (int i = 0; i < 100; ++i) {
        params.trackers.push_back("http://127.0.0.1:" + std::to_string(1000 + i) + "/announce");
    }
    {
        const FileSizeLimit limit(before.size());
        store.write_record(key, params);  // larger than the limit allows
    }
    EXPECT_EQ(read_bytes(store.record_path(key)), before);
    EXPECT_EQ(folder_entries(folder()), std::vector<std::string>{key + ".vtr"});
    EXPECT_TRUE(events().empty());
}

TEST_F(RecordFolder, WriteOntoAFolderChangesNothing) {
    fs::create_directory(store.record_path(key));
    write_bytes(store.record_path(key) / "inside", "kept");

    store.write_record(key, params_for(torrent, temp / "data"));
    EXPECT_EQ(read_bytes(store.record_path(key) / "inside"), "kept");
    EXPECT_EQ(folder_entries(folder()), std::vector<std::string>{key + ".vtr"});
}

TEST_F(RecordFolder, OverlappingWritesAlwaysShowOneWholeRecord) {
    // two records of very different sizes, so that any mix of the two is visible
    lt::add_torrent_params large = params_for(torrent, temp / "large");
    for (int i = 0; i < 200; ++i) {
        large.trackers.push_back("http://127.0.0.1:" + std::to_string(1000 + i) + "/announce");
    }
    const std::vector<lt::add_torrent_params> versions = {params_for(torrent, temp / "small"),
                                                          large};
    std::vector<std::string> whole;
    for (const lt::add_torrent_params& version : versions) {
        const std::vector<char> bytes = lt::write_resume_data_buf(version);
        whole.emplace_back(bytes.begin(), bytes.end());
    }
    const auto is_whole = [&](const std::string& bytes) {
        return std::find(whole.begin(), whole.end(), bytes) != whole.end();
    };

    std::atomic<int> running_writers{2};
    std::vector<std::thread> writers;
    for (const lt::add_torrent_params& version : versions) {
        writers.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                store.write_record(key, version);
            }
            --running_writers;
        });
    }
    int torn_reads = 0;
    while (running_writers > 0) {
        const std::string seen = read_bytes(store.record_path(key));
        torn_reads += !seen.empty() && !is_whole(seen) ? 1 : 0;
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(torn_reads, 0);
    EXPECT_TRUE(is_whole(read_bytes(store.record_path(key))));
    EXPECT_EQ(folder_entries(folder()), std::vector<std::string>{key + ".vtr"});
}

TEST(PendingHashes, DuplicatesAreTakenOneAtATime) {
    enum class Op { Add, TakeOne, TakeAll, Contains };
    const struct {
        Op op;
        const char* hash;
        bool result;  // of the query; ignored for Add
    } steps[] = {
        {Op::Contains, "a", false}, {Op::TakeOne, "a", false}, {Op::TakeAll, "a", false},
        {Op::Add, "a", true},       {Op::Add, "a", true},      {Op::Add, "b", true},
        {Op::TakeOne, "a", true},   {Op::Contains, "a", true}, {Op::TakeOne, "a", true},
        {Op::Contains, "a", false}, {Op::TakeOne, "a", false}, {Op::Contains, "b", true},
        {Op::Add, "b", true},       {Op::Add, "b", true},      {Op::TakeAll, "b", true},
        {Op::Contains, "b", false}, {Op::TakeAll, "b", false},
    };
    PendingHashes pending;
    EXPECT_TRUE(pending.empty());
    int step = 0;
    for (const auto& s : steps) {
        ++step;
        switch (s.op) {
            case Op::Add:
                pending.add(s.hash);
                EXPECT_FALSE(pending.empty()) << step;
                break;
            case Op::TakeOne:
                EXPECT_EQ(pending.take_one(s.hash), s.result) << step;
                break;
            case Op::TakeAll:
                EXPECT_EQ(pending.take_all(s.hash), s.result) << step;
                break;
            case Op::Contains:
                EXPECT_EQ(pending.contains(s.hash), s.result) << step;
                break;
        }
    }
    EXPECT_TRUE(pending.empty());
}

TEST(PendingHashes, ConcurrentAddsAndTakesBalance) {
    PendingHashes pending;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pending, t] {
            const std::string hash(40, static_cast<char>('a' + t));
            for (int i = 0; i < 200; ++i) {
                pending.add(hash);
            }
            for (int i = 0; i < 200; ++i) {
                EXPECT_TRUE(pending.take_one(hash));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(pending.empty());
}

std::unique_ptr<lt::session> loopback_session() {
    lt::settings_pack pack;
    pack.set_bool(lt::settings_pack::enable_dht, false);
    pack.set_bool(lt::settings_pack::enable_lsd, false);
    pack.set_bool(lt::settings_pack::enable_upnp, false);
    pack.set_bool(lt::settings_pack::enable_natpmp, false);
    pack.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    pack.set_bool(lt::settings_pack::enable_incoming_utp, false);
    pack.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
    pack.set_str(lt::settings_pack::dht_bootstrap_nodes, "");
    pack.set_int(lt::settings_pack::alert_mask, lt::alert_category::error |
                                                    lt::alert_category::status |
                                                    lt::alert_category::storage);
    return std::make_unique<lt::session>(pack);
}

lt::add_torrent_params magnet_params(const fs::path& save_path) {
    lt::add_torrent_params params;
    params.info_hashes.v1 = lt::sha1_hash("magnet-without-info!");
    params.save_path = save_path.string();
    return params;
}

class SessionRecords : public RecordFolder {
protected:
    void drain_alerts() {
        std::vector<lt::alert*> alerts;
        session->pop_alerts(&alerts);
    }
    std::unique_ptr<lt::session> session = loopback_session();
};

TEST_F(SessionRecords, NothingWithMetadataReturnsAtOnce) {
    const struct {
        const char* label;
        bool add_magnet;
    } cases[] = {{"empty session", false}, {"magnet without metadata", true}};
    for (const auto& c : cases) {
        if (c.add_magnet) {
            session->add_torrent(magnet_params(temp / "magnet"));
        }
        drain_alerts();
        const auto start = std::chrono::steady_clock::now();
        // the default silence: a wait would show as ten seconds
        EXPECT_EQ(save_all_records(*session, store, false, nullptr), 0) << c.label;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.label;
        EXPECT_TRUE(folder_entries(folder()).empty()) << c.label;
    }
}

TEST_F(SessionRecords, WritesOneRecordPerTorrentWithMetadata) {
    session->add_torrent(params_for(torrent, temp / "data"));
    session->add_torrent(magnet_params(temp / "magnet"));
    for (const bool for_exit : {false, true}) {
        fs::remove_all(folder());
        fs::create_directories(folder());
        std::vector<int> handed_on;
        const auto start = std::chrono::steady_clock::now();
        const int written = save_all_records(
            *session, store, for_exit, [&](lt::alert* a) { handed_on.push_back(a->type()); },
            std::chrono::seconds(3));

        EXPECT_EQ(written, 1) << for_exit;
        // the one answer ends the wait, long before the silence would
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << for_exit;
        EXPECT_EQ(folder_entries(folder()), std::vector<std::string>{key + ".vtr"}) << for_exit;
        const std::optional<RecordLoad> load = store.load_record(store.record_path(key), key);
        ASSERT_TRUE(load.has_value()) << for_exit;
        EXPECT_EQ(load->metadata->info_hashes(), torrent->info_hashes());
        EXPECT_EQ(load->params.trackers, std::vector<std::string>{kLoopbackTracker});
        // a copy: the engine declares the alert types without a definition to bind a reference to
        const int answer_type = lt::save_resume_data_alert::alert_type;
        EXPECT_EQ(std::count(handed_on.begin(), handed_on.end(), answer_type), 0);
    }
    EXPECT_TRUE(events().empty());
}

TEST_F(SessionRecords, RefreshTrackersKeepsTheListAndIgnoresGoneTorrents) {
    lt::add_torrent_params params = params_for(torrent, temp / "data");
    params.trackers = {kLoopbackTracker, "http://127.0.0.1:2/announce"};
    params.tracker_tiers = {0, 1};
    const lt::torrent_handle handle = session->add_torrent(params);

    refresh_trackers(handle);
    std::vector<std::pair<std::string, int>> after;
    for (const lt::announce_entry& tracker : handle.trackers()) {
        after.emplace_back(tracker.url, tracker.tier);
    }
    const std::vector<std::pair<std::string, int>> expected = {{kLoopbackTracker, 0},
                                                               {"http://127.0.0.1:2/announce", 1}};
    EXPECT_EQ(after, expected);

    session->remove_torrent(handle);
    for (const lt::torrent_handle& gone : {handle, lt::torrent_handle()}) {
        EXPECT_NO_THROW(refresh_trackers(gone));
    }
}

// A writer killed between its write and its rename leaves its temporary; the next start removes
// it, and nothing else: not a record, not a file of another name, not a running writer's.
TEST(StaleTemporaries, OnlyThoseOfWritersThatAreGoneAreRemoved) {
    const pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);
    const std::string dead = std::to_string(gone);
    const std::string alive = std::to_string(::getpid());
    const struct {
        std::string name;
        bool removed;
    } cases[] = {
        {".velmora-" + dead + "-7.tmp", true},
        {".velmora-" + dead + "-bulk-3.tmp", true},
        {"advanced-client-settings.xml.tmp-" + dead, true},
        {".velmora-" + alive + "-8.tmp", false},
        {"advanced-client-settings.xml.tmp-" + alive, false},
        {"0123456789abcdef0123456789abcdef01234567.vtr", false},
        {".velmora-x-1.tmp", false},
        {".velmora-" + dead + ".tmp", false},
        {"notes.tmp-" + dead + "a", false},
        {".tmp-" + dead, false},
    };
    test::TempDir folder;
    for (const auto& c : cases) {
        write_bytes(folder / c.name, "d8:some dataee");
    }
    fs::create_directory(folder / (".velmora-" + dead + "-9.tmp"));

    remove_stale_temporaries(folder.path());

    for (const auto& c : cases) {
        EXPECT_EQ(fs::exists(folder / c.name), !c.removed) << c.name;
    }
    EXPECT_TRUE(fs::is_directory(folder / (".velmora-" + dead + "-9.tmp")));
    remove_stale_temporaries(folder / "missing");  // no folder yet: nothing to do, no throw
}

}  // namespace
}  // namespace velmora::lifecycle
