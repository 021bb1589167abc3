// The add flows and the record keeping that follows the engine's answers.
#include "velmora/lifecycle/torrent_lifecycle.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <thread>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/torrent_info.hpp>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"
#include "velmora/engine/client_functions.h"
#include "velmora/engine/error_translation.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/engine/session_settings.h"
#include "velmora/engine/status_reports.h"
#include "velmora/lifecycle/data_removal.h"
#include "velmora/lifecycle/torrent_maps.h"

namespace velmora::lifecycle {
namespace {

namespace ev = bridge::event;
using bridge::UiArray;
using bridge::UiValue;

constexpr std::int32_t kMerkleSupportOff = 749;
constexpr std::int32_t kNotFound = -1;
constexpr lt::download_priority_t kNormalPriority{4};
// A torrent file is metadata; anything this large is not one.
constexpr std::uintmax_t kLargestTorrentFile = 64U << 20U;

std::optional<std::vector<char>> read_whole_file(const std::filesystem::path& path,
                                                 lt::error_code& ec) {
    std::error_code size_error;
    const std::uintmax_t size = std::filesystem::file_size(path, size_error);
    if (size_error) {
        ec = size_error.value() == 0 ? lt::error_code(EIO, lt::system_category())
                                     : lt::error_code(size_error.value(), lt::system_category());
        return std::nullopt;
    }
    if (size > kLargestTorrentFile) {
        ec = lt::error_code(EFBIG, lt::system_category());
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes(static_cast<std::size_t>(size));
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        ec = lt::error_code(EIO, lt::system_category());
        return std::nullopt;
    }
    return bytes;
}

bool is_normal_everywhere(const std::vector<lt::download_priority_t>& priorities) {
    return std::all_of(priorities.begin(), priorities.end(),
                       [](lt::download_priority_t p) { return p == kNormalPriority; });
}

// The page's answer to the file-priorities question, on whatever thread hears it.
void apply_file_priorities(const lt::torrent_handle& handle, int files, const UiValue& answer) {
    const auto priorities = read_file_priorities(answer);
    try {
        for (std::size_t i = 0; i < priorities.size() && static_cast<int>(i) < files; ++i) {
            handle.file_priority(lt::file_index_t(static_cast<int>(i)), priorities[i]);
        }
    } catch (const lt::system_error&) {
        // the torrent left the session before the page answered
    }
}

// An add with metadata of at least one file: it gets a record and the page's file priorities.
bool has_files(const lt::add_torrent_alert& alert) {
    return alert.params.ti && alert.params.ti->num_files() > 0;
}

std::string key_of(const lt::torrent_handle& handle) {
    return engine::torrent_key(handle.info_hashes());
}

}  // namespace

WorkerCount::~WorkerCount() {
    std::unique_lock lock(lock_);
    idle_.wait(lock, [this] { return running_ == 0; });
}

void WorkerCount::start(std::function<void()> job) {
    {
        const std::lock_guard lock(lock_);
        ++running_;
    }
    std::thread([this, job = std::move(job)] {
        try {
            job();
        } catch (...) {  // a worker never takes the process down
        }
        const std::lock_guard lock(lock_);
        --running_;
        idle_.notify_all();
    }).detach();
}

TorrentLifecycle::TorrentLifecycle(engine::EngineSession& engine,
                                   config::ClientSettings& settings,
                                   const std::atomic<bool>& running,
                                   engine::StatusReporter& status,
                                   bridge::UiEventSink& events,
                                   LifecycleFolders folders)
    : engine_(engine),
      settings_(settings),
      running_(running),
      status_(status),
      events_(events),
      folders_(std::move(folders)),
      records_(folders_.record_folder, events),
      operations_(engine, settings, running, events, records_, pending_stops_, workers_, folders_) {
}

TorrentLifecycle::~TorrentLifecycle() = default;

bool TorrentLifecycle::is_known(const std::string& hash) {
    return events_.ui_call(ev::kIndexFromHash, UiValue(hash)).read_int() != kNotFound;
}

void TorrentLifecycle::prepare_start(lt::add_torrent_params& params) const {
    if (settings_.pre_allocate_files) {
        params.storage_mode = lt::storage_mode_allocate;
    }
    params.flags &= ~kStartMask;
}

void TorrentLifecycle::raise_add_error(const lt::error_code& error, const std::string& shown_name) {
    const engine::ErrorReport report = engine::translate_error(error);
    events_.ui_call(ev::kDoErrorAddingTorrent,
                    UiArray{UiValue(report.message), UiValue(report.text_id), UiValue(report.kind),
                            UiValue(shown_name)});
}

void TorrentLifecycle::refuse_merkle(const std::string& file_name) {
    events_.ui_call(ev::kDoErrorAddingTorrent,
                    UiArray{UiValue(""), UiValue(kMerkleSupportOff), UiValue(std::int32_t{0}),
                            UiValue(file_name)});
}

void TorrentLifecycle::handle_duplicate(const std::string& hash,
                                        const std::vector<std::string>& trackers,
                                        bool merge) {
    events_.ui_call(ev::kDoDupeTorrent, UiValue(hash));
    if (!merge || !settings_.add_trackers_duplicate) {
        return;
    }
    const lt::torrent_handle handle = engine_.session().find_torrent(engine::to_hash(hash));
    if (handle.is_valid()) {
        for (const auto& url : trackers) {
            handle.add_tracker(lt::announce_entry(url));
        }
        handle.force_reannounce(0, -1);
        if (settings_.update_only_changed_torrents) {
            status_.update_torrents_trackers(handle);
        }
        return;
    }
    if (trackers.empty()) {
        return;
    }
    UiArray maps;
    for (const auto& url : trackers) {
        maps.emplace_back(bridge::UiMap{{"name", UiValue(url)}, {"hash", UiValue(hash)}});
    }
    events_.ui_call(ev::kAddDupeTrackers, std::move(maps));
}

void TorrentLifecycle::add_torrent_file(const std::filesystem::path& path,
                                        const std::string& save_path,
                                        bool auto_load) {
    lt::add_torrent_params params;
    params.save_path = save_path.empty() ? folders_.download_folder().string() : save_path;
    const std::string file_name = path.filename().string();

    lt::error_code ec;
    const auto bytes = read_whole_file(path, ec);
    std::shared_ptr<lt::torrent_info> metadata;
    if (bytes) {
        metadata =
            std::make_shared<lt::torrent_info>(lt::span<const char>(*bytes), ec, lt::from_span);
    }
    if (ec || !metadata) {
        if (bytes && is_old_merkle_torrent_file(*bytes)) {
            refuse_merkle(file_name);
        } else {
            raise_add_error(ec, file_name);
        }
        return;
    }
    const std::string hash = engine::torrent_key(metadata->info_hashes());
    if (is_known(hash)) {
        if (!auto_load) {
            std::vector<std::string> trackers;
            for (const auto& entry : metadata->trackers()) {
                trackers.push_back(entry.url);
            }
            handle_duplicate(hash, trackers, true);
        }
        return;
    }
    if (is_old_merkle_torrent(*metadata)) {
        refuse_merkle(file_name);
        return;
    }
    params.dht_nodes = metadata->nodes();
    params.ti = metadata;
    if (config::read_shared(settings_.auto_start)) {
        prepare_start(params);
        engine_.session().async_add_torrent(std::move(params));
        return;
    }
    // the dialog offers the folder the torrent would go to: a new torrent's own folder, so
    // that it seeds from where its files are
    const PreAddContext context{params.save_path, static_cast<std::int64_t>(std::time(nullptr)),
                                auto_load, settings_.pre_allocate_files};
    const UiArray trackers = engine::trackers_array(metadata->trackers(), lt::clock_type::now());
    const PreAddAnswer answer = read_pre_add_answer(
        events_.ui_call(ev::kPreAddTorrent, pre_add_map(*metadata, trackers, context)));
    if (!answer.apply) {
        if (answer.pre_allocate) {
            params.storage_mode = lt::storage_mode_allocate;
        }
        if (answer.keep_stopped) {
            records_.write_record(hash, params);
        }
        return;
    }
    if (answer.renamed) {
        UiArray paths = apply_root_rename(params, answer.new_name);
        events_.ui_call(ev::kResetFilePaths, UiArray{UiValue(hash), UiValue(std::move(paths))});
    }
    params.trackers = answer.trackers;
    if (answer.pre_allocate) {
        params.storage_mode = lt::storage_mode_allocate;
    }
    if (!answer.save_folder.empty()) {  // no folder at all keeps the download folder
        params.save_path = answer.save_folder;
    }
    // The dialog's file choices go in with the add: once the torrent runs, a file marked not to
    // be downloaded would be fetched before the add's answer could switch it off.
    params.file_priorities =
        read_file_priorities(events_.ui_call(ev::kGetFilesPrioraty, UiValue(hash)));
    if (answer.start) {
        params.flags &= ~kStartMask;
        engine_.session().async_add_torrent(std::move(params));
    } else {
        records_.write_record(hash, params);
    }
}

lt::add_torrent_params read_magnet_link(std::string_view link, lt::error_code& error) {
    lt::add_torrent_params params =
        lt::parse_magnet_uri(lt::string_view(link.data(), link.size()), error);
    // the engine takes a hash of zeros as given, yet no torrent has it: the link names none
    if (!error && !params.info_hashes.has_v1() && !params.info_hashes.has_v2()) {
        error = lt::errors::missing_info_hash_in_uri;
    }
    return params;
}

void TorrentLifecycle::add_magnet(const std::string& link) {
    lt::error_code ec;
    lt::add_torrent_params params = read_magnet_link(link, ec);
    if (ec) {
        const engine::ErrorReport report = engine::translate_error(ec);
        events_.ui_call(ev::kAddMagnetError,
                        UiArray{UiValue(report.message), UiValue(link), UiValue(report.kind),
                                UiValue(report.text_id)});
        return;
    }
    const std::string hash = engine::torrent_key(params.info_hashes);
    if (is_known(hash)) {
        handle_duplicate(hash, params.trackers, true);
        return;
    }
    params.save_path = folders_.download_folder().string();
    prepare_start(params);
    if (!config::read_shared(settings_.auto_start)) {
        // The user chooses folder and files once the metadata is here; until then the torrent
        // must not write a byte, or it would write into whatever already has its name.
        // (upload mode still fetches the metadata, but requests no piece)
        params.flags |= lt::torrent_flags::upload_mode;
    }
    engine_.session().async_add_torrent(std::move(params));
}

void TorrentLifecycle::add_by_hash(const std::string& hash_text,
                                   const std::string& name,
                                   const std::vector<std::string>& trackers) {
    const lt::sha1_hash digest = engine::to_hash(hash_text);
    const std::string hash = engine::hash_to_hex(digest);
    if (is_known(hash) || engine_.session().find_torrent(digest).is_valid()) {
        events_.ui_call(ev::kDoDupeTorrent, UiValue(hash));
        return;
    }
    lt::add_torrent_params params;
    params.info_hashes = lt::info_hash_t(digest);
    params.name = name;
    params.trackers = trackers;
    params.save_path = folders_.download_folder().string();
    prepare_start(params);
    engine_.session().async_add_torrent(std::move(params));
}

void TorrentLifecycle::add_by_base64_hash(const std::string& hash_text,
                                          const std::string& name,
                                          const std::vector<std::string>& trackers) {
    // The pages check hashes before they send them; a text that still does not decode names
    // no torrent, so nothing is added.
    if (const auto hex = base64_hash_to_hex(hash_text)) {
        add_by_hash(*hex, name, trackers);
    }
}

void TorrentLifecycle::add_record_file(const std::filesystem::path& path) {
    const std::string shown = path.string();
    auto decoded = records_.load_metadata(path, shown);
    if (!decoded) {
        return;
    }
    const std::string hash = engine::torrent_key(decoded->metadata->info_hashes());
    if (is_known(hash)) {
        events_.ui_call(ev::kDoDupeTorrent, UiValue(hash));
        return;
    }
    auto params = records_.read_resume_params(*decoded, shown);
    if (!params) {
        return;
    }
    if (config::read_shared(settings_.auto_start)) {
        params->flags &= ~kStartMask;
    } else {
        // checks its files, then stops by itself
        params->flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed |
                           lt::torrent_flags::duplicate_is_error);
        params->flags |= lt::torrent_flags::stop_when_ready;
    }
    params->ti = std::make_shared<lt::torrent_info>(*decoded->metadata);
    engine_.session().async_add_torrent(std::move(*params));
}

