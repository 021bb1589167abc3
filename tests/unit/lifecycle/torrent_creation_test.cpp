// Torrent files made from real files, records and torrent files, read back by the engine's own
// Python binding, so a field the builder got wrong shows as the engine sees it.
#include "velmora/lifecycle/torrent_creation.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <gtest/gtest.h>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/hex.hpp>
#include <libtorrent/session.hpp>
#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/engine_fixtures.h"
#include "support/temp_dir.h"
#include "velmora/bridge/event_names.h"

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;
namespace event = bridge::event;
using bridge::UiArray;
using bridge::UiValue;
using json = nlohmann::json;
using namespace std::chrono_literals;

// The fields of each torrent file as the engine's binding reads them, in order.
json inspect(const std::vector<fs::path>& torrents) {
    std::vector<std::string> argv{"/usr/bin/python3", VELMORA_INSPECT_TORRENT_SCRIPT};
    for (const auto& torrent : torrents) {
        argv.push_back(torrent.string());
    }
    test::ChildProcess python(argv, {});
    EXPECT_EQ(python.wait(30s).value_or(-1), 0) << python.stderr_text();
    return json::parse(python.stdout_text());
}

json inspect(const fs::path& torrent) {
    return inspect(std::vector<fs::path>{torrent}).at(0);
}

std::string write_file(const fs::path& file, int size, unsigned seed = 1) {
    fs::create_directories(file.parent_path());
    std::string bytes;
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245U + 12345U;
        bytes.push_back(static_cast<char>(seed >> 16));
    }
    std::ofstream(file, std::ios::binary) << bytes;
    return bytes;
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string sha1_hex(const std::string& bytes) {
    return lt::aux::to_hex(lt::hasher(bytes.data(), static_cast<int>(bytes.size())).final());
}

UiValue strings(std::initializer_list<const char*> items) {
    UiArray out;
    for (const char* item : items) {
        out.emplace_back(item);
    }
    return out;
}

