// The values behind the torrent rows, the peer and tracker tabs and the status bar, built from
// the engine's own records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <libtorrent/address.hpp>
#include <libtorrent/announce_entry.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session_stats.hpp>
#include <libtorrent/time.hpp>
#include <libtorrent/torrent_status.hpp>

#include "velmora/bridge/ui_value.h"

namespace velmora::engine {

// Two-letter country code of an address; "XX" when unknown.
using CountryLookup = std::function<std::string(const lt::address&)>;

// Thread: any, for the three builders below (they only read their arguments).

// One torrent row. file_progress: bytes done per file (piece granularity), empty without
// metadata.
bridge::UiMap status_map(const lt::torrent_status& status,
                         const std::vector<std::int64_t>& file_progress);
// The connected peers, in list order; connections still being set up are left out.
bridge::UiArray peers_array(const std::vector<lt::peer_info>& peers, const CountryLookup& country);
// `now` is the steady-clock time the next-announce countdowns are measured from.
bridge::UiArray trackers_array(const std::vector<lt::announce_entry>& trackers, lt::time_point now);

// The session statistics the status bar reads, in the order of their engine names
// ("peer.num_peers_connected", "dht.dht_nodes", "dht.dht_peers", "net.sent_bytes",
// "net.recv_bytes", "net.has_incoming_connections", "ses.num_checking_torrents",
// "ses.num_stopped_torrents", "ses.num_upload_only_torrents", "ses.num_downloading_torrents",
// "ses.num_seeding_torrents", "ses.num_queued_seeding_torrents",
// "ses.num_queued_download_torrents", "ses.num_error_torrents").
enum class Metric {
    PeersConnected,
    DhtNodes,
    DhtPeers,
    SentBytes,
    RecvBytes,
    HasIncomingConnections,
    CheckingTorrents,
    StoppedTorrents,
    UploadOnlyTorrents,
    DownloadingTorrents,
    SeedingTorrents,
    QueuedSeedingTorrents,
    QueuedDownloadTorrents,
    ErrorTorrents
};
inline constexpr std::size_t kMetricCount = 14;
// Where each Metric sits in the engine's counters; -1 where the engine has no such metric.
using MetricPositions = std::array<int, kMetricCount>;

// Thread: any.
MetricPositions find_metric_positions(const std::vector<lt::stats_metric>& metrics);
// A missing position or a position past the end reads as 0.
std::int64_t metric_value(std::span<const std::int64_t> counters,
                          const MetricPositions& positions,
                          Metric metric);

// All-time transfer totals: this session's engine counters plus what earlier sessions carried
// over. Thread: any; the tick updates it while the gui thread's commands read and reset it.
class TransferTotals {
public:
    // The start-up values from the earlier sessions.
    void set_carried_over(std::int64_t uploaded, std::int64_t downloaded);
    // This session's net.sent_bytes and net.recv_bytes, on every statistics tick.
    void update(std::int64_t sent_counter, std::int64_t recv_counter);

    std::int64_t all_time_uploaded() const;
    std::int64_t all_time_downloaded() const;
    // The all-time totals in the pages' number type. They change nothing: the carried-over part
    // stays what earlier sessions left, so later ticks never count this session twice.
    float resumed_uploaded();
    float resumed_downloaded();
    // Drops the carried-over part, leaving this session's counters alone; returns the new totals
    // as size texts (uploaded, downloaded).
    std::pair<std::string, std::string> reset();

    // The counters the previous tick remembered; 0 before the first tick.
    std::int64_t previous_sent() const;
    std::int64_t previous_received() const;
    void remember_tick(std::int64_t sent_counter, std::int64_t recv_counter);

private:
    mutable std::mutex mutex_;
    std::int64_t carried_uploaded_ = 0;
    std::int64_t carried_downloaded_ = 0;
    std::int64_t sent_counter_ = 0;
    std::int64_t recv_counter_ = 0;
    std::int64_t previous_sent_ = 0;
    std::int64_t previous_received_ = 0;
};

struct StatusbarInputs {
    bool listening;
    bool use_dht;
    std::int32_t storage_moving;  // storage-move jobs queued, the running one included
    std::int32_t create_queued;   // torrent-creation jobs queued
};

// The status bar of one statistics tick: updates the totals from the counters, builds the map and
// remembers this tick's counters for the next per-second figures. Thread: the tick.
bridge::UiMap statusbar_map(std::span<const std::int64_t> counters,
                            const MetricPositions& positions,
                            TransferTotals& totals,
                            const StatusbarInputs& inputs);
// True while any torrent is checking, downloading, seeding (upload-only included) or queued to
// do either: the machine should stay awake. Thread: any.
bool torrents_active(std::span<const std::int64_t> counters, const MetricPositions& positions);

}  // namespace velmora::engine