namespace {

// A yes/no of the restore list counts as yes only as an integer other than 0.
bool says_yes(const UiValue& entry, std::string_view key) {
    const UiValue& value = entry.at_key(key);
    return value.is_int() && value.as_int() != 0;
}

void set_flag(lt::add_torrent_params& params, lt::torrent_flags_t flag, bool on) {
    if (on) {
        params.flags |= flag;
    } else {
        params.flags &= ~flag;
    }
}

// The restored torrent runs unless the page kept it paused, with the page's own options.
void apply_restore_flags(lt::add_torrent_params& params, const UiValue& entry) {
    params.flags &= ~kStartMask;
    set_flag(params, lt::torrent_flags::paused, says_yes(entry, "paused"));
    set_flag(params, lt::torrent_flags::sequential_download,
             says_yes(entry, "sequential_download"));
    set_flag(params, lt::torrent_flags::upload_mode, says_yes(entry, "upload_mode"));
    set_flag(params, lt::torrent_flags::share_mode, says_yes(entry, "share_mode"));
    set_flag(params, lt::torrent_flags::super_seeding, says_yes(entry, "super_seeding"));
}

int int_or_zero(const UiValue& value) {
    return value.is_int() ? value.as_int() : 0;
}

std::vector<std::string> texts_of(const UiValue& list, std::string_view key) {
    std::vector<std::string> out;
    if (!list.is_array()) {
        return out;
    }
    for (const UiValue& item : list.as_array()) {
        const UiValue& text = item.at_key(key);
        if (text.is_string() && !text.as_string().empty()) {
            out.push_back(text.as_string());
        }
    }
    return out;
}

}  // namespace