std::vector<std::string> entries_of(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kSimilar = "0123456789abcdef0123456789abcdef01234567";

class CreationTest : public ::testing::Test {
protected:
    TorrentCreator& creator(TorrentCreator::PieceObserver observer = {}) {
        creator_.emplace(
            page, running,
            [this](const fs::path& file, const std::string& save_path) {
                std::lock_guard lock(added_lock);
                added.emplace_back(file.string(), save_path);
            },
            std::move(observer));
        return *creator_;
    }
    // Ticks the way the status bar does until every queued job has ended.
    void run_queue() {
        ASSERT_TRUE(test::eventually([&] {
            creator_->start_next();
            return creator_->queue_length() == 0 && !creator_->busy();
        }));
    }
    CreateJob job_for(const fs::path& source, const std::string& output_name) {
        CreateJob job;
        job.source = source;
        job.output = out / output_name;
        return job;
    }

    test::TempDir dir;
    fs::path share = dir / "share";
    fs::path out = dir / "out";
    test::RecordingPage page;
    std::atomic<bool> running{true};
    std::mutex added_lock;
    std::vector<std::pair<std::string, std::string>> added;
    std::optional<TorrentCreator> creator_;

    void SetUp() override { fs::create_directories(out); }
};

TEST(CreateJobFrom, ReadsEveryOptionFromItsPosition) {
    const UiArray options{"/src/album",
                          "/out/album.torrent",
                          "a comment",
                          32768,
                          1,
                          1,
                          1,
                          9,
                          strings({"shelf"}),
                          strings({"abc"}),
                          2,
                          "/certs/root.pem",
                          1,
                          strings({"127.0.0.1:6881"})};
    const CreateJob job = create_job_from(UiValue(options), strings({"http://127.0.0.1:1/a"}),
                                          strings({"http://127.0.0.1:2/"}));
    EXPECT_EQ(job.source, "/src/album");
    EXPECT_EQ(job.output, "/out/album.torrent");
    EXPECT_EQ(job.comment, "a comment");
    EXPECT_EQ(job.piece_size, 32768);
    EXPECT_TRUE(job.is_private && job.add_after_creation && job.optimize_alignment);
    EXPECT_TRUE(job.file_hashes);
    EXPECT_EQ(job.reserved, 9);
    EXPECT_EQ(job.trackers, std::vector<std::string>{"http://127.0.0.1:1/a"});
    EXPECT_EQ(job.web_seeds, std::vector<std::string>{"http://127.0.0.1:2/"});
    EXPECT_EQ(job.collections, std::vector<std::string>{"shelf"});
    EXPECT_EQ(job.similar_torrents, std::vector<std::string>{"abc"});
    EXPECT_EQ(job.dht_nodes, std::vector<std::string>{"127.0.0.1:6881"});
    EXPECT_EQ(job.format, TorrentFormat::Hybrid);
    EXPECT_EQ(job.root_certificate, "/certs/root.pem");
}

TEST(CreateJobFrom, MistypedOrMissingOptionsReadAsNothing) {
    const UiArray options{7,   UiValue(), "x", "32768", "1",
                          2.5, UiValue(), "9", "shelf", UiArray{UiValue(3), UiValue("k")}};
    const CreateJob job =
        create_job_from(UiValue(options), UiValue("http://127.0.0.1:1/a"), UiValue());
    EXPECT_TRUE(job.source.empty());
    EXPECT_TRUE(job.output.empty());
    EXPECT_EQ(job.piece_size, 0);
    EXPECT_FALSE(job.is_private || job.add_after_creation || job.optimize_alignment);
    EXPECT_EQ(job.reserved, 0);
    EXPECT_TRUE(job.trackers.empty());
    EXPECT_TRUE(job.collections.empty());
    // a mistyped entry keeps its place, so the entries after it keep their tiers
    EXPECT_EQ(job.similar_torrents, (std::vector<std::string>{"", "k"}));
    EXPECT_EQ(job.format, TorrentFormat::V1);
    EXPECT_TRUE(create_job_from(UiValue(), UiValue(), UiValue()).dht_nodes.empty());

    const struct {
        std::int32_t option;
        TorrentFormat format;
    } formats[] = {{0, TorrentFormat::V1},
                   {1, TorrentFormat::V2},
                   {2, TorrentFormat::Hybrid},
                   {7, TorrentFormat::V2}};
    for (const auto& f : formats) {
        UiArray with_format(14);
        with_format[10] = f.option;
        EXPECT_EQ(create_job_from(UiValue(with_format), {}, {}).format, f.format) << f.option;
    }
}

TEST_F(CreationTest, CreatedTorrentsCarryWhatTheJobAsks) {
    const std::map<std::string, std::string> content = {
        {"album/a.bin", write_file(share / "album" / "a.bin", 20000, 1)},
        {"album/sub/b.bin", write_file(share / "album" / "sub" / "b.bin", 50000, 2)},
        {"album/c.bin", write_file(share / "album" / "c.bin", 7000, 3)},
        {"single.bin", write_file(share / "single.bin", 70000, 4)},
    };
    write_file(share / "album" / ".hidden", 10);
    write_file(share / "album" / ".cache" / "x.bin", 10);
    fs::create_symlink(share / "single.bin", share / "album" / "link.bin");
    const fs::path cert = dir / "root.pem";
    std::ofstream(cert) << "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";

    const struct {
        const char* name;
        const char* source;
        TorrentFormat format;
        std::int32_t piece_size;
        bool alignment;
        bool similar;
        bool v1;
        bool v2;
        int piece_length;
        bool pads;  // v1 only: a canonical layout pads every file to a piece
    } cases[] = {
        {"v1_file", "single.bin", TorrentFormat::V1, 0, false, false, true, false, 16384, false},
        {"v1_plain", "album", TorrentFormat::V1, 0, false, false, true, false, 16384, false},
        {"v1_aligned", "album", TorrentFormat::V1, 32768, true, false, true, false, 32768, true},
        {"v1_mutable", "album", TorrentFormat::V1, 0, false, true, true, false, 16384, true},
        {"v2_folder", "album", TorrentFormat::V2, 32768, false, false, false, true, 32768, true},
        {"v2_file", "single.bin", TorrentFormat::V2, 0, false, false, false, true, 16384, false},
        {"hybrid", "album", TorrentFormat::Hybrid, 65536, false, true, true, true, 65536, true},
    };
    TorrentCreator& jobs = creator();
    std::vector<fs::path> outputs;
    for (const auto& c : cases) {
        CreateJob job = job_for(share / c.source, std::string(c.name) + ".torrent");
        job.format = c.format;
        job.piece_size = c.piece_size;
        job.optimize_alignment = c.alignment;
        job.comment = "made for a test";
        job.is_private = true;
        job.add_after_creation = true;
        job.file_hashes = true;
        job.root_certificate = cert;
        job.trackers = {"http://127.0.0.1:1/a", "udp://127.0.0.1:2", "http://127.0.0.1:3/c", ""};
        job.web_seeds = {"http://127.0.0.1:4/files/", "http://127.0.0.1:4/seed.php", ""};
        job.dht_nodes = {"127.0.0.1:6881", ":",        "127.0.0.1:99999999999", "127.0.0.1",
                         "a:b:1",          "host:x80", "127.0.0.1:+7000"};
        if (c.similar) {
            job.similar_torrents = {kSimilar, "not a key", std::string(40, '0')};
            job.collections = {"shelf", ""};
        }
        outputs.push_back(job.output);
        jobs.enqueue(std::move(job));
    }
    run_queue();

    const json torrents = inspect(outputs);
    ASSERT_EQ(page.count(event::kPostSuccess), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const json& t = torrents.at(i);
        ASSERT_FALSE(t.contains("error")) << t["error"];
        EXPECT_EQ(
            page.args_of(event::kPostSuccess)[i],
            UiValue(UiArray{19, std::string(c.name) + ".torrent", true, outputs[i].string()}));
        EXPECT_EQ(added[i], std::make_pair(outputs[i].string(), share.string()));

        EXPECT_EQ(!t["v1"].is_null(), c.v1);
        EXPECT_EQ(!t["v2"].is_null(), c.v2);
        EXPECT_EQ(t["piece_length"], c.piece_length);
        EXPECT_EQ(t["name"], fs::path(c.source).filename().string());
        EXPECT_TRUE(t["private"]);
        EXPECT_EQ(t["comment"], "made for a test");
        EXPECT_EQ(t["creator"], "Velmora");
        EXPECT_EQ(t["trackers"], json::parse(R"([["http://127.0.0.1:1/a",0],
            ["udp://127.0.0.1:2",1],["http://127.0.0.1:3/c",2]])"));
        EXPECT_EQ(t["url_seeds"], json::array({"http://127.0.0.1:4/files/"}));
        EXPECT_EQ(t["http_seeds"], json::array({"http://127.0.0.1:4/seed.php"}));
        EXPECT_EQ(t["nodes"], json::parse(R"([["127.0.0.1",6881],["127.0.0.1",7000]])"));
        EXPECT_EQ(t["ssl_cert"], read_file(cert));
        EXPECT_EQ(t["similar"], c.similar ? json::array({kSimilar}) : json::array());
        EXPECT_EQ(t["collections"], c.similar ? json::array({"shelf"}) : json::array());

        bool has_pad = false;
        std::size_t real_files = 0;
        for (std::size_t f = 0; f < t["files"].size(); ++f) {
            const json& file = t["files"][f];
            if (file["pad"]) {
                has_pad = true;
                continue;
            }
            ++real_files;
            const std::string path = file["path"];
            ASSERT_TRUE(content.count(path)) << path;  // hidden files and links stay out
            // file hashes exist only beside v1 hashes
            if (c.v1) {
                EXPECT_EQ(t["file_hashes"][f], sha1_hex(content.at(path))) << path;
            }
        }
        EXPECT_EQ(real_files, std::string(c.source) == "album" ? 3U : 1U);
        if (c.format == TorrentFormat::V1 || std::string(c.source) == "album") {
            EXPECT_EQ(has_pad, c.pads);
        }
    }
    EXPECT_TRUE(page.args_of(event::kCreateTorrentError).empty());
}

TEST_F(CreationTest, JobsThatCannotBeBuiltReportWhyAndWriteNothing) {
    write_file(share / "hidden_only" / ".a", 100);
    write_file(share / "hidden_only" / ".b" / "c.bin", 100);
    write_file(share / "empty_only" / "e.bin", 0);
    write_file(share / "data.bin", 40000);
    const struct {
        const char* name;
        const char* source;
        const char* output_folder;  // below the test folder
        std::int32_t piece_size;
        TorrentFormat format;
        const char* certificate;
        bool no_files;  // post_no_format_error 30 rather than create_torrent_error
    } cases[] = {
        {"hidden_only", "hidden_only", "out", 0, TorrentFormat::V1, "", true},
        {"missing_source", "nowhere", "out", 0, TorrentFormat::V1, "", true},
        {"empty_files", "empty_only", "out", 0, TorrentFormat::V1, "", false},
        {"missing_folder", "data.bin", "out/nowhere", 0, TorrentFormat::V1, "", false},
        {"negative_piece", "data.bin", "out", -16384, TorrentFormat::V1, "", false},
        {"tiny_piece", "data.bin", "out", 1, TorrentFormat::V1, "", false},
        {"odd_v2_piece", "data.bin", "out", 3 * 16384, TorrentFormat::V2, "", false},
        {"missing_cert", "data.bin", "out", 0, TorrentFormat::V1, "no.pem", false},
        {"cert_folder", "data.bin", "out", 0, TorrentFormat::V1, "share", false},
    };
    TorrentCreator& jobs = creator();
    for (const auto& c : cases) {
        CreateJob job = job_for(share / c.source, "");
        job.output = dir / c.output_folder / (std::string(c.name) + ".torrent");
        job.piece_size = c.piece_size;
        job.format = c.format;
        if (*c.certificate != '\0') {
            job.root_certificate = dir / c.certificate;
        }
        jobs.enqueue(std::move(job));
    }
    run_queue();

    std::size_t no_files = 0;
    std::size_t failures = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string shown = std::string(c.name) + ".torrent";
        if (c.no_files) {
            ASSERT_GT(page.count(event::kPostNoFormatError), no_files);
            EXPECT_EQ(page.args_of(event::kPostNoFormatError)[no_files++],
                      UiValue(UiArray{30, shown, true}));
        } else {
            ASSERT_GT(page.count(event::kCreateTorrentError), failures);
            const UiArray error = page.args_of(event::kCreateTorrentError)[failures++].as_array();
            ASSERT_EQ(error.size(), 5U);
            EXPECT_FALSE(error[0].as_string().empty());
            EXPECT_EQ(error[1], UiValue(shown));
            EXPECT_EQ(error[4], UiValue(true));
        }
    }
    EXPECT_EQ(page.count(event::kPostSuccess), 0U);
    EXPECT_TRUE(entries_of(out).empty());
}

