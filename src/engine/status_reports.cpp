// The torrent rows, peer and tracker tabs and status bar as the pages read them.
#include "velmora/engine/status_reports.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "velmora/engine/client_functions.h"
#include "velmora/engine/info_hash_hex.h"

namespace velmora::engine {
namespace {

using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;

// The pages read every byte count and ratio as a single-precision number.
UiValue single_precision(double value) {
    return UiValue(static_cast<double>(static_cast<float>(value)));
}

// Counters are 64-bit; the pages' integers are 32-bit and take the low bits.
UiValue truncated(std::int64_t value) {
    return UiValue(static_cast<std::int32_t>(value));
}

constexpr int kPartsPerPercent = 10000;

std::int32_t status_title(const lt::torrent_status& status) {
    if (status.flags & lt::torrent_flags::paused) {
        return status.errc ? 9 : 8;
    }
    // the engine's state codes, finished shown as seeding
    switch (static_cast<int>(status.state)) {
        case 1:
        case 2:
        case 3:
        case 6:
        case 7:
            return static_cast<std::int32_t>(status.state);
        case 4:
        case 5:
            return 5;
        default:
            return -1;
    }
}

float share_ratio(std::int64_t uploaded, std::int64_t downloaded) {
    if (downloaded == 0) {
        return 0.0F;
    }
    const float ratio = static_cast<float>(uploaded) / static_cast<float>(downloaded);
    return std::round(ratio * 1000.0F) / 1000.0F;
}

std::string eta_text(const lt::torrent_status& status) {
    const bool paused = static_cast<bool>(status.flags & lt::torrent_flags::paused);
    if (status.is_finished || paused || status.download_payload_rate <= 0) {
        return {};
    }
    return duration_text((status.total_wanted - status.total_wanted_done) /
                         status.download_payload_rate);
}

UiArray file_progress_array(const std::vector<std::int64_t>& file_progress) {
    UiArray out;
    out.reserve(file_progress.size());
    for (const std::int64_t bytes : file_progress) {
        out.push_back(single_precision(static_cast<double>(bytes)));
    }
    return out;
}

bool is_still_connecting(const lt::peer_info& peer) {
    return static_cast<bool>(peer.flags & (lt::peer_info::handshake | lt::peer_info::connecting));
}

UiMap peer_map(const lt::peer_info& peer, const CountryLookup& country) {
    return {
        {"img", country(peer.ip.address())},
        {"ip", peer.ip.address().to_string()},
        {"done", peer.progress_ppm / kPartsPerPercent},
        {"client", peer.client},
        {"up_speed", speed_text(peer.up_speed)},
        {"down_speed", speed_text(peer.down_speed)},
        {"uploaded", size_text(peer.total_upload)},
        {"downloaded", size_text(peer.total_download)},
        {"downloaded_", single_precision(static_cast<double>(peer.total_download))},
        {"uploaded_", single_precision(static_cast<double>(peer.total_upload))},
        {"down_speed_", peer.down_speed},
        {"up_speed_", peer.up_speed},
    };
}

bool has_announced(const lt::announce_infohash& slot) {
    return slot.start_sent || slot.updating || slot.fails > 0 ||
           slot.next_announce != lt::time_point32::min();
}

// An endpoint keeps one announce state per protocol. The torrent's key prefers v1, and so does
// this: the v2 state is shown only when v1 was never used (a torrent with v2 metadata alone).
const lt::announce_infohash& announce_state(const lt::announce_endpoint& endpoint) {
    const auto& v1 = endpoint.info_hashes[lt::protocol_version::V1];
    const auto& v2 = endpoint.info_hashes[lt::protocol_version::V2];
    return !has_announced(v1) && has_announced(v2) ? v2 : v1;
}

// The endpoint most likely to work: fewest consecutive failures, the first one on a tie.
const lt::announce_infohash* best_announce_state(const lt::announce_entry& tracker) {
    const auto best =
        std::min_element(tracker.endpoints.begin(), tracker.endpoints.end(),
                         [](const lt::announce_endpoint& a, const lt::announce_endpoint& b) {
                             return announce_state(a).fails < announce_state(b).fails;
                         });
    return best == tracker.endpoints.end() ? nullptr : &announce_state(*best);
}

std::int32_t clamp_to_int32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

constexpr std::int32_t kTrackerUpdating = 11;
constexpr std::int32_t kTrackerIdle = 12;
constexpr std::int32_t kTrackerFailed = 13;

UiMap tracker_map(const lt::announce_entry& tracker, std::int32_t index, lt::time_point now) {
    const lt::announce_infohash* state = best_announce_state(tracker);
    if (state == nullptr) {
        return {
            {"name", tracker.url}, {"idx", index},          {"updating", false}, {"working", false},
            {"next_announce", ""}, {"next_announce_s", 0},  {"seeds", -1},       {"peers", -1},
            {"message", ""},       {"img_t", kTrackerIdle},
        };
    }
    // negative when the announce is overdue; a never-scheduled announce lies far in the past
    const std::int64_t seconds =
        std::chrono::duration_cast<std::chrono::seconds>(state->next_announce - now).count();
    const std::int32_t icon =
        state->updating ? kTrackerUpdating : (state->fails > 0 ? kTrackerFailed : kTrackerIdle);
    return {
        {"name", tracker.url},
        {"idx", index},
        {"updating", static_cast<bool>(state->updating)},
        {"working", state->fails == 0},
        {"next_announce", duration_text(seconds)},
        {"next_announce_s", clamp_to_int32(seconds)},
        {"seeds", state->scrape_complete},
        {"peers", state->scrape_incomplete},
        {"message", state->message},
        {"img_t", icon},
    };
}

// The engine name of each Metric, in the enum's order.
constexpr std::array<const char*, kMetricCount> kMetricNames{
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

std::int32_t listen_indicator(bool listening, std::int64_t has_incoming) {
    if (!listening) {
        return 0;
    }
    return has_incoming != 0 ? 2 : 1;
}

}  // namespace

UiMap status_map(const lt::torrent_status& status, const std::vector<std::int64_t>& file_progress) {
    return {
        {"status_title", status_title(status)},
        {"hash", torrent_key(status.info_hashes)},
        {"state", static_cast<std::int32_t>(status.state)},
        {"seeds", status.num_seeds},
        {"peers", status.num_peers},
        {"_seeds", status.list_seeds},
        {"_peers", status.list_peers},
        {"queue", static_cast<std::int32_t>(status.queue_position)},
        {"last_seen", local_time_text(status.last_seen_complete)},
        {"total_uploaded_string", size_text(status.all_time_upload)},
        {"total_downloaded_string", size_text(status.all_time_download)},
        {"total_up", single_precision(static_cast<double>(status.all_time_upload))},
        {"total_down", single_precision(static_cast<double>(status.all_time_download))},
        {"ratio", single_precision(share_ratio(status.all_time_upload, status.all_time_download))},
        {"pct_done", status.progress_ppm / kPartsPerPercent},
        {"upload_speed_string", speed_text(status.upload_payload_rate)},
        {"download_speed_string", speed_text(status.download_payload_rate)},
        {"up_speed", status.upload_payload_rate},
        {"down_speed", status.download_payload_rate},
        {"eta", eta_text(status)},
        {"file_prg", file_progress_array(file_progress)},
    };
}

UiArray peers_array(const std::vector<lt::peer_info>& peers, const CountryLookup& country) {
    UiArray out;
    for (const lt::peer_info& peer : peers) {
        if (!is_still_connecting(peer)) {
            out.emplace_back(peer_map(peer, country));
        }
    }
    return out;
}

UiArray trackers_array(const std::vector<lt::announce_entry>& trackers, lt::time_point now) {
    UiArray out;
    out.reserve(trackers.size());
    std::int32_t index = 0;
    for (const lt::announce_entry& tracker : trackers) {
        out.emplace_back(tracker_map(tracker, index++, now));
    }
    return out;
}

MetricPositions find_metric_positions(const std::vector<lt::stats_metric>& metrics) {
    MetricPositions positions{};
    positions.fill(-1);
    for (std::size_t i = 0; i < kMetricCount; ++i) {
        const auto found =
            std::find_if(metrics.begin(), metrics.end(), [&](const lt::stats_metric& metric) {
                return metric.name != nullptr && std::strcmp(metric.name, kMetricNames[i]) == 0;
            });
        if (found != metrics.end()) {
            positions[i] = found->value_index;
        }
    }
    return positions;
}

std::int64_t metric_value(std::span<const std::int64_t> counters,
                          const MetricPositions& positions,
                          Metric metric) {
    const int position = positions[static_cast<std::size_t>(metric)];
    if (position < 0 || static_cast<std::size_t>(position) >= counters.size()) {
        return 0;
    }
    return counters[static_cast<std::size_t>(position)];
}

void TransferTotals::set_carried_over(std::int64_t uploaded, std::int64_t downloaded) {
    const std::lock_guard lock(mutex_);
    carried_uploaded_ = uploaded;
    carried_downloaded_ = downloaded;
}

void TransferTotals::update(std::int64_t sent_counter, std::int64_t recv_counter) {
    const std::lock_guard lock(mutex_);
    sent_counter_ = sent_counter;
    recv_counter_ = recv_counter;
}

std::int64_t TransferTotals::all_time_uploaded() const {
    const std::lock_guard lock(mutex_);
    return sent_counter_ + carried_uploaded_;
}

std::int64_t TransferTotals::all_time_downloaded() const {
    const std::lock_guard lock(mutex_);
    return recv_counter_ + carried_downloaded_;
}

float TransferTotals::resumed_uploaded() {
    return static_cast<float>(all_time_uploaded());
}

float TransferTotals::resumed_downloaded() {
    return static_cast<float>(all_time_downloaded());
}

std::pair<std::string, std::string> TransferTotals::reset() {
    const std::lock_guard lock(mutex_);
    carried_uploaded_ = 0;
    carried_downloaded_ = 0;
    return {size_text(sent_counter_), size_text(recv_counter_)};
}

std::int64_t TransferTotals::previous_sent() const {
    const std::lock_guard lock(mutex_);
    return previous_sent_;
}

std::int64_t TransferTotals::previous_received() const {
    const std::lock_guard lock(mutex_);
    return previous_received_;
}

void TransferTotals::remember_tick(std::int64_t sent_counter, std::int64_t recv_counter) {
    const std::lock_guard lock(mutex_);
    previous_sent_ = sent_counter;
    previous_received_ = recv_counter;
}

UiMap statusbar_map(std::span<const std::int64_t> counters,
                    const MetricPositions& positions,
                    TransferTotals& totals,
                    const StatusbarInputs& inputs) {
    const auto value = [&](Metric metric) { return metric_value(counters, positions, metric); };
    const std::int64_t sent = value(Metric::SentBytes);
    const std::int64_t received = value(Metric::RecvBytes);
    totals.update(sent, received);
    UiMap map{
        {"img", listen_indicator(inputs.listening, value(Metric::HasIncomingConnections))},
        {"uploading", size_text(sent - totals.previous_sent())},
        {"downloading", size_text(received - totals.previous_received())},
        {"nodes", inputs.use_dht ? truncated(value(Metric::DhtNodes)) : UiValue(0)},
        {"dht_peers", inputs.use_dht ? truncated(value(Metric::DhtPeers)) : UiValue(0)},
        {"peers", truncated(value(Metric::PeersConnected))},
        {"num_checking_torrents", truncated(value(Metric::CheckingTorrents))},
        {"num_stopped_torrents", truncated(value(Metric::StoppedTorrents))},
        {"num_upload_only_torrents", truncated(value(Metric::UploadOnlyTorrents))},
        {"num_downloading_torrents", truncated(value(Metric::DownloadingTorrents))},
        {"num_seeding_torrents", truncated(value(Metric::SeedingTorrents))},
        {"num_queued_seeding_torrents", truncated(value(Metric::QueuedSeedingTorrents))},
        {"num_queued_download_torrents", truncated(value(Metric::QueuedDownloadTorrents))},
        {"num_error_torrents", truncated(value(Metric::ErrorTorrents))},
        {"uploaded", size_text(totals.all_time_uploaded())},
        {"downloaded", size_text(totals.all_time_downloaded())},
        {"num_storage_moving", inputs.storage_moving},
        {"create_queued", inputs.create_queued},
    };
    totals.remember_tick(sent, received);
    return map;
}

bool torrents_active(std::span<const std::int64_t> counters, const MetricPositions& positions) {
    std::int64_t sum = 0;
    for (const Metric metric :
         {Metric::CheckingTorrents, Metric::UploadOnlyTorrents, Metric::DownloadingTorrents,
          Metric::SeedingTorrents, Metric::QueuedSeedingTorrents, Metric::QueuedDownloadTorrents}) {
        sum += metric_value(counters, positions, metric);
    }
    return sum != 0;
}

}  // namespace velmora::engine