void TorrentLifecycle::restore_session() {
    const UiValue answer = events_.ui_call(ev::kGetTorrentsToRestore, UiValue(std::int32_t{0}));
    if (!answer.is_array()) {
        return;
    }
    engine::make_alert_room(engine_.session(), answer.as_array().size());
    restores_outstanding_ += static_cast<std::int64_t>(answer.as_array().size());
    for (const UiValue& entry : answer.as_array()) {
        try {
            restore_one(entry);
        } catch (const std::exception&) {
            // one torrent that cannot come back never keeps the others away
            --restores_outstanding_;
        }
    }
}

void TorrentLifecycle::restore_one(const UiValue& entry) {
    const std::string hash = entry.at_key("hash").read_text();
    if (records_.record_exists(hash)) {
        if (auto load = records_.load_record(records_.record_path(hash), hash + ".vtr")) {
            lt::add_torrent_params params = std::move(load->params);
            // the load's own metadata, not a copy: a restore of many torrents pays per copy
            params.ti = std::move(load->metadata);
            apply_restore_flags(params, entry);
            engine_.session().async_add_torrent(std::move(params));
            return;
        }
        records_.delete_record(hash);
    }
    lt::add_torrent_params params;
    params.name = entry.at_key("name").is_string() ? entry.at_key("name").as_string() : "";
    params.save_path = folders_.download_folder().string();
    params.info_hashes = lt::info_hash_t(engine::to_hash(hash));
    params.upload_limit = int_or_zero(entry.at_key("upload_limit"));
    params.download_limit = int_or_zero(entry.at_key("download_limit"));
    const UiValue& meta = entry.at_key("meta");
    if (!meta.is_int() || meta.as_int() == 0) {
        params.trackers = texts_of(entry.at_key("trackers"), "name");
        params.url_seeds = texts_of(entry.at_key("web"), "url");
    }
    apply_restore_flags(params, entry);
    engine_.session().async_add_torrent(std::move(params));
}