TEST_F(CreationTest, QueuedJobsRunOneAfterTheOther) {
    write_file(share / "first.bin", 200000);
    write_file(share / "second.bin", 200000);
    std::mutex gate_lock;
    std::condition_variable gate;
    bool first_hashing = false;
    bool release = false;
    TorrentCreator& jobs = creator([&](int) {
        std::unique_lock lock(gate_lock);
        first_hashing = true;
        gate.notify_all();
        gate.wait(lock, [&] { return release; });
    });
    jobs.enqueue(job_for(share / "first.bin", "first.torrent"));
    jobs.enqueue(job_for(share / "second.bin", "second.torrent"));
    EXPECT_EQ(jobs.queue_length(), 2U);
    jobs.start_next();
    {
        std::unique_lock lock(gate_lock);
        ASSERT_TRUE(gate.wait_for(lock, 20s, [&] { return first_hashing; }));
    }
    for (int i = 0; i < 5; ++i) {
        jobs.start_next();  // a tick while the first one hashes starts nothing
    }
    EXPECT_TRUE(jobs.busy());
    EXPECT_EQ(jobs.queue_length(), 2U);
    {
        std::lock_guard lock(gate_lock);
        release = true;
    }
    gate.notify_all();
    run_queue();

    const auto created = page.args_of(event::kPostSuccess);
    ASSERT_EQ(created.size(), 2U);
    EXPECT_EQ(created[0].as_array()[1], UiValue("first.torrent"));
    EXPECT_EQ(created[1].as_array()[1], UiValue("second.torrent"));
    EXPECT_TRUE(added.empty());  // neither asked to be added
}

