// Raising the status events of each tick.
#include "velmora/engine/status_reporter.h"

#include <algorithm>
#include <exception>
#include <map>
#include <utility>

#include <libtorrent/torrent_info.hpp>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/engine/info_hash_hex.h"

namespace velmora::engine {
namespace {

constexpr std::int32_t kTorrentUpdateError = 62;
constexpr std::int32_t kTorrentUpdateCycleError = 63;

void report_update_error(bridge::UiEventSink& events, std::int32_t title, const char* what) {
    events.ui_call(
        bridge::event::kPostNoFormatError,
        bridge::UiArray{bridge::UiValue(title), bridge::UiValue(what), bridge::UiValue(false)});
}

// Each question to a torrent waits for the engine's thread, and a tick asks thousands of
// torrents: what the status already tells is not asked again. A torrent with every piece has
// every file whole; one without any has none begun.
std::vector<std::int64_t> file_progress_of(const lt::torrent_status& status) {
    if (!status.has_metadata) {
        return {};
    }
    if (status.is_seeding || status.num_pieces == 0) {
        if (const auto metadata = status.torrent_file.lock()) {
            const lt::file_storage& files = metadata->files();
            std::vector<std::int64_t> progress(static_cast<std::size_t>(files.num_files()), 0);
            if (status.num_pieces != 0) {
                for (const lt::file_index_t file : files.file_range()) {
                    progress[static_cast<std::size_t>(static_cast<int>(file))] =
                        files.file_size(file);
                }
            }
            return progress;
        }
    }
    return status.handle.file_progress(lt::torrent_handle::piece_granularity);
}

std::vector<lt::peer_info> peers_of(const lt::torrent_status& status) {
    std::vector<lt::peer_info> peers;
    if (status.num_connections > 0) {
        status.handle.get_peer_info(peers);
    }
    return peers;
}

}  // namespace

StatusReporter::StatusReporter(const config::ClientSettings& settings,
                               const std::atomic<bool>& running,
                               bridge::UiEventSink& events,
                               CountryLookup country,
                               KeepAwake& keep_awake,
                               JobQueueHooks& jobs)
    : settings_(settings),
      running_(running),
      events_(events),
      country_(std::move(country)),
      keep_awake_(keep_awake),
      jobs_(jobs) {}

void StatusReporter::update_torrent(const lt::torrent_status& status,
                                    const std::vector<lt::announce_entry>* trackers) {
    if (!status.handle.is_valid()) {
        return;
    }
    bridge::UiArray payload;
    try {
        payload.emplace_back(status_map(status, file_progress_of(status)));
        payload.emplace_back(peers_array(peers_of(status), country_));
        payload.emplace_back(trackers_array(
            trackers != nullptr ? *trackers : status.handle.trackers(), lt::clock_type::now()));
    } catch (const std::exception& e) {
        report_update_error(events_, kTorrentUpdateError, e.what());
        return;
    }
    // a tick raises one per torrent: waiting for the page each time would cost a round trip each
    events_.ui_post(bridge::event::kUpdateTorrent, std::move(payload));
    updates_raised_.fetch_add(1, std::memory_order_relaxed);
}

void StatusReporter::update_torrents_trackers(const lt::torrent_handle& handle) {
    if (!handle.is_valid()) {
        return;
    }
    bridge::UiArray payload;
    try {
        payload.emplace_back(torrent_key(handle.info_hashes()));
        payload.emplace_back(trackers_array(handle.trackers(), lt::clock_type::now()));
    } catch (const std::exception& e) {
        report_update_error(events_, kTorrentUpdateError, e.what());
        return;
    }
    events_.ui_call(bridge::event::kUpdateTorrentsTrackers, std::move(payload));
}

std::vector<lt::torrent_status> read_statuses(lt::session_handle& session,
                                              std::span<const lt::torrent_handle> handles,
                                              lt::status_flags_t flags) {
    std::vector<lt::torrent_status> statuses(handles.size());
    for (std::size_t i = 0; i < handles.size(); ++i) {
        statuses[i].handle = handles[i];
    }
    if (!statuses.empty()) {
        session.refresh_torrent_status(&statuses, flags);
    }
    return statuses;
}

StatusesAndTrackers read_statuses_and_trackers(lt::session_handle& session,
                                               std::span<const lt::torrent_handle> handles,
                                               lt::status_flags_t flags) {
    StatusesAndTrackers read;
    read.statuses.resize(handles.size());
    read.trackers.resize(handles.size());
    // ordered by each handle's owner; a torrent listed twice is read once and copied after
    std::map<lt::torrent_handle, std::size_t> positions;
    std::vector<std::pair<std::size_t, std::size_t>> repeats;  // (position, first position)
    for (std::size_t i = 0; i < handles.size(); ++i) {
        const auto [at, fresh] = positions.emplace(handles[i], i);
        if (!fresh) {
            repeats.emplace_back(i, at->second);
        }
    }
    if (positions.empty()) {
        return read;
    }
    // The filter runs on the engine's thread for every torrent of the session while this
    // thread waits, and there the handle answers at once. It keeps what it reads itself and
    // lets nothing through, so the engine copies no status twice.
    session.get_torrent_status(
        [&](const lt::torrent_status& status) {
            const auto found = positions.find(status.handle);
            if (found != positions.end()) {
                read.statuses[found->second] = status;
                read.trackers[found->second] = status.handle.trackers();
            }
            return false;
        },
        flags);
    for (const auto& [position, first] : repeats) {
        read.statuses[position] = read.statuses[first];
        read.trackers[position] = read.trackers[first];
    }
    return read;
}

bool status_was_read(const lt::torrent_status& status) {
    return status.info_hashes.has_v1() || status.info_hashes.has_v2();
}

void StatusReporter::refresh_all(lt::session_handle& session) {
    std::vector<lt::torrent_handle> handles;
    {
        const std::lock_guard lock(list_lock_);
        handles.reserve(listed_.size());
        for (const Listed& listed : listed_) {
            handles.push_back(listed.handle);
        }
    }
    // a torrent that left the session keeps an empty status, whose handle is not valid: skipped
    const StatusesAndTrackers read = read_statuses_and_trackers(
        session, handles,
        lt::torrent_handle::query_last_seen_complete | lt::torrent_handle::query_torrent_file);
    for (std::size_t i = 0; i < read.statuses.size(); ++i) {
        if (!running_) {
            return;
        }
        const lt::torrent_status& status = read.statuses[i];
        try {
            if (status.handle.is_valid()) {
                update_torrent(status, &read.trackers[i]);
            }
        } catch (const std::exception& e) {
            report_update_error(events_, kTorrentUpdateCycleError, e.what());
        }
    }
}

void StatusReporter::statusbar_tick(bool listening,
                                    std::span<const std::int64_t> counters,
                                    const MetricPositions& positions) {
    const StatusbarInputs inputs{listening, settings_.use_dht, jobs_.storage_moves(),
                                 jobs_.creations_queued()};
    events_.ui_call(bridge::event::kDoStatusbar,
                    statusbar_map(counters, positions, totals_, inputs));
    if (!settings_.respect_sleep) {
        keep_awake_.set_system_required(torrents_active(counters, positions));
    }
    jobs_.start_next_jobs();
}

void StatusReporter::add_status(const lt::torrent_status& status) {
    const std::lock_guard lock(list_lock_);
    listed_.push_back({status.handle, status.info_hashes});
}

void StatusReporter::erase_status(const std::string& hash) {
    const std::lock_guard lock(list_lock_);
    std::erase_if(listed_, [&hash](const Listed& l) { return torrent_key(l.hashes) == hash; });
}

bool StatusReporter::has_statuses() const {
    const std::lock_guard lock(list_lock_);
    return !listed_.empty();
}

}  // namespace velmora::engine