void TorrentLifecycle::count_answered_add() {
    std::int64_t outstanding = restores_outstanding_.load();
    while (outstanding > 0 &&
           !restores_outstanding_.compare_exchange_weak(outstanding, outstanding - 1)) {
    }
}

// The engine steps of every add of a batch come first; each add's page events follow in its
// place among the batch's alerts, with a status read for it and the next adds in one call. The
// pump waits on the engine once for many adds, not once a torrent: a restore's adds come spread
// between its other alerts. The reads are bounded so that a restore of thousands never holds
// the status of all of them at once.
void TorrentLifecycle::start_adds(std::span<const lt::add_torrent_alert* const> alerts,
                                  const Failed& failed) {
    started_adds_.clear();
    next_announced_ = 0;
    status_positions_.clear();
    next_status_ = 0;
    started_adds_.reserve(alerts.size());
    for (const lt::add_torrent_alert* alert : alerts) {
        StartedAdd& add = started_adds_.emplace_back();
        add.alert = alert;
        if (alert->error) {
            continue;
        }
        try {
            start_added(*alert);
            add.started = true;
        } catch (const std::exception& e) {
            failed(e);
        }
    }
}

const lt::torrent_status& TorrentLifecycle::status_of_started(std::size_t index) {
    if (next_status_ >= status_positions_.size() || status_positions_[next_status_] != index) {
        read_statuses_from(index);
    }
    return statuses_[next_status_++];
}