// Sparse: cheap to make, yet many pieces to hash.
void make_sparse_file(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file).close();
    fs::resize_file(file, 16 * 1024 * 1024);
}

TEST_F(CreationTest, ASourceChangedWhileHashedFailsAndKeepsThePreviousFile) {
    const fs::path first = share / "big" / "a.bin";
    const fs::path second = share / "big" / "b.bin";
    const struct {
        const char* name;
        std::function<void()> change;
        lt::error_code error;
    } cases[] = {
        {"cut short", [&] { fs::resize_file(first, 0); }, lt::errors::mismatching_file_size},
        // the second file is opened only once the first is read
        {"removed", [&] { fs::remove(second); }, lt::error_code(ENOENT, lt::system_category())},
    };
    const fs::path output = out / "big.torrent";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        page.clear();
        make_sparse_file(first);
        make_sparse_file(second);
        std::ofstream(output) << "previous";
        bool changed = false;
        TorrentCreator& jobs = creator([&](int) {
            if (!std::exchange(changed, true)) {
                c.change();
            }
        });
        CreateJob job = job_for(share / "big", "big.torrent");
        job.piece_size = 16384;
        jobs.enqueue(std::move(job));
        run_queue();

        ASSERT_EQ(page.count(event::kCreateTorrentError), 1U);
        const UiArray error = page.args_of(event::kCreateTorrentError)[0].as_array();
        EXPECT_EQ(error[1], UiValue("big.torrent"));
        // what happened to the file, not the cancellation of the reads queued behind it
        EXPECT_EQ(error[0], UiValue(c.error.message()));
        EXPECT_EQ(page.count(event::kPostSuccess), 0U);
        EXPECT_EQ(read_file(output), "previous");
        EXPECT_EQ(entries_of(out), std::vector<std::string>{"big.torrent"});  // no temporary
    }
}

