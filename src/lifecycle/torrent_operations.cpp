// Stop, start, delete and move, and the completion of a download.
#include "velmora/lifecycle/torrent_operations.h"

#include <fstream>
#include <optional>

#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/engine/client_functions.h"
#include "velmora/engine/error_translation.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/engine/status_reporter.h"
#include "velmora/lifecycle/data_removal.h"
#include "velmora/lifecycle/torrent_lifecycle.h"

namespace velmora::lifecycle {
namespace {

namespace ev = bridge::event;
namespace fs = std::filesystem;
using bridge::UiArray;
using bridge::UiValue;

constexpr std::int32_t kNotFound = -1;
constexpr std::int32_t kTorrentComplete = 15;
constexpr std::int32_t kTorrentStopped = 1227;
constexpr std::int32_t kTorrentRemoved = 1228;

std::string key_of(const lt::torrent_handle& handle) {
    return engine::torrent_key(handle.info_hashes());
}

void set_flag(lt::add_torrent_params& params, lt::torrent_flags_t flag, bool on) {
    if (on) {
        params.flags |= flag;
    } else {
        params.flags &= ~flag;
    }
}

void apply_options(lt::add_torrent_params& params, const StartOptions& options) {
    set_flag(params, lt::torrent_flags::sequential_download, options.sequential_download);
    set_flag(params, lt::torrent_flags::upload_mode, options.upload_mode);
    set_flag(params, lt::torrent_flags::share_mode, options.share_mode);
    set_flag(params, lt::torrent_flags::super_seeding, options.super_seeding);
    params.upload_limit = options.upload_limit;
    params.download_limit = options.download_limit;
}

// The record as the engine reads it, without telling the page about a record it cannot read:
// a deletion only needs to know which files are the torrent's.
std::optional<lt::add_torrent_params> read_record_quietly(const fs::path& path) {
    std::error_code size_error;
    const std::uintmax_t size = fs::file_size(path, size_error);
    if (size_error || size > kLargestRecordBytes) {
        return std::nullopt;
    }
    std::vector<char> bytes(static_cast<std::size_t>(size));
    std::ifstream in(path, std::ios::binary);
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        return std::nullopt;
    }
    lt::error_code ec;
    lt::load_torrent_limits limits;
    limits.max_buffer_size = static_cast<int>(kLargestRecordBytes);
    limits.max_decode_depth = kRecordDepthLimit;
    limits.max_decode_tokens = kRecordTokenLimit;
    lt::add_torrent_params params = lt::read_resume_data(bytes, ec, limits);
    if (ec) {
        return std::nullopt;
    }
    return params;
}

bool same_path(const std::string& a, const fs::path& b) {
    return !a.empty() && comparable_path(a) == comparable_path(b);
}

}  // namespace

TorrentOperations::TorrentOperations(engine::EngineSession& engine,
                                     config::ClientSettings& settings,
                                     const std::atomic<bool>& running,
                                     bridge::UiEventSink& events,
                                     RecordStore& records,
                                     PendingHashes& pending_stops,
                                     WorkerCount& workers,
                                     const LifecycleFolders& folders)
    : engine_(engine),
      settings_(settings),
      running_(running),
      events_(events),
      records_(records),
      pending_stops_(pending_stops),
      workers_(workers),
      folders_(folders) {}

lt::torrent_handle TorrentOperations::find(const std::string& hash) const {
    if (!engine_.started() || !engine::InfoHashHex::parse(hash)) {
        return {};
    }
    return engine_.session().find_torrent(engine::to_hash(hash));
}

bool TorrentOperations::stop(const std::string& hash) {
    const lt::torrent_handle handle = find(hash);
    if (!handle.is_valid()) {
        return false;
    }
    refresh_trackers(handle);
    pending_stops_.add(hash);
    handle.save_resume_data(lt::torrent_handle::save_info_dict);
    return true;
}

void TorrentOperations::stop_all() {
    if (!engine_.started()) {
        return;
    }
    for (const lt::torrent_handle& handle : engine_.session().get_torrents()) {
        if (handle.is_valid()) {
            refresh_trackers(handle);
            pending_stops_.add(key_of(handle));
            handle.save_resume_data(lt::torrent_handle::save_info_dict);
        }
    }
}