void TorrentLifecycle::read_statuses_from(std::size_t first) {
    status_positions_.clear();  // none is valid should the read throw
    next_status_ = 0;
    std::vector<lt::torrent_handle> handles;
    std::vector<std::size_t> positions;
    for (std::size_t i = first; i < started_adds_.size() && handles.size() < kStatusesPerRead;
         ++i) {
        if (started_adds_[i].started) {
            handles.push_back(started_adds_[i].alert->handle);
            positions.push_back(i);
        }
    }
    statuses_ = engine::read_statuses(engine_.session(), handles, lt::status_flags_t::all());
    status_positions_ = std::move(positions);
}

void TorrentLifecycle::announce_add(const lt::add_torrent_alert& alert, const Failed& failed) {
    if (next_announced_ >= started_adds_.size() || started_adds_[next_announced_].alert != &alert) {
        // not started with its batch: it is started alone
        const lt::add_torrent_alert* const alone[] = {&alert};
        start_adds(alone, failed);
    }
    const std::size_t index = next_announced_++;
    count_answered_add();
    try {
        if (alert.error) {
            refuse_added(alert);
        } else {
            // taken whether it is announced or not, so that none is left behind
            std::optional<std::vector<lt::announce_entry>> trackers =
                engine_.tracker_prefetch().take_added(alert.handle);
            if (started_adds_[index].started) {
                announce_added(alert, status_of_started(index), std::move(trackers));
            }
        }
    } catch (const std::exception& e) {
        failed(e);
    }
    if (next_announced_ == started_adds_.size()) {
        std::vector<StartedAdd>().swap(started_adds_);
        std::vector<lt::torrent_status>().swap(statuses_);
        status_positions_.clear();
        next_announced_ = 0;
        next_status_ = 0;
    }
}