TEST_F(CreationTest, AStoppedClientStartsNoJobAndAbandonsTheOneHashing) {
    write_file(share / "a.bin", 100000);  // several pieces: the stop lands between two
    write_file(share / "b.bin", 100000);
    TorrentCreator& jobs = creator([&](int) { running = false; });
    running = false;
    jobs.enqueue(job_for(share / "a.bin", "a.torrent"));
    jobs.start_next();
    EXPECT_FALSE(jobs.busy());
    EXPECT_EQ(jobs.queue_length(), 1U);  // it stays queued

    running = true;
    jobs.enqueue(job_for(share / "b.bin", "b.torrent"));
    jobs.start_next();  // the first job's first piece stops the client
    ASSERT_TRUE(test::eventually([&] {
        jobs.start_next();
        return !jobs.busy() && jobs.queue_length() == 1;
    }));
    EXPECT_TRUE(entries_of(out).empty());
    EXPECT_TRUE(page.events().empty());
}

TEST_F(CreationTest, DestroyingTheCreatorAbandonsTheCreationUnderWay) {
    make_sparse_file(share / "big.bin");
    std::atomic<bool> hashing{false};
    TorrentCreator& jobs = creator([&](int) {
        hashing = true;
        std::this_thread::sleep_for(2ms);  // 1024 pieces: seconds, unless abandoned
    });
    CreateJob job = job_for(share / "big.bin", "big.torrent");
    job.piece_size = 16384;
    jobs.enqueue(std::move(job));
    jobs.start_next();
    ASSERT_TRUE(test::eventually([&] { return hashing.load(); }));
    creator_.reset();
    EXPECT_TRUE(entries_of(out).empty());
    EXPECT_TRUE(page.events().empty());
}

class ExportTest : public ::testing::Test {
protected:
    UiValue options(const std::string& key, const fs::path& output) const {
        return UiArray{key,
                       output.string(),
                       "Exporter",
                       strings({"http://127.0.0.1:1/new", "http://127.0.0.1:2/second"}),
                       strings({"http://127.0.0.1:3/files/", "http://127.0.0.1:3/seed"}),
                       "exported"};
    }

    test::TempDir dir;
    test::RecordingPage page;
    RecordStore records{dir / "records", page};

