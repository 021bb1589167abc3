// What the torrent list does to one torrent beyond a plain engine call: stopping through the
// record, starting again, deleting, moving its data, and what follows its completion.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/torrent_flags.hpp>

#include "velmora/config/client_settings.h"
#include "velmora/engine/engine_session.h"
#include "velmora/lifecycle/record_store.h"

namespace velmora::bridge {
class UiEventSink;
}

namespace velmora::lifecycle {

class WorkerCount;

// The flags an add clears before it sets its own.
inline constexpr lt::torrent_flags_t kStartMask =
    lt::torrent_flags::paused | lt::torrent_flags::auto_managed |
    lt::torrent_flags::duplicate_is_error | lt::torrent_flags::stop_when_ready;

// Every folder a torrent's data or record may lie in. A function left empty stands for no folder.
struct LifecycleFolders {
    std::filesystem::path record_folder;
    // Where adds without a chosen folder save; the user may change it while the client runs.
    std::function<std::filesystem::path()> download_folder;
    // Where finished torrents go; empty: they stay.
    std::function<std::filesystem::path()> completed_folder;
    // Every folder the client downloads into; data outside them is never deleted by path.
    std::function<std::vector<std::filesystem::path>()> all_download_folders;
    std::filesystem::path home;
};

// The page's options for a torrent it starts again.
struct StartOptions {
    bool sequential_download = false;
    bool upload_mode = false;
    bool share_mode = false;
    bool super_seeding = false;
    int upload_limit = 0;
    int download_limit = 0;
};

// Thread: the commands on the gui thread, the alert handlers and the move queue's start on the
// tick; the move queue has its own lock.
class TorrentOperations {
public:
    TorrentOperations(engine::EngineSession& engine,
                      config::ClientSettings& settings,
                      const std::atomic<bool>& running,
                      bridge::UiEventSink& events,
                      RecordStore& records,
                      PendingHashes& pending_stops,
                      WorkerCount& workers,
                      const LifecycleFolders& folders);

    // Saves the record, then takes the torrent out of the session; false when it is not there.
    bool stop(const std::string& hash);
    void stop_all();
    // Puts a stopped torrent back: from its record, or by hash when it never had metadata.
    void start_stopped(const std::string& hash,
                       bool paused,
                       std::vector<std::string> trackers,
                       std::vector<std::string> web_seeds,
                       const StartOptions& options);
    // A torrent in the session goes, with its files when asked; for a stopped one only the files
    // its record names are deleted, and only when `data_path` is where they lie.
    void delete_torrent(const std::string& hash, bool delete_data, const std::string& data_path);
    // Deletes a torrent's data on a worker and tells the page whether it was there.
    void delete_data(std::string first, std::string path);

    // Queues a move of the torrent's data, unless it already lies in the completed folder.
    void move_downloads_folder(const std::string& hash, const std::string& target);
    // Starts the front move when none runs. Thread: the tick (the status-bar refresh).
    void start_next_move();
    // Queued moves, the running one included. Thread: any.
    std::int32_t moves_queued() const;

    // True once for each record save asked for so that `auto_stop` can stop a finished torrent;
    // an answer to any other save never stops one, so a finished torrent is still moved and
    // announced when an older answer arrives after its completion.
    bool take_auto_stop(const std::string& hash);

    void on_torrent_finished(const lt::torrent_finished_alert& alert);
    // Goes on with the completions the page has answered for since the last call, reading their
    // statuses in one engine call. `failed` is told of each one that broke. Thread: the tick.
    void finish_answered_completions(const std::function<void(const std::exception&)>& failed);
    void on_storage_moved(const lt::storage_moved_alert& alert);
    void on_storage_moved_failed(const lt::storage_moved_failed_alert& alert);

private:
    // A completion the page has answered for: whether it already knew of it.
    struct AnsweredCompletion {
        lt::torrent_handle handle;
        std::string hash;
        bool known = false;
    };
    // Filled by the page's answers on whatever thread hears them; shared with those answers,
    // which may come after this object is gone.
    struct AnsweredCompletions {
        std::mutex lock;
        std::vector<AnsweredCompletion> answered;
    };
    void finish_completion(const AnsweredCompletion& completion, const lt::torrent_status& status);

    struct MoveJob {
        std::string target;
        std::string hash;
    };
    // The torrent of the running session a key names; invalid for a malformed key.
    lt::torrent_handle find(const std::string& hash) const;
    void queue_move(std::string target, std::string hash);
    void end_move();
    std::filesystem::path completed_folder() const;
    bool lies_in_completed_folder(const lt::torrent_status& status) const;
    // Rewrites the record; with `auto_stop` on, the answer stops the torrent if it is finished
    // now.
    void request_save(const lt::torrent_handle& handle);

    engine::EngineSession& engine_;
    config::ClientSettings& settings_;
    const std::atomic<bool>& running_;
    bridge::UiEventSink& events_;
    RecordStore& records_;
    PendingHashes& pending_stops_;
    WorkerCount& workers_;
    const LifecycleFolders& folders_;
    PendingHashes auto_stops_;
    std::shared_ptr<AnsweredCompletions> completions_ = std::make_shared<AnsweredCompletions>();

    mutable std::mutex move_lock_;
    std::deque<MoveJob> moves_;
    bool move_running_ = false;
};

}  // namespace velmora::lifecycle