void TorrentLifecycle::refuse_added(const lt::add_torrent_alert& alert) {
    if (alert.error == lt::error_code(lt::errors::duplicate_torrent, lt::libtorrent_category())) {
        events_.ui_call(
            ev::kDoDupeTorrent,
            UiValue(alert.handle.is_valid() ? key_of(alert.handle)
                                            : engine::torrent_key(alert.params.info_hashes)));
        return;
    }
    const std::string name = !alert.params.name.empty()
                                 ? alert.params.name
                                 : engine::torrent_key(alert.params.info_hashes);
    raise_add_error(alert.error, name);
}

void TorrentLifecycle::start_added(const lt::add_torrent_alert& alert) {
    const lt::torrent_handle& handle = alert.handle;
    handle.set_max_uploads(settings_.max_peers_torrent);
    handle.set_max_connections(settings_.max_slots_torrent);
    handle.scrape_tracker(-1);
    handle.force_reannounce(0, -1);
    if (has_files(alert)) {
        // the hashes of the metadata it was added with, not the handle's: asking the handle is
        // a round trip to the engine's thread, thousands of them in a restore
        const std::string hash = engine::torrent_key(alert.params.ti->info_hashes());
        if (!records_.record_exists(hash)) {
            records_.write_record(hash, alert.params);
        }
    }
}

void TorrentLifecycle::announce_added(const lt::add_torrent_alert& alert,
                                      const lt::torrent_status& status,
                                      std::optional<std::vector<lt::announce_entry>> trackers) {
    const lt::torrent_handle& handle = alert.handle;
    if (!engine::status_was_read(status)) {
        // the torrent left the session meanwhile
        throw lt::system_error(lt::errors::invalid_torrent_handle);
    }
    const std::string hash = engine::torrent_key(status.info_hashes);  // as above, not the handle's
    if (!trackers) {
        trackers = handle.trackers();
    }
    events_.ui_post(
        ev::kAddTorrentAlert,
        added_torrent_map(status, engine::trackers_array(*trackers, lt::clock_type::now())));
    if (has_files(alert)) {
        // Applied when the page answers: the priorities change nothing else this add does, and
        // a wait per torrent would keep a restore of thousands waiting on the page.
        events_.ui_call_then(ev::kGetFilesPrioraty, UiValue(hash),
                             [handle, files = alert.params.ti->num_files()](UiValue answer) {
                                 apply_file_priorities(handle, files, answer);
                             });
    }
    status_.add_status(status);
    events_.ui_post(ev::kSetTorrentsVisibility, UiValue());
    if (settings_.auto_management) {
        handle.set_flags(lt::torrent_flags::auto_managed);
    }
}

void TorrentLifecycle::on_metadata_received(const lt::metadata_received_alert& alert) {
    const lt::torrent_handle& handle = alert.handle;
    const std::string hash = key_of(handle);
    const std::shared_ptr<const lt::torrent_info> metadata = handle.torrent_file();
    if (!metadata) {
        return;
    }
    {
        // Nothing can have been written before the metadata existed, so whatever is at the
        // torrent's path now was there before it.
        std::error_code ec;
        if (!std::filesystem::exists(folders_.download_folder() / metadata->name(), ec)) {
            const std::lock_guard lock(fresh_lock_);
            fresh_fetch_paths_.insert(hash);
        }
    }
    const std::vector<lt::download_priority_t> all_normal(
        static_cast<std::size_t>(metadata->num_files()), kNormalPriority);
    std::string_view event = ev::kMetadataReceivedAlert;
    if (config::read_shared(settings_.auto_start)) {
        if (!config::read_shared(settings_.bep53)) {
            handle.prioritize_files(all_normal);
        }
        handle.unset_flags(lt::torrent_flags::upload_mode);
        handle.save_resume_data(lt::torrent_handle::save_info_dict);
    } else if (config::read_shared(settings_.bep53) &&
               !is_normal_everywhere(handle.get_file_priorities())) {
        handle.unset_flags(lt::torrent_flags::upload_mode);
        handle.save_resume_data(lt::torrent_handle::save_info_dict);
    } else {
        status_.erase_status(hash);
        handle.prioritize_files(all_normal);
        refresh_trackers(handle);
        pending_stops_.add(hash);
        pending_options_.add(hash);
        handle.save_resume_data(lt::torrent_handle::save_info_dict);
        event = ev::kMetadataReceivedAlertStopped;
    }
    events_.ui_call(event, metadata_map(handle.status(lt::status_flags_t::all()), *metadata));
}