    void SetUp() override { fs::create_directories(dir / "records"); }
};

TEST_F(ExportTest, WritesTheRecordsTorrentWithTheNewOuterData) {
    const auto torrent = test::make_test_torrent(dir.path(), "album", {{"a.bin", 40000}},
                                                 {"http://127.0.0.1:9/old"});
    lt::add_torrent_params params = test::seeding_params(torrent);
    records.write_record(torrent.hash, params);
    const fs::path output = dir / "album copy.torrent";

    export_torrent(records, options(torrent.hash, output), page);

    const UiValue created(UiArray{19, "album copy.torrent", true, output.string()});
    ASSERT_EQ(page.args_of(event::kPostSuccess), std::vector<UiValue>{created});
    const json t = inspect(output);
    EXPECT_EQ(t["v1"], lt::aux::to_hex(torrent.info->info_hashes().v1));
    EXPECT_EQ(t["creator"], "Exporter");
    EXPECT_EQ(t["comment"], "exported");
    EXPECT_EQ(t["trackers"],
              json::parse(R"([["http://127.0.0.1:1/new",0],["http://127.0.0.1:2/second",1]])"));
    EXPECT_EQ(t["url_seeds"], json::array({"http://127.0.0.1:3/files/"}));
    EXPECT_EQ(t["http_seeds"], json::array({"http://127.0.0.1:3/seed"}));
}

TEST_F(ExportTest, AV2RecordKeepsItsPieceLayers) {
    const auto torrent =
        test::make_test_torrent(dir.path(), "album", {{"a.bin", 200000}, {"b.bin", 5000}}, {},
                                64 * 1024, lt::create_torrent::v2_only);
    // a record as the session writes it: the v2 hashes are hash trees, not piece layers
    lt::session session(test::loopback_peer_pack());
    const lt::torrent_handle handle = session.add_torrent(test::seeding_params(torrent));
    ASSERT_TRUE(test::eventually([&] { return handle.status().is_seeding; }));
    handle.save_resume_data(lt::torrent_handle::save_info_dict);
    std::optional<lt::add_torrent_params> saved;
    ASSERT_TRUE(test::eventually([&] {
        std::vector<lt::alert*> alerts;
        session.pop_alerts(&alerts);
        for (lt::alert* alert : alerts) {
            if (const auto* done = lt::alert_cast<lt::save_resume_data_alert>(alert)) {
                saved = done->params;
            }
        }
        return saved.has_value();
    }));
    records.write_record(torrent.hash, *saved);
    const fs::path output = dir / "exported.torrent";

    export_torrent(records, options(torrent.hash, output), page);

    ASSERT_EQ(page.count(event::kPostSuccess), 1U);
    const json t = inspect(output);
    ASSERT_FALSE(t.contains("error")) << t["error"];
    EXPECT_EQ(t["v2"], lt::aux::to_hex(torrent.info->info_hashes().v2));
    EXPECT_EQ(t["piece_layers"], 1);  // the one file longer than a piece
}

TEST_F(ExportTest, AMissingOrUnreadableRecordWritesNothing) {
    const std::string missing = "00112233445566778899aabbccddeeff00112233";
    export_torrent(records, options(missing, dir / "a.torrent"), page);
    export_torrent(records, options("../../outside", dir / "b.torrent"), page);
    EXPECT_EQ(
        page.args_of(event::kPostNoFormatError),
        (std::vector<UiValue>{UiArray{20, "a.torrent", true}, UiArray{20, "b.torrent", true}}));

    const std::string garbage = "ffeeddccbbaa99887766554433221100ffeeddcc";
    std::ofstream(records.record_path(garbage)) << "not bencoded";
    export_torrent(records, options(garbage, dir / "c.torrent"), page);
    ASSERT_EQ(page.count(event::kVtrError), 1U);
    EXPECT_EQ(page.args_of(event::kVtrError)[0].as_array()[1], UiValue(garbage + ".vtr"));
    EXPECT_EQ(page.count(event::kPostSuccess), 0U);
    EXPECT_EQ(entries_of(dir.path()), std::vector<std::string>{"records"});
}

class EditTest : public ::testing::Test {
protected:
    static UiValue options(const fs::path& folder,
                           const fs::path& edited,
                           const std::string& name) {
        return UiArray{folder.string(),
                       "new comment",
                       "Editor",
                       strings({"shelf"}),
                       strings({"127.0.0.1:7000", "127.0.0.1"}),
                       strings({kSimilar.c_str()}),
                       strings({"http://127.0.0.1:1/new"}),
                       strings({"http://127.0.0.1:3/files/"}),
                       edited.string(),
                       name};
    }

    test::TempDir dir;
    test::RecordingPage page;
};

TEST_F(EditTest, InPlaceEditKeepsTheInfoHashesAndReplacesTheOuterData) {
    const auto torrent = test::make_test_torrent(dir.path(), "album", {{"a.bin", 100000}},
                                                 {"http://127.0.0.1:9/old"}, 16384, {});
    const json before = inspect(torrent.torrent_file);
    ASSERT_FALSE(before["v1"].is_null() || before["v2"].is_null());  // hybrid

    edit_torrent_file(options("", torrent.torrent_file, "album.torrent"), page);

    EXPECT_TRUE(page.events().empty());
    const json t = inspect(torrent.torrent_file);
    EXPECT_EQ(t["v1"], before["v1"]);
    EXPECT_EQ(t["v2"], before["v2"]);
    EXPECT_EQ(t["piece_layers"], 1);
    EXPECT_EQ(t["trackers"], json::parse(R"([["http://127.0.0.1:1/new",0]])"));
    EXPECT_EQ(t["url_seeds"], json::array({"http://127.0.0.1:3/files/"}));
    EXPECT_EQ(t["comment"], "new comment");
    EXPECT_EQ(t["creator"], "Editor");
    EXPECT_EQ(t["nodes"], json::parse(R"([["127.0.0.1",7000]])"));
    // they belong to the info dictionary, which an edit never changes
    EXPECT_EQ(t["similar"], json::array());
    EXPECT_EQ(t["collections"], json::array());
}

TEST_F(EditTest, AnEditIntoAFolderLeavesTheOriginalAlone) {
    const auto torrent = test::make_test_torrent(dir.path(), "album", {{"a.bin", 30000}},
                                                 {"http://127.0.0.1:9/old"});
    const std::string original = read_file(torrent.torrent_file);
    fs::create_directories(dir / "edited");

    edit_torrent_file(options(dir / "edited", torrent.torrent_file, "copy.torrent"), page);
    edit_torrent_file(options(dir / "edited", torrent.torrent_file, "../escape.torrent"), page);

    EXPECT_EQ(read_file(torrent.torrent_file), original);
    EXPECT_EQ(entries_of(dir / "edited"), std::vector<std::string>{"copy.torrent"});
    EXPECT_EQ(inspect(dir / "edited" / "copy.torrent")["v1"],
              lt::aux::to_hex(torrent.info->info_hashes().v1));
    EXPECT_EQ(page.count(event::kCreateTorrentError), 1U);  // the name that left the folder
    EXPECT_FALSE(fs::exists(dir / "escape.torrent"));
}

TEST_F(EditTest, AFileThatIsNoTorrentIsReportedAndLeftAsItIs) {
    const struct {
        const char* name;
        const char* content;  // nullptr: no such file
    } cases[] = {
        {"garbage.torrent", "this is not bencoded"},
        {"no_info.torrent", "d8:announce3:abce"},
        {"bad_info.torrent", "d4:infod4:name1:xee"},
        {"missing.torrent", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        page.clear();
        const fs::path file = dir / c.name;
        if (c.content != nullptr) {
            std::ofstream(file) << c.content;
        }
        edit_torrent_file(options("", file, c.name), page);
        ASSERT_EQ(page.count(event::kVtrError), 1U);
        const UiArray error = page.args_of(event::kVtrError)[0].as_array();
        ASSERT_EQ(error.size(), 4U);
        EXPECT_EQ(error[1], UiValue(c.name));
        EXPECT_EQ(c.content == nullptr ? !fs::exists(file) : read_file(file) == c.content, true);
    }
}

}  // namespace
}  // namespace velmora::lifecycle
