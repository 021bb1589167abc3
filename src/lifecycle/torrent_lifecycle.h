// Torrents entering the client and their records following the engine's answers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/announce_entry.hpp>
#include <libtorrent/error_code.hpp>

#include "velmora/config/client_settings.h"
#include "velmora/engine/alert_pump.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/status_reporter.h"
#include "velmora/lifecycle/record_store.h"
#include "velmora/lifecycle/torrent_operations.h"

namespace velmora::bridge {
class UiEventSink;
}

namespace velmora::lifecycle {

// What the magnet add flow reads from a link; `error` is set for a link it refuses, among them
// one whose hash is all zeros.
lt::add_torrent_params read_magnet_link(std::string_view link, lt::error_code& error);

// Counts the detached workers that use the lifecycle, so that it outlives them.
class WorkerCount {
public:
    ~WorkerCount();
    // Runs the job on a detached thread.
    void start(std::function<void()> job);

private:
    std::mutex lock_;
    std::condition_variable idle_;
    int running_ = 0;
};

// Thread: the add flows run on the thread that calls them (the gui, or a worker); the alert
// handlers on the tick; every shared list has its own lock.
class TorrentLifecycle final : public engine::AlertHandoff {
public:
    TorrentLifecycle(engine::EngineSession& engine,
                     config::ClientSettings& settings,
                     const std::atomic<bool>& running,
                     engine::StatusReporter& status,
                     bridge::UiEventSink& events,
                     LifecycleFolders folders);
    ~TorrentLifecycle() override;

    // The add flows, one per source.
    void add_torrent_file(const std::filesystem::path& path,
                          const std::string& save_path,
                          bool auto_load);
    void add_magnet(const std::string& link);
    // `hash_text` is 40 hex digits; name and trackers may be empty.
    void add_by_hash(const std::string& hash_text,
                     const std::string& name,
                     const std::vector<std::string>& trackers);
    // A search result's hash in base64.
    void add_by_base64_hash(const std::string& hash_text,
                            const std::string& name,
                            const std::vector<std::string>& trackers);
    void add_record_file(const std::filesystem::path& path);
    // Puts back the torrents the page lists, each from its record or, failing that, by hash.
    void restore_session();
    // Thread: any. True while restored torrents are still to be answered by the engine.
    bool restoring() const { return restores_outstanding_.load() > 0; }
    // Runs an add on a detached worker.
    void start_worker(std::function<void()> job) { workers_.start(std::move(job)); }
    // False once the client ends: a worker stops at its next step.
    bool running() const { return running_; }

    // The periodic re-announce and record save, on a worker; does nothing once not running.
    void timer_events(bool save_settings, std::function<void()> write_settings);
    // Saves every record with metadata; at exit also ends the engine session. The pump, if
    // given, takes no alert meanwhile.
    void save_all_records(bool for_exit, engine::AlertPump* pump);

    // engine::AlertHandoff
    void start_adds(std::span<const lt::add_torrent_alert* const> alerts,
                    const Failed& failed) override;
    void announce_add(const lt::add_torrent_alert& alert, const Failed& failed) override;
    void on_metadata_received(const lt::metadata_received_alert& alert) override;
    void on_save_resume_data(const lt::save_resume_data_alert& alert) override;
    void on_save_resume_data_failed(const lt::save_resume_data_failed_alert& alert) override;
    void on_torrent_removed(const lt::torrent_removed_alert& alert) override;
    void on_torrent_finished(const lt::torrent_finished_alert& alert) override;
    void finish_answered(const Failed& failed) override;
    void on_storage_moved(const lt::storage_moved_alert& alert) override;
    void on_storage_moved_failed(const lt::storage_moved_failed_alert& alert) override;

    RecordStore& records() { return records_; }
    PendingHashes& pending_stops() { return pending_stops_; }
    TorrentOperations& operations() { return operations_; }

private:
    bool is_known(const std::string& hash);
    void handle_duplicate(const std::string& hash,
                          const std::vector<std::string>& trackers,
                          bool merge);
    void prepare_start(lt::add_torrent_params& params) const;
    void remove_after_save(const lt::torrent_handle& handle, const std::string& hash);
    void offer_magnet_options(const std::filesystem::path& path);
    void remove_fetch_data(const std::string& hash, const lt::torrent_info& metadata);
    void refuse_merkle(const std::string& file_name);
    void restore_one(const bridge::UiValue& entry);
    void count_answered_add();
    // The parts of an answered add: a failed one; the engine steps; the page events.
    void refuse_added(const lt::add_torrent_alert& alert);
    void start_added(const lt::add_torrent_alert& alert);
    // `trackers`: the list the engine's thread read as it announced the add; without one the
    // handle is asked.
    void announce_added(const lt::add_torrent_alert& alert,
                        const lt::torrent_status& status,
                        std::optional<std::vector<lt::announce_entry>> trackers);
    void raise_add_error(const lt::error_code& error, const std::string& shown_name);
    void periodic_announce_and_save(bool save_settings, const std::function<void()>& write);

    engine::EngineSession& engine_;
    config::ClientSettings& settings_;
    // Adds of the restore not answered yet; any answered add counts, so it never stays high.
    std::atomic<std::int64_t> restores_outstanding_{0};
    const std::atomic<bool>& running_;
    engine::StatusReporter& status_;
    bridge::UiEventSink& events_;
    LifecycleFolders folders_;
    RecordStore records_;
    PendingHashes pending_stops_;
    PendingHashes pending_options_;
    // Magnet torrents whose data path in the download folder was free when their metadata
    // arrived: whatever lies there later is theirs.
    std::mutex fresh_lock_;
    std::set<std::string> fresh_fetch_paths_;
    // The adds of the batch the pump hands on, started and waiting for their page events in
    // order, and the statuses read for the next of them. Used by one pump pass at a time.
    struct StartedAdd {
        const lt::add_torrent_alert* alert = nullptr;
        bool started = false;
    };
    // Statuses read in one call, at most.
    static constexpr std::size_t kStatusesPerRead = 256;
    // The status of the started add at `index`; the adds are asked for in their order.
    const lt::torrent_status& status_of_started(std::size_t index);
    // Reads the statuses of the started adds from `first` on, as many as one call reads.
    void read_statuses_from(std::size_t first);
    std::vector<StartedAdd> started_adds_;
    std::size_t next_announced_ = 0;
    std::vector<lt::torrent_status> statuses_;
    std::vector<std::size_t> status_positions_;  // of statuses_ in started_adds_
    std::size_t next_status_ = 0;
    // Before the workers: they end, waited for, while what they use still exists.
    TorrentOperations operations_;
    WorkerCount workers_;
};

}  // namespace velmora::lifecycle