void TorrentOperations::start_stopped(const std::string& hash,
                                      bool paused,
                                      std::vector<std::string> trackers,
                                      std::vector<std::string> web_seeds,
                                      const StartOptions& options) {
    if (!engine_.started() || !engine::InfoHashHex::parse(hash)) {
        return;
    }
    lt::add_torrent_params params;
    if (records_.record_exists(hash)) {
        auto load = records_.load_record(records_.record_path(hash), hash + ".vtr",
                                         LoadOrder::ResumeDataFirst);
        if (!load) {
            return;  // the page heard why; the torrent stays stopped and the record stays
        }
        params = std::move(load->params);
        load->metadata->set_web_seeds({});
        params.flags &= ~kStartMask;
        set_flag(params, lt::torrent_flags::paused, paused);
        params.ti = std::make_shared<lt::torrent_info>(*load->metadata);
        params.tracker_tiers.clear();
    } else {
        // stopped before its metadata arrived: it starts over from the hash
        params.save_path = folders_.download_folder().string();
        params.info_hashes = lt::info_hash_t(engine::to_hash(hash));
        params.storage_mode = lt::storage_mode_allocate;
        params.flags &= ~kStartMask;
    }
    params.trackers = std::move(trackers);
    params.url_seeds = std::move(web_seeds);
    apply_options(params, options);
    engine_.session().async_add_torrent(std::move(params));
}

void TorrentOperations::delete_torrent(const std::string& hash,
                                       bool delete_data,
                                       const std::string& data_path) {
    if (const lt::torrent_handle handle = find(hash); handle.is_valid()) {
        engine_.session().remove_torrent(
            handle, delete_data ? lt::session_handle::delete_files : lt::remove_flags_t{});
        return;
    }
    if (!delete_data || !engine::InfoHashHex::parse(hash) || !records_.record_exists(hash)) {
        return;  // without its record nothing tells which files were the torrent's
    }
    const auto record = read_record_quietly(records_.record_path(hash));
    const auto data = record ? torrent_data_of(*record) : std::nullopt;
    if (data && same_path(data_path, data->root) && !is_protected_path(data->root, folders_.home)) {
        remove_torrent_data(*data);
    }
}

void TorrentOperations::delete_data(std::string first, std::string path) {
    // Resolved now, on the gui thread: the worker touches nothing of the client but the page.
    std::optional<TorrentData> own;
    if (engine::InfoHashHex::parse(first) && records_.record_exists(first)) {
        if (const auto record = read_record_quietly(records_.record_path(first))) {
            own = torrent_data_of(*record);
        }
    }
    std::vector<fs::path> folders;
    if (folders_.all_download_folders) {
        folders = folders_.all_download_folders();
    }
    workers_.start([this, first = std::move(first), path = std::move(path), own = std::move(own),
                    folders = std::move(folders)] {
        if (!running_) {
            return;
        }
        bool deleted = false;
        if (!path.empty() && !is_protected_path(path, folders_.home)) {
            if (own) {
                deleted = same_path(path, own->root) && remove_torrent_data(*own);
            } else {
                deleted = remove_inside(path, folders);
            }
        }
        events_.ui_call(ev::kDataDeletedResult,
                        UiArray{UiValue(first), UiValue(deleted), UiValue(std::string())});
    });
}

fs::path TorrentOperations::completed_folder() const {
    return folders_.completed_folder ? folders_.completed_folder() : fs::path();
}

bool TorrentOperations::lies_in_completed_folder(const lt::torrent_status& status) const {
    // Letter case counts: on these file systems two spellings are two folders.
    const fs::path completed = completed_folder();
    return !completed.empty() && same_path(status.save_path, completed);
}

void TorrentOperations::request_save(const lt::torrent_handle& handle) {
    // Decided now: an answer that arrives after a later completion must not stop the torrent
    // before its completion was handled.
    if (config::read_shared(settings_.auto_stop) &&
        handle.status(lt::status_flags_t{}).is_finished) {
        auto_stops_.add(key_of(handle));
    }
    handle.save_resume_data(lt::torrent_handle::save_info_dict);
}

bool TorrentOperations::take_auto_stop(const std::string& hash) {
    return auto_stops_.take_one(hash);
}

void TorrentOperations::move_downloads_folder(const std::string& hash, const std::string& target) {
    const lt::torrent_handle handle = find(hash);
    if (!handle.is_valid()) {
        return;
    }
    const lt::torrent_status status = handle.status(lt::torrent_handle::query_save_path);
    if (lies_in_completed_folder(status)) {
        if (status.is_finished && config::read_shared(settings_.auto_stop)) {
            request_save(handle);  // the answer stops it
        }
        return;
    }
    queue_move(target, hash);
}

void TorrentOperations::queue_move(std::string target, std::string hash) {
    const std::lock_guard lock(move_lock_);
    moves_.push_back({std::move(target), std::move(hash)});
}

std::int32_t TorrentOperations::moves_queued() const {
    const std::lock_guard lock(move_lock_);
    return static_cast<std::int32_t>(moves_.size());
}

