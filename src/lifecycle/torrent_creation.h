// Making torrent files: from files on disk (queued, one at a time on a worker thread), from the
// record of a torrent the client has, and by giving an existing torrent file new outer data.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velmora/bridge/ui_event_sink.h"
#include "velmora/bridge/ui_value.h"
#include "velmora/lifecycle/record_store.h"

namespace velmora::lifecycle {

// Which hashes a new torrent carries.
enum class TorrentFormat : std::int32_t { V1 = 0, V2 = 1, Hybrid = 2 };

// One request to make a torrent from files on disk.
struct CreateJob {
    std::filesystem::path source;  // the file or folder to share
    std::filesystem::path output;  // the torrent file to write
    std::string comment;
    std::int32_t piece_size = 0;  // 0: the engine chooses
    bool is_private = false;
    bool add_after_creation = false;
    bool optimize_alignment = false;
    bool file_hashes = false;
    std::int32_t reserved = 0;
    std::vector<std::string> trackers;  // tier = position in the list
    std::vector<std::string> web_seeds;
    std::vector<std::string> collections;
    std::vector<std::string> similar_torrents;  // torrent keys
    std::vector<std::string> dht_nodes;         // "host:port"
    TorrentFormat format = TorrentFormat::V1;
    std::filesystem::path root_certificate;  // empty: not an SSL torrent
};

// The page's make_new_torrent arguments: the options array of 14, the trackers and the web
// seeds. Yes/no options are integers other than 0, other integers read as 0 when they are not
// integers, and a missing or mistyped entry reads as empty. Thread: any.
CreateJob create_job_from(const bridge::UiValue& options,
                          const bridge::UiValue& trackers,
                          const bridge::UiValue& web_seeds);

// The creation queue and its one worker.
// Thread: enqueue, queue_length and busy on any thread; start_next on the tick. The worker
// raises its events and calls `add_created` on its own thread.
class TorrentCreator {
public:
    using AddCreated = std::function<void(const std::filesystem::path& torrent_file,
                                          const std::string& save_path)>;
    // Called on the worker after each hashed piece, with the count of pieces hashed so far
    // less one; lets a caller watch (or disturb) a creation while it reads the files.
    using PieceObserver = std::function<void(int piece)>;

    TorrentCreator(bridge::UiEventSink& events,
                   const std::atomic<bool>& running,
                   AddCreated add_created,
                   PieceObserver on_piece_hashed = {});
    // Abandons a creation still hashing (it writes nothing and raises nothing) and waits for
    // the worker to end.
    ~TorrentCreator();
    TorrentCreator(const TorrentCreator&) = delete;
    TorrentCreator& operator=(const TorrentCreator&) = delete;

    void enqueue(CreateJob job);
    std::size_t queue_length() const;
    // Starts the worker on a copy of the front job, unless one runs, the queue is empty or the
    // client no longer runs (the job then stays queued). The job leaves the queue when its
    // worker ends, whatever the outcome.
    void start_next();
    bool busy() const;

private:
    void work(const CreateJob& job);
    bool should_continue() const;
    void finish();

    bridge::UiEventSink& events_;
    const std::atomic<bool>& running_;
    AddCreated add_created_;
    PieceObserver on_piece_hashed_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex lock_;
    std::deque<CreateJob> queue_;
    bool busy_ = false;
    std::thread worker_;
};

// The page's do_make_torrent_from_session: options [key, output path, creator text, trackers,
// web seeds, comment]. Writes the torrent of the record `key` to the output path. Blocks the
// calling thread; the caller skips it once the client stops running. Thread: any.
void export_torrent(const RecordStore& records,
                    const bridge::UiValue& options,
                    bridge::UiEventSink& events);

// The page's do_edit_torrent: options [output folder, comment, creator text, collections, DHT
// nodes, similar torrents, trackers, web seeds, torrent file, output file name]. Rewrites the
// torrent file around its unchanged info dictionary (so its info-hashes stay); the file's former
// trackers, web seeds, comment, creator and nodes are dropped. Writes to the output folder under
// the output file name, or over the edited file when the folder is empty. Raises nothing on
// success. Blocks the calling thread; the caller skips it once the client stops running.
// Thread: any.
void edit_torrent_file(const bridge::UiValue& options, bridge::UiEventSink& events);

}  // namespace velmora::lifecycle