void TorrentLifecycle::remove_after_save(const lt::torrent_handle& handle,
                                         const std::string& hash) {
    if (pending_stops_.take_one(hash)) {
        engine_.session().remove_torrent(handle);
        return;
    }
    if (operations_.take_auto_stop(hash) && config::read_shared(settings_.auto_stop) &&
        handle.status(lt::status_flags_t{}).is_finished) {
        engine_.session().remove_torrent(handle);
    }
}

void TorrentLifecycle::on_save_resume_data(const lt::save_resume_data_alert& alert) {
    if (!alert.handle.is_valid()) {
        return;
    }
    const std::string hash = key_of(alert.handle);
    // Without metadata a record could never be loaded again; a magnet stopped that early
    // leaves none, as the engine's older versions refused to save it at all.
    if (alert.params.ti) {
        records_.write_record(hash, alert.params);
    }
    remove_after_save(alert.handle, hash);
}

void TorrentLifecycle::on_save_resume_data_failed(const lt::save_resume_data_failed_alert& alert) {
    if (!alert.handle.is_valid()) {
        return;
    }
    remove_after_save(alert.handle, key_of(alert.handle));
}

void TorrentLifecycle::on_torrent_removed(const lt::torrent_removed_alert& alert) {
    const std::string hash = engine::torrent_key(alert.info_hashes);
    status_.erase_status(hash);
    if (pending_options_.take_all(hash)) {
        offer_magnet_options(records_.record_path(hash));
    }
}

void TorrentLifecycle::on_torrent_finished(const lt::torrent_finished_alert& alert) {
    operations_.on_torrent_finished(alert);
}

void TorrentLifecycle::finish_answered(const Failed& failed) {
    operations_.finish_answered_completions(failed);
}

void TorrentLifecycle::on_storage_moved(const lt::storage_moved_alert& alert) {
    operations_.on_storage_moved(alert);
}

void TorrentLifecycle::on_storage_moved_failed(const lt::storage_moved_failed_alert& alert) {
    operations_.on_storage_moved_failed(alert);
}

void TorrentLifecycle::offer_magnet_options(const std::filesystem::path& path) {
    auto load = records_.load_record(path, path.string());
    if (!load) {
        return;
    }
    lt::add_torrent_params params = std::move(load->params);
    params.flags &= ~(kStartMask | lt::torrent_flags::upload_mode);
    params.ti = std::make_shared<lt::torrent_info>(*load->metadata);
    const std::string hash = engine::torrent_key(params.ti->info_hashes());
    const std::string original_name = params.ti->name();
    const lt::torrent_info original = *params.ti;

    const UiValue raw = events_.ui_call(ev::kShowMagnetOptions, UiValue(hash));
    const PreAddAnswer answer = read_pre_add_answer(raw);
    if (!raw.is_array() || raw.as_array().empty() || !answer.apply) {
        return;  // stays stopped with its record
    }
    params.file_priorities =
        read_file_priorities(events_.ui_call(ev::kGetFilesPrioraty, UiValue(hash)));
    if (answer.renamed) {
        UiArray paths = apply_root_rename(params, answer.new_name);
        events_.ui_call(ev::kResetFilePaths, UiArray{UiValue(hash), UiValue(std::move(paths))});
    }
    params.trackers = answer.trackers;

    // Paths are compared exactly: this platform's file names are case-sensitive, so two names
    // that differ in case are two places.
    const std::filesystem::path download = comparable_path(folders_.download_folder());
    const std::filesystem::path chosen =
        answer.save_folder.empty() ? download : comparable_path(answer.save_folder);
    if ((chosen / original_name) != (download / original_name)) {
        remove_fetch_data(hash, original);
    }
    const bool moved = chosen != download;
    if (moved) {
        params.save_path = answer.save_folder;
    }
    if (!answer.start) {
        records_.write_record(hash, params);  // on disk before the page hears of the folder
    }
    if (moved) {
        events_.ui_call(ev::kStorageMovedAlert,
                        UiArray{UiValue(hash), UiValue(answer.save_folder), UiValue(false)});
    }
    if (answer.start) {
        engine_.session().async_add_torrent(std::move(params));
    }
}

