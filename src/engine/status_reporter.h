// The live status the pages show: one update per changed torrent and the status bar each tick.
#pragma once

#include <atomic>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <libtorrent/announce_entry.hpp>
#include <libtorrent/info_hash.hpp>
#include <libtorrent/session_handle.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_status.hpp>

#include "velmora/config/client_settings.h"
#include "velmora/engine/status_reports.h"

namespace velmora::bridge {
class UiEventSink;
}

namespace velmora::engine {

// The operating system's sleep control. Thread: the tick.
class KeepAwake {
public:
    virtual ~KeepAwake() = default;
    // Always called with the whole wish: true keeps the machine awake, false lets it sleep again.
    virtual void set_system_required(bool required) = 0;
};

// The background job queues (hashing, torrent creation, storage moves) as the tick sees them.
// Thread: the tick.
class JobQueueHooks {
public:
    virtual ~JobQueueHooks() = default;
    // Starts at most one queued job of each kind, in the order hash, creation, move.
    virtual void start_next_jobs() {}
    // Jobs in the storage-move queue, the running one included.
    virtual std::int32_t storage_moves() const { return 0; }
    virtual std::int32_t creations_queued() const { return 0; }
};

// The statuses of these torrents in one engine call, in their order, read with `flags`. A
// torrent that has left the session keeps an empty status, for which `status_was_read` is false.
std::vector<lt::torrent_status> read_statuses(lt::session_handle& session,
                                              std::span<const lt::torrent_handle> handles,
                                              lt::status_flags_t flags);
bool status_was_read(const lt::torrent_status& status);

// read_statuses, and each torrent's tracker list with its status. The engine's thread reads the
// lists while it reads the statuses: asked of each handle, they would cost a round trip to that
// thread per torrent.
struct StatusesAndTrackers {
    std::vector<lt::torrent_status> statuses;
    std::vector<std::vector<lt::announce_entry>> trackers;  // in the statuses' order
};
StatusesAndTrackers read_statuses_and_trackers(lt::session_handle& session,
                                               std::span<const lt::torrent_handle> handles,
                                               lt::status_flags_t flags);

// Thread: the tick, except the totals, which the gui thread's commands also reach.
class StatusReporter {
public:
    StatusReporter(const config::ClientSettings& settings,
                   const std::atomic<bool>& running,
                   bridge::UiEventSink& events,
                   CountryLookup country,
                   KeepAwake& keep_awake,
                   JobQueueHooks& jobs);

    // One torrent's status, peers and trackers; a failure is reported and raises nothing.
    // `trackers`: the torrent's tracker list when it was read with the status; without it the
    // handle is asked.
    void update_torrent(const lt::torrent_status& status,
                        const std::vector<lt::announce_entry>* trackers = nullptr);
    void update_torrents_trackers(const lt::torrent_handle& handle);
    // The all-torrents mode: refreshes the cached list and updates every valid torrent.
    void refresh_all(lt::session_handle& session);
    // The statistics answer: totals, the status bar, keep-awake and the next jobs.
    void statusbar_tick(bool listening,
                        std::span<const std::int64_t> counters,
                        const MetricPositions& positions);

    // The torrents of the all-torrents mode. Thread: any.
    void add_status(const lt::torrent_status& status);
    void erase_status(const std::string& hash);
    bool has_statuses() const;

    TransferTotals& totals() { return totals_; }
    // How many torrent updates were raised so far. Thread: any.
    std::uint64_t updates_raised() const { return updates_raised_.load(std::memory_order_relaxed); }

private:
    const config::ClientSettings& settings_;
    const std::atomic<bool>& running_;
    bridge::UiEventSink& events_;
    CountryLookup country_;
    KeepAwake& keep_awake_;
    JobQueueHooks& jobs_;
    TransferTotals totals_;
    // A torrent of the list: its handle, and its hashes, which the removal still knows once the
    // handle is gone. Not its status: a status is a kilobyte, and each refresh reads it afresh.
    struct Listed {
        lt::torrent_handle handle;
        lt::info_hash_t hashes;
    };
    mutable std::mutex list_lock_;
    std::vector<Listed> listed_;
    std::atomic<std::uint64_t> updates_raised_{0};
};

}  // namespace velmora::engine