void TorrentOperations::start_next_move() {
    MoveJob job;
    {
        const std::lock_guard lock(move_lock_);
        if (move_running_ || moves_.empty()) {
            return;
        }
        move_running_ = true;
        job = moves_.front();
    }
    const lt::torrent_handle handle = find(job.hash);
    if (handle.is_valid()) {
        handle.move_storage(job.target, lt::move_flags_t::always_replace_files);
        return;  // the engine's answer ends the move
    }
    const bool listed =
        events_.ui_call(ev::kIndexFromHash, UiValue(job.hash)).read_int() != kNotFound;
    events_.ui_call(
        ev::kDoStorageMovedFailed,
        UiArray{UiValue(job.hash), UiValue(listed ? kTorrentStopped : kTorrentRemoved)});
    end_move();
}

void TorrentOperations::end_move() {
    const std::lock_guard lock(move_lock_);
    if (move_running_ && !moves_.empty()) {
        moves_.pop_front();
    }
    move_running_ = false;
}

void TorrentOperations::on_storage_moved(const lt::storage_moved_alert& alert) {
    const std::string hash = key_of(alert.handle);
    events_.ui_call(
        ev::kStorageMovedAlert,
        UiArray{UiValue(hash), UiValue(std::string(alert.storage_path())), UiValue(true)});
    // The record follows the data at once: a client that ends before its next save would
    // otherwise look for the data where it was. With auto_stop the answer also stops a
    // finished torrent.
    request_save(alert.handle);
    end_move();
}

void TorrentOperations::on_storage_moved_failed(const lt::storage_moved_failed_alert& alert) {
    const engine::ErrorReport report = engine::translate_error(alert.error);
    events_.ui_call(ev::kDoStorageMovedFailedAlert,
                    UiArray{UiValue(report.message), UiValue(key_of(alert.handle)),
                            UiValue(std::string(alert.file_path())),
                            UiValue(std::string(lt::operation_name(alert.op))),
                            UiValue(report.kind), UiValue(report.text_id)});
    if (config::read_shared(settings_.auto_stop)) {
        request_save(alert.handle);
    }
    end_move();
}

void TorrentOperations::on_torrent_finished(const lt::torrent_finished_alert& alert) {
    const lt::torrent_handle& handle = alert.handle;
    if (!handle.is_valid()) {
        return;
    }
    handle.unset_flags(lt::torrent_flags::sequential_download | lt::torrent_flags::share_mode |
                       lt::torrent_flags::upload_mode);
    // The rest follows the page's answer, on the pass after it comes: waiting for the page here
    // would hold every alert behind this one, and the answer may come on the thread that reads
    // the page, which must not raise events.
    std::string hash = key_of(handle);
    events_.ui_call_then(ev::kGetSetTorrentComplete, UiValue(hash),
                         [completions = completions_, handle, hash](UiValue known) {
                             const std::lock_guard lock(completions->lock);
                             completions->answered.push_back(
                                 {handle, hash, known.is_string() && !known.as_string().empty()});
                         });
}

void TorrentOperations::finish_answered_completions(
    const std::function<void(const std::exception&)>& failed) {
    std::vector<AnsweredCompletion> answered;
    {
        const std::lock_guard lock(completions_->lock);
        answered.swap(completions_->answered);
    }
    if (answered.empty()) {
        return;
    }
    std::vector<lt::torrent_handle> handles;
    handles.reserve(answered.size());
    for (const AnsweredCompletion& completion : answered) {
        handles.push_back(completion.handle);
    }
    const std::vector<lt::torrent_status> statuses =
        engine::read_statuses(engine_.session(), handles,
                              lt::torrent_handle::query_save_path | lt::torrent_handle::query_name);
    for (std::size_t i = 0; i < answered.size(); ++i) {
        if (!engine::status_was_read(statuses[i])) {
            continue;  // it left the session before the page answered
        }
        try {
            finish_completion(answered[i], statuses[i]);
        } catch (const std::exception& e) {
            failed(e);
        }
    }
}

void TorrentOperations::finish_completion(const AnsweredCompletion& completion,
                                          const lt::torrent_status& status) {
    if (!completion.known) {
        events_.ui_post(ev::kPostSuccess, UiArray{UiValue(kTorrentComplete), UiValue(status.name),
                                                  UiValue(true), UiValue(status.save_path)});
        events_.ui_post(
            ev::kSetTorrentCompleteDate,
            UiArray{
                UiValue(completion.hash),
                UiValue(engine::utc_time_text(static_cast<std::int64_t>(status.completed_time)))});
    }
    std::error_code ec;
    const fs::path completed = completed_folder();
    if (completed.empty() || !fs::is_directory(completed, ec)) {
        if (config::read_shared(settings_.auto_stop)) {
            request_save(completion.handle);  // the answer stops it
        }
        return;
    }
    if (lies_in_completed_folder(status)) {
        if (config::read_shared(settings_.auto_stop)) {
            request_save(completion.handle);
        }
        return;
    }
    // Through the queue, so that it never runs beside a move the user asked for.
    queue_move(completed.string(), completion.hash);
}

}  // namespace velmora::lifecycle