void TorrentLifecycle::remove_fetch_data(const std::string& hash,
                                         const lt::torrent_info& metadata) {
    {
        const std::lock_guard lock(fresh_lock_);
        if (fresh_fetch_paths_.erase(hash) == 0) {
            return;  // the path held data before this torrent: keep it
        }
    }
    // Only the torrent's own files go, then the folders they leave empty.
    const lt::file_storage& files = metadata.files();
    const std::filesystem::path download = folders_.download_folder();
    const std::string root = download.string();
    std::set<std::filesystem::path> folders;
    for (const lt::file_index_t i : files.file_range()) {
        const std::filesystem::path file = files.file_path(i, root);
        std::error_code ec;
        std::filesystem::remove(file, ec);
        for (auto parent = file.parent_path();
             parent != download && parent.string().size() > root.size();
             parent = parent.parent_path()) {
            folders.insert(parent);
        }
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        std::error_code ec;
        std::filesystem::remove(*it, ec);  // fails, as it should, on a folder that is not empty
    }
}

void TorrentLifecycle::timer_events(bool save_settings, std::function<void()> write_settings) {
    if (!running_) {
        return;
    }
    workers_.start([this, save_settings, write = std::move(write_settings)] {
        periodic_announce_and_save(save_settings, write);
    });
}

void TorrentLifecycle::periodic_announce_and_save(bool save_settings,
                                                  const std::function<void()>& write) {
    if (save_settings && write) {
        write();
    }
    for (const lt::torrent_handle& handle : engine_.session().get_torrents()) {
        if (!running_) {
            return;
        }
        if (!handle.is_valid()) {
            continue;
        }
        const lt::torrent_status status = handle.status(lt::status_flags_t{});
        if (settings_.use_dht) {
            handle.force_dht_announce();
        }
        const int trackers = static_cast<int>(handle.trackers().size());
        for (int i = 0; i < trackers; ++i) {
            handle.scrape_tracker(i);
            handle.force_reannounce(0, i);
        }
        if (status.has_metadata) {
            handle.flush_cache();
            handle.save_resume_data(lt::torrent_handle::save_info_dict);
        }
    }
}

void TorrentLifecycle::save_all_records(bool for_exit, engine::AlertPump* pump) {
    if (!engine_.started()) {
        return;
    }
    if (pump != nullptr) {
        // the caller waited for a running tick as long as it could; a tick that still runs is
        // stopped by the cleared running flag before its next alert
        pump->request_hold();
    }
    lifecycle::save_all_records(
        engine_.session(), records_, for_exit, [this, for_exit](lt::alert* a) {
            if (!for_exit) {
                return;
            }
            if (auto* log = lt::alert_cast<lt::log_alert>(a)) {
                engine_.write_log(engine::LogCategory::Session, log->log_message());
            } else if (auto* t = lt::alert_cast<lt::torrent_log_alert>(a)) {
                engine_.write_log(engine::LogCategory::Torrent, t->log_message());
            } else if (auto* p = lt::alert_cast<lt::peer_log_alert>(a)) {
                engine_.write_log(engine::LogCategory::Peer, p->log_message());
            } else if (auto* d = lt::alert_cast<lt::dht_log_alert>(a)) {
                engine_.write_log(engine::LogCategory::Dht, d->log_message());
            }
        });
    if (for_exit) {
        engine_.tear_down();
    } else if (pump != nullptr) {
        pump->release();
    }
}

}  // namespace velmora::lifecycle
