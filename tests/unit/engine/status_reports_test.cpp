// The torrent rows, peer and tracker tabs and status bar built from hand-made engine records.
#include "velmora/engine/status_reports.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <libtorrent/error_code.hpp>
#include <libtorrent/sha1_hash.hpp>
#include <libtorrent/socket.hpp>

#include "velmora/engine/client_functions.h"

namespace velmora::engine {
namespace {

using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;

constexpr std::int64_t kMiB = std::int64_t{1} << 20;
constexpr std::int64_t kGiB = std::int64_t{1} << 30;
constexpr std::int64_t kLastSeen = 1'700'000'000;

UiValue single(double value) {
    return UiValue(static_cast<double>(static_cast<float>(value)));
}

// A torrent downloading at 300 bytes/s with 1000 wanted bytes left.
lt::torrent_status downloading_torrent() {
    lt::torrent_status status;
    status.info_hashes = lt::info_hash_t(lt::sha1_hash("abcdefghij0123456789"));
    status.state = lt::torrent_status::downloading;
    status.num_seeds = 4;
    status.num_peers = 11;
    status.list_seeds = 20;
    status.list_peers = 57;
    status.queue_position = lt::queue_position_t{2};
    status.last_seen_complete = kLastSeen;
    status.all_time_upload = kGiB;
    status.all_time_download = 3 * kGiB;
    status.progress_ppm = 999999;
    status.upload_payload_rate = 2048;
    status.download_payload_rate = 300;
    status.total_wanted = 10000;
    status.total_wanted_done = 9000;
    return status;
}

UiValue value_of(const UiMap& map, const std::string& key) {
    return UiValue(map).at_key(key);
}

TEST(StatusMap, DownloadingTorrentRow) {
    const UiMap expected{
        {"status_title", 3},
        {"hash", "6162636465666768696a30313233343536373839"},
        {"state", 3},
        {"seeds", 4},
        {"peers", 11},
        {"_seeds", 20},
        {"_peers", 57},
        {"queue", 2},
        {"last_seen", local_time_text(kLastSeen)},
        {"total_uploaded_string", "1.00 GB"},
        {"total_downloaded_string", "3.00 GB"},
        {"total_up", static_cast<double>(kGiB)},
        {"total_down", static_cast<double>(3 * kGiB)},
        {"ratio", single(0.333F)},
        {"pct_done", 99},
        {"upload_speed_string", "2.00 KB"},
        {"download_speed_string", "300 bytes"},
        {"up_speed", 2048},
        {"down_speed", 300},
        {"eta", "00:00:03"},
        {"file_prg", UiArray{single(16384), single(0), single(16777217)}},
    };
    EXPECT_EQ(UiValue(status_map(downloading_torrent(), {16384, 0, 16777217})), UiValue(expected));
}

TEST(StatusMap, WithoutMetadataFileProgressIsEmptyAndNoLastSeen) {
    lt::torrent_status status = downloading_torrent();
    status.last_seen_complete = 0;
    const UiMap map = status_map(status, {});
    EXPECT_EQ(value_of(map, "file_prg"), UiValue(UiArray{}));
    EXPECT_EQ(value_of(map, "last_seen"), UiValue(""));
}

TEST(StatusMap, RatioInThreeDecimals) {
    const std::array<std::pair<std::int64_t, std::int64_t>, 5> transfers{{
        {0, 0},
        {5 * kGiB, 0},
        {kGiB, 3 * kGiB},
        {2, 3},
        {7, 7},
    }};
    const std::array<float, 5> ratios{0.0F, 0.0F, 0.333F, 0.667F, 1.0F};
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        SCOPED_TRACE(i);
        lt::torrent_status status = downloading_torrent();
        status.all_time_upload = transfers[i].first;
        status.all_time_download = transfers[i].second;
        EXPECT_EQ(value_of(status_map(status, {}), "ratio"), single(ratios[i]));
    }
}

TEST(StatusMap, TitleAndEtaFollowStateAndPause) {
    struct Case {
        int state;
        bool paused;
        bool has_error;
        bool finished;
        int download_rate;
        std::int32_t title;
        const char* eta;
    };
    const Case cases[] = {
        {1, false, false, false, 300, 1, "00:00:03"},
        {2, false, false, false, 300, 2, "00:00:03"},
        {3, false, false, false, 300, 3, "00:00:03"},
        {3, false, true, false, 300, 3, "00:00:03"},
        {3, false, false, false, 0, 3, ""},
        {3, false, false, false, 1000, 3, "00:00:01"},
        {3, false, false, false, 1001, 3, "00:00:00"},
        {4, false, false, true, 300, 5, ""},
        {5, false, false, true, 300, 5, ""},
        {6, false, false, false, 300, 6, "00:00:03"},
        {7, false, false, false, 300, 7, "00:00:03"},
        {0, false, false, false, 300, -1, "00:00:03"},
        {3, true, false, false, 300, 8, ""},
        {5, true, false, true, 300, 8, ""},
        {3, true, true, false, 300, 9, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " paused " << c.paused
                                        << " error " << c.has_error << " rate " << c.download_rate);
        lt::torrent_status status = downloading_torrent();
        status.state = static_cast<lt::torrent_status::state_t>(c.state);
        status.flags = c.paused ? lt::torrent_flags::paused : lt::torrent_flags_t{};
        status.errc = c.has_error ? lt::error_code(lt::errors::file_collision) : lt::error_code();
        status.is_finished = c.finished;
        status.download_payload_rate = c.download_rate;
        const UiMap map = status_map(status, {});
        EXPECT_EQ(value_of(map, "status_title"), UiValue(c.title));
        EXPECT_EQ(value_of(map, "state"), UiValue(c.state));
        EXPECT_EQ(value_of(map, "eta"), UiValue(c.eta));
    }
}

lt::peer_info make_peer(const char* address, lt::peer_flags_t flags, const char* client) {
    lt::peer_info peer;
    peer.ip = lt::tcp::endpoint(lt::make_address(address), 6881);
    peer.flags = flags;
    peer.client = client;
    peer.progress_ppm = 999999;
    peer.up_speed = 1536;
    peer.down_speed = 700;
    peer.total_upload = 3 * kMiB;
    peer.total_download = 16777217;
    return peer;
}

TEST(PeersArray, ConnectedPeersInListOrder) {
    const std::vector<lt::peer_info> peers{
        make_peer("127.0.0.1", lt::peer_info::handshake, "shaking"),
        make_peer("127.0.0.1", {}, "first"),
        make_peer("127.0.0.1", lt::peer_info::connecting, "dialling"),
        make_peer("127.0.0.1", lt::peer_info::connecting | lt::peer_info::seed, "dialling seed"),
        make_peer("::1", lt::peer_info::seed | lt::peer_info::interesting, "second"),
    };
    const CountryLookup country = [](const lt::address& a) { return a.is_v4() ? "AA" : "XX"; };

    const UiArray out = peers_array(peers, country);

    ASSERT_EQ(out.size(), 2U);
    const UiMap expected{
        {"img", "AA"},
        {"ip", "127.0.0.1"},
        {"done", 99},
        {"client", "first"},
        {"up_speed", "1.50 KB"},
        {"down_speed", "700 bytes"},
        {"uploaded", "3.00 MB"},
        {"downloaded", "16.0 MB"},
        {"downloaded_", single(16777217)},
        {"uploaded_", static_cast<double>(3 * kMiB)},
        {"down_speed_", 700},
        {"up_speed_", 1536},
    };
    EXPECT_EQ(out[0], UiValue(expected));
    EXPECT_EQ(out[1].at_key("client"), UiValue("second"));
    EXPECT_EQ(out[1].at_key("ip"), UiValue("::1"));
    EXPECT_EQ(out[1].at_key("img"), UiValue("XX"));
}

// Steady-clock times in whole seconds plus a quarter, so truncation shows in both directions.
const lt::time_point kNow =
    lt::time_point(std::chrono::seconds(100000)) + std::chrono::milliseconds(250);

lt::time_point32 at_second(std::int64_t second) {
    return lt::time_point32(lt::seconds32(second));
}

struct EndpointState {
    int fails;
    bool updating;
    lt::time_point32 next_announce;
    const char* message;
};

lt::announce_endpoint make_endpoint(const EndpointState& state,
                                    lt::protocol_version protocol = lt::protocol_version::V1) {
    lt::announce_endpoint endpoint;
    auto& slot = endpoint.info_hashes[protocol];
    slot.fails = static_cast<unsigned>(state.fails) & 0x7FU;
    slot.updating = state.updating;
    slot.next_announce = state.next_announce;
    slot.message = state.message;
    return endpoint;
}

TEST(TrackersArray, UsesTheEndpointWithFewestFailuresFirstOnATie) {
    lt::announce_entry tracker("http://127.0.0.1:8000/announce");
    tracker.endpoints = {
        make_endpoint({2, false, at_second(100050), "two fails"}),
        make_endpoint({1, true, at_second(100090), "first of the best"}),
        make_endpoint({1, false, at_second(100010), "second of the best"}),
    };
    tracker.endpoints[1].info_hashes[lt::protocol_version::V1].scrape_complete = 5;
    tracker.endpoints[1].info_hashes[lt::protocol_version::V1].scrape_incomplete = 9;
    lt::announce_entry bare("udp://127.0.0.1:8001");

    const UiArray out = trackers_array({bare, tracker}, kNow);

    ASSERT_EQ(out.size(), 2U);
    const UiMap without_endpoints{
        {"name", "udp://127.0.0.1:8001"},
        {"idx", 0},
        {"updating", false},
        {"working", false},
        {"next_announce", ""},
        {"next_announce_s", 0},
        {"seeds", -1},
        {"peers", -1},
        {"message", ""},
        {"img_t", 12},
    };
    EXPECT_EQ(out[0], UiValue(without_endpoints));
    const UiMap best{
        {"name", "http://127.0.0.1:8000/announce"},
        {"idx", 1},
        {"updating", true},
        {"working", false},
        {"next_announce", "00:01:29"},
        {"next_announce_s", 89},
        {"seeds", 5},
        {"peers", 9},
        {"message", "first of the best"},
        {"img_t", 11},
    };
    EXPECT_EQ(out[1], UiValue(best));
}

TEST(TrackersArray, CountdownWorkingAndIcon) {
    struct Case {
        EndpointState state;
        bool working;
        const char* next_announce;
        std::int32_t next_announce_s;
        std::int32_t icon;
    };
    const Case cases[] = {
        {{0, false, at_second(103600), ""}, true, "00:59:59", 3599, 12},
        {{0, false, at_second(100000), ""}, true, "00:00:00", 0, 12},
        {{3, false, at_second(99910), "refused"}, false, "00:00:00", -90, 13},
        {{3, true, at_second(100001), ""}, false, "00:00:00", 0, 11},
        {{0, false, lt::time_point32::min(), ""},
         true,
         "00:00:00",
         std::numeric_limits<std::int32_t>::min(),
         12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.next_announce_s);
        lt::announce_entry tracker("http://127.0.0.1:8000/announce");
        tracker.endpoints = {make_endpoint(c.state)};
        const UiValue out = trackers_array({tracker}, kNow).at(0);
        EXPECT_EQ(out.at_key("working"), UiValue(c.working));
        EXPECT_EQ(out.at_key("next_announce"), UiValue(c.next_announce));
        EXPECT_EQ(out.at_key("next_announce_s"), UiValue(c.next_announce_s));
        EXPECT_EQ(out.at_key("img_t"), UiValue(c.icon));
        EXPECT_EQ(out.at_key("message"), UiValue(c.state.message));
    }
}

TEST(TrackersArray, TorrentAnnouncingWithV2AloneShowsItsV2State) {
    lt::announce_entry tracker("http://127.0.0.1:8000/announce");
    tracker.endpoints = {
        make_endpoint({1, false, at_second(100030), "v2 refused"}, lt::protocol_version::V2)};
    const UiValue out = trackers_array({tracker}, kNow).at(0);
    EXPECT_EQ(out.at_key("message"), UiValue("v2 refused"));
    EXPECT_EQ(out.at_key("next_announce_s"), UiValue(29));
    EXPECT_EQ(out.at_key("img_t"), UiValue(13));
}

constexpr std::array<const char*, kMetricCount> kEngineNames{
    "peer.num_peers_connected",
    "dht.dht_nodes",
    "dht.dht_peers",
    "net.sent_bytes",
    "net.recv_bytes",
    "net.has_incoming_connections",
    "ses.num_checking_torrents",
    "ses.num_stopped_torrents",
    "ses.num_upload_only_torrents",
    "ses.num_downloading_torrents",
    "ses.num_seeding_torrents",
    "ses.num_queued_seeding_torrents",
    "ses.num_queued_download_torrents",
    "ses.num_error_torrents",
};

TEST(MetricPositions, FoundInTheEnginesOwnList) {
    const MetricPositions positions = find_metric_positions(lt::session_stats_metrics());
    for (std::size_t i = 0; i < kMetricCount; ++i) {
        SCOPED_TRACE(kEngineNames[i]);
        EXPECT_NE(positions[i], -1);
        EXPECT_EQ(positions[i], lt::find_metric_idx(kEngineNames[i]));
    }
}

TEST(MetricPositions, MissingMetricsAndPositionsReadAsZero) {
    const std::vector<lt::stats_metric> metrics{
        {"net.recv_bytes", 2, lt::metric_type_t::counter},
        {"disk.num_jobs", 0, lt::metric_type_t::gauge},
        {"dht.dht_nodes", 5, lt::metric_type_t::gauge},
    };
    const MetricPositions positions = find_metric_positions(metrics);
    MetricPositions expected{};
    expected.fill(-1);
    expected[static_cast<std::size_t>(Metric::RecvBytes)] = 2;
    expected[static_cast<std::size_t>(Metric::DhtNodes)] = 5;
    EXPECT_EQ(positions, expected);

    const std::vector<std::int64_t> counters{10, 20, 30};
    EXPECT_EQ(metric_value(counters, positions, Metric::RecvBytes), 30);
    EXPECT_EQ(metric_value(counters, positions, Metric::DhtNodes), 0);   // past the end
    EXPECT_EQ(metric_value(counters, positions, Metric::SentBytes), 0);  // not in the engine
}

TEST(TransferTotals, ReadingTheResumedTotalsNeverCountsTheSessionTwice) {
    TransferTotals totals;
    totals.set_carried_over(1000, 50);
    EXPECT_EQ(totals.all_time_uploaded(), 1000);
    totals.update(200, 30);
    EXPECT_EQ(totals.resumed_uploaded(), 1200.0F);
    EXPECT_EQ(totals.resumed_downloaded(), 80.0F);
    totals.update(300, 40);
    EXPECT_EQ(totals.all_time_uploaded(), 1300);
    EXPECT_EQ(totals.all_time_downloaded(), 90);
    EXPECT_EQ(totals.resumed_uploaded(), 1300.0F);
}

TEST(TransferTotals, ResetLeavesTheSessionCountersAlone) {
    TransferTotals totals;
    totals.set_carried_over(3 * kGiB, kGiB);
    totals.update(2048, 512);
    EXPECT_EQ(totals.reset(), std::make_pair(std::string("2.00 KB"), std::string("512 bytes")));
    EXPECT_EQ(totals.all_time_uploaded(), 2048);
    EXPECT_EQ(totals.all_time_downloaded(), 512);
    totals.update(4096, 1024);
    EXPECT_EQ(totals.all_time_uploaded(), 4096);
    EXPECT_EQ(totals.all_time_downloaded(), 1024);
}

// The tick and the gui thread's commands meet here; run under ThreadSanitizer this shows a
// missing guard.
TEST(TransferTotals, TickAndCommandsFromTwoThreads) {
    TransferTotals totals;
    totals.set_carried_over(kGiB, kGiB);
    std::thread tick([&totals] {
        for (std::int64_t i = 1; i <= 2000; ++i) {
            totals.update(i, 2 * i);
            totals.remember_tick(i, 2 * i);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        static_cast<void>(totals.resumed_uploaded());
        static_cast<void>(totals.resumed_downloaded());
    }
    static_cast<void>(totals.reset());
    tick.join();
    EXPECT_EQ(totals.all_time_uploaded(), 2000);
    EXPECT_EQ(totals.all_time_downloaded(), 4000);
}

MetricPositions in_enum_order() {
    MetricPositions positions{};
    for (std::size_t i = 0; i < kMetricCount; ++i) {
        positions[i] = static_cast<int>(i);
    }
    return positions;
}

// Counters in Metric order.
std::array<std::int64_t, kMetricCount> session_counters(std::int64_t sent, std::int64_t received) {
    return {12, 300, 40, sent, received, 1, 1, 2, 3, 4, 5, 6, 7, 8};
}

TEST(StatusbarMap, FirstTickShowsTheWholeSessionThenPerTickFigures) {
    TransferTotals totals;
    totals.set_carried_over(3 * kGiB, 500 * kMiB);
    const MetricPositions positions = in_enum_order();
    const StatusbarInputs inputs{true, true, 2, 1};

    const UiMap first =
        statusbar_map(session_counters(5 * kMiB, 10 * kMiB), positions, totals, inputs);

    const UiMap expected{
        {"img", 2},
        {"uploading", "5.00 MB"},
        {"downloading", "10.0 MB"},
        {"nodes", 300},
        {"dht_peers", 40},
        {"peers", 12},
        {"num_checking_torrents", 1},
        {"num_stopped_torrents", 2},
        {"num_upload_only_torrents", 3},
        {"num_downloading_torrents", 4},
        {"num_seeding_torrents", 5},
        {"num_queued_seeding_torrents", 6},
        {"num_queued_download_torrents", 7},
        {"num_error_torrents", 8},
        {"uploaded", "3.00 GB"},
        {"downloaded", "510 MB"},
        {"num_storage_moving", 2},
        {"create_queued", 1},
    };
    EXPECT_EQ(UiValue(first), UiValue(expected));
    EXPECT_EQ(totals.all_time_uploaded(), 3 * kGiB + 5 * kMiB);

    const UiMap second = statusbar_map(session_counters(5 * kMiB + 2048, 10 * kMiB + 512),
                                       positions, totals, inputs);
    EXPECT_EQ(value_of(second, "uploading"), UiValue("2.00 KB"));
    EXPECT_EQ(value_of(second, "downloading"), UiValue("512 bytes"));
    EXPECT_EQ(totals.all_time_downloaded(), 510 * kMiB + 512);
}

TEST(StatusbarMap, ListenIndicatorAndDhtFigures) {
    struct Case {
        bool listening;
        bool use_dht;
        std::int64_t has_incoming;
        std::int32_t img;
        std::int32_t nodes;
        std::int32_t dht_peers;
    };
    const Case cases[] = {
        {false, true, 0, 0, 300, 40}, {false, true, 1, 0, 300, 40}, {true, true, 0, 1, 300, 40},
        {true, true, 5, 2, 300, 40},  {true, false, 1, 2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "listening " << c.listening << " dht " << c.use_dht
                                        << " incoming " << c.has_incoming);
        TransferTotals totals;
        auto counters = session_counters(0, 0);
        counters[static_cast<std::size_t>(Metric::HasIncomingConnections)] = c.has_incoming;
        const UiMap map =
            statusbar_map(counters, in_enum_order(), totals, {c.listening, c.use_dht, 0, 0});
        EXPECT_EQ(value_of(map, "img"), UiValue(c.img));
        EXPECT_EQ(value_of(map, "nodes"), UiValue(c.nodes));
        EXPECT_EQ(value_of(map, "dht_peers"), UiValue(c.dht_peers));
    }
}

TEST(StatusbarMap, CountersAreTruncatedToInt32AndMissingOnesAreZero) {
    TransferTotals totals;
    auto counters = session_counters(0, 0);
    counters[static_cast<std::size_t>(Metric::PeersConnected)] = (std::int64_t{1} << 32) + 7;
    counters[static_cast<std::size_t>(Metric::ErrorTorrents)] = (std::int64_t{1} << 32) - 1;
    counters[static_cast<std::size_t>(Metric::DhtNodes)] = std::int64_t{1} << 31;
    MetricPositions positions = in_enum_order();
    positions[static_cast<std::size_t>(Metric::SeedingTorrents)] = -1;

    const UiMap map = statusbar_map(counters, positions, totals, {true, true, 0, 0});

    EXPECT_EQ(value_of(map, "peers"), UiValue(7));
    EXPECT_EQ(value_of(map, "num_error_torrents"), UiValue(-1));
    EXPECT_EQ(value_of(map, "nodes"), UiValue(std::numeric_limits<std::int32_t>::min()));
    EXPECT_EQ(value_of(map, "num_seeding_torrents"), UiValue(0));
}

TEST(TorrentsActive, AnyCheckingTransferringOrQueuedTorrentKeepsTheMachineAwake) {
    const std::pair<Metric, bool> cases[] = {
        {Metric::CheckingTorrents, true},      {Metric::UploadOnlyTorrents, true},
        {Metric::DownloadingTorrents, true},   {Metric::SeedingTorrents, true},
        {Metric::QueuedSeedingTorrents, true}, {Metric::QueuedDownloadTorrents, true},
        {Metric::StoppedTorrents, false},      {Metric::ErrorTorrents, false},
        {Metric::PeersConnected, false},       {Metric::SentBytes, false},
    };
    const MetricPositions positions = in_enum_order();
    for (const auto& [metric, active] : cases) {
        SCOPED_TRACE(kEngineNames[static_cast<std::size_t>(metric)]);
        std::array<std::int64_t, kMetricCount> counters{};
        counters[static_cast<std::size_t>(metric)] = 1;
        EXPECT_EQ(torrents_active(counters, positions), active);
    }
    EXPECT_FALSE(torrents_active({}, positions));
}

}  // namespace
}  // namespace velmora::engine
