// Reading, writing and bulk saving of torrent records.
#include "velmora/lifecycle/record_store.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/session_handle.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_status.hpp>
#include <libtorrent/write_resume_data.hpp>
#include <unistd.h>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_value.h"
#include "velmora/engine/error_translation.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/engine/session_settings.h"
#include "velmora/lifecycle/file_io.h"

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRecordExtension = ".vtr";
// What the pages show for a record that could not be read at all: there is no engine error to
// translate, so it carries no kind and the generic text.
constexpr std::int32_t kNoErrorKind = -1;
constexpr std::int32_t kUnknownErrorText = 193;

// The engine reads a record's hashes and its info dictionary apart and keeps hashes that are not
// the dictionary's; the session then refuses the torrent. Such a record is refused here instead,
// where the page hears which record it was.
bool names_its_metadata(const lt::add_torrent_params& params, const lt::torrent_info& metadata) {
    const lt::info_hash_t& own = metadata.info_hashes();
    return (!params.info_hashes.has_v1() || params.info_hashes.v1 == own.v1) &&
           (!params.info_hashes.has_v2() || params.info_hashes.v2 == own.v2);
}

}  // namespace

RecordStore::RecordStore(std::filesystem::path record_folder, bridge::UiEventSink& events)
    : folder_(std::move(record_folder)), events_(events) {}

std::filesystem::path RecordStore::record_path(std::string_view hash) const {
    std::string name(hash);
    name += kRecordExtension;
    return folder_ / name;
}

bool RecordStore::record_exists(std::string_view hash) const {
    std::error_code ignored;
    return fs::exists(record_path(hash), ignored);
}

void RecordStore::write_record(std::string_view hash, const lt::add_torrent_params& params) const {
    const std::vector<char> buffer = lt::write_resume_data_buf(params);
    const fs::path target = record_path(hash);
    // the record is either the old one or the new one, never half of either
    write_file_replacing(target, buffer);
}

std::optional<RecordLoad> RecordStore::load_record(const std::filesystem::path& path,
                                                   std::string_view shown_name,
                                                   LoadOrder order) const {
    std::optional<Parsed> parsed = read_and_decode(path, shown_name);
    if (!parsed) {
        return std::nullopt;
    }
    std::shared_ptr<lt::torrent_info> metadata;
    std::optional<lt::add_torrent_params> params;
    if (order == LoadOrder::MetadataFirst) {
        metadata = build_metadata(parsed->root, shown_name);
        if (metadata) {
            params = read_params(parsed->root, shown_name);
        }
    } else {
        params = read_params(parsed->root, shown_name);
        if (params) {
            metadata = build_metadata(parsed->root, shown_name);
        }
    }
    if (!metadata || !params) {
        return std::nullopt;
    }
    if (!names_its_metadata(*params, *metadata)) {
        report_record_error(lt::errors::mismatching_info_hash, shown_name);
        return std::nullopt;
    }
    return RecordLoad{std::move(metadata), std::move(*params)};
}

std::optional<RecordStore::Decoded> RecordStore::load_metadata(const std::filesystem::path& path,
                                                               std::string_view shown_name) const {
    std::optional<Parsed> parsed = read_and_decode(path, shown_name);
    if (!parsed) {
        return std::nullopt;
    }
    std::shared_ptr<lt::torrent_info> metadata = build_metadata(parsed->root, shown_name);
    if (!metadata) {
        return std::nullopt;
    }
    // moving the vector keeps its storage, so the decoded nodes still point into it
    return Decoded{std::move(parsed->buffer), std::move(parsed->root), std::move(metadata)};
}

std::optional<lt::add_torrent_params> RecordStore::read_resume_params(
    const Decoded& decoded, std::string_view shown_name) const {
    std::optional<lt::add_torrent_params> params = read_params(decoded.root, shown_name);
    if (params && !names_its_metadata(*params, *decoded.metadata)) {
        report_record_error(lt::errors::mismatching_info_hash, shown_name);
        return std::nullopt;
    }
    return params;
}

std::optional<lt::add_torrent_params> RecordStore::read_params(const lt::bdecode_node& root,
                                                               std::string_view shown_name) const {
    lt::error_code error;
    lt::add_torrent_params params = lt::read_resume_data(root, error);
    if (error) {
        report_record_error(error, shown_name);
        return std::nullopt;
    }
    return params;
}

void RecordStore::report_record_error(const lt::error_code& error,
                                      std::string_view shown_name) const {
    engine::ErrorReport report = engine::translate_error(error);
    raise_error_event(std::move(report.message), shown_name, report.kind, report.text_id);
}

void RecordStore::delete_record(std::string_view hash) const {
    std::error_code ignored;
    fs::remove(record_path(hash), ignored);
}

std::optional<RecordStore::Parsed> RecordStore::read_and_decode(const std::filesystem::path& path,
                                                                std::string_view shown_name) const {
    lt::error_code unread;
    std::optional<std::vector<char>> buffer = read_whole_file(path, kLargestRecordBytes, unread);
    if (!buffer) {
        report_unreadable(shown_name);
        return std::nullopt;
    }
    lt::error_code error;
    lt::bdecode_node root =
        lt::bdecode(*buffer, error, nullptr, kRecordDepthLimit, kRecordTokenLimit);
    if (error) {
        report_record_error(error, shown_name);
        return std::nullopt;
    }
    return Parsed{std::move(*buffer), std::move(root)};
}

std::shared_ptr<lt::torrent_info> RecordStore::build_metadata(const lt::bdecode_node& root,
                                                              std::string_view shown_name) const {
    lt::error_code error;
    auto metadata = std::make_shared<lt::torrent_info>(root, error);
    if (error) {
        report_record_error(error, shown_name);
        return nullptr;
    }
    return metadata;
}

void RecordStore::report_unreadable(std::string_view shown_name) const {
    const lt::error_code no_error(0, boost::system::system_category());
    raise_error_event(no_error.message(), shown_name, kNoErrorKind, kUnknownErrorText);
}

void RecordStore::raise_error_event(std::string message,
                                    std::string_view shown_name,
                                    std::int32_t kind,
                                    std::int32_t text_id) const {
    bridge::UiArray arg{
        bridge::UiValue(std::move(message)),
        bridge::UiValue(shown_name),
        bridge::UiValue(kind),
        bridge::UiValue(text_id),
    };
    events_.ui_call(bridge::event::kVtrError, bridge::UiValue(std::move(arg)));
}

void PendingHashes::add(std::string hash) {
    std::lock_guard lock(mutex_);
    hashes_.push_back(std::move(hash));
}

bool PendingHashes::take_one(std::string_view hash) {
    std::lock_guard lock(mutex_);
    const auto found = std::find(hashes_.begin(), hashes_.end(), hash);
    if (found == hashes_.end()) {
        return false;
    }
    hashes_.erase(found);
    return true;
}

bool PendingHashes::take_all(std::string_view hash) {
    std::lock_guard lock(mutex_);
    return std::erase(hashes_, hash) > 0;
}

bool PendingHashes::contains(std::string_view hash) const {
    std::lock_guard lock(mutex_);
    return std::find(hashes_.begin(), hashes_.end(), hash) != hashes_.end();
}

bool PendingHashes::empty() const {
    std::lock_guard lock(mutex_);
    return hashes_.empty();
}

namespace {

// Asks every torrent with metadata for its resume data; the number of answers to wait for.
int request_all_resume_data(lt::session_handle& session) {
    // One listing answers every torrent's status at once: a status query per torrent is a
    // round trip to the engine's thread, and at exit it waits behind the saves asked before it.
    const std::vector<lt::torrent_status> torrents = session.get_torrent_status(
        [](const lt::torrent_status& status) { return status.has_metadata; }, {});
    engine::make_alert_room(session, torrents.size());
    // Every torrent's trackers are refreshed before any save is asked for. Reading a tracker
    // list is a round trip to the engine's thread, which takes its work in turn: asked behind
    // the saves already queued, each read waited for their resume data to be made, and the
    // answers that came meanwhile waited for the last read to be written.
    for (const lt::torrent_status& status : torrents) {
        refresh_trackers(status.handle);
    }
    int requested = 0;
    for (const lt::torrent_status& status : torrents) {
        const lt::torrent_handle& handle = status.handle;
        if (!handle.is_valid()) {
            continue;
        }
        try {
            handle.save_resume_data(lt::torrent_handle::save_info_dict);
            ++requested;
        } catch (const lt::system_error&) {
            // removed since the listing: no answer will come for it
        }
    }
    return requested;
}

// Temporary names unique among the bulk saves of this process.
std::uint64_t next_temp_number() {
    static std::atomic<std::uint64_t> number{0};
    return number.fetch_add(1, std::memory_order_relaxed);
}

// The records of one bulk save. Each goes to a file beside its record without waiting for the
// disk; one flush of the file system then makes them all durable before any is renamed over its
// record, so a record is still either the old one or the whole new one. One flush per record
// (write_record's way) cost seconds for every thousand records.
class RecordBatch {
public:
    explicit RecordBatch(const RecordStore& store) : store_(store) {}
    ~RecordBatch() {
        for (const Pending& p : pending_) {
            ::unlink(p.temp.c_str());
        }
    }
    RecordBatch(const RecordBatch&) = delete;
    RecordBatch& operator=(const RecordBatch&) = delete;

    // A write that fails leaves the old record; the next resume-data answer writes it again.
    void add(std::string_view hash, const lt::add_torrent_params& params) {
        Pending p{fs::path(), store_.record_path(hash)};
        p.temp = p.target.parent_path() / (".velmora-" + std::to_string(::getpid()) + "-bulk-" +
                                           std::to_string(next_temp_number()) + ".tmp");
        FileDescriptor file(::open(p.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!file.is_open()) {
            return;
        }
        const bool written = write_all(file.get(), lt::write_resume_data_buf(params));
        // The disk starts on it now, while the other answers come in; the flush at commit then
        // waits for little more than the last of them.
        if (written) {
            ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        }
        if (!file.close() || !written) {
            ::unlink(p.temp.c_str());
            return;
        }
        pending_.push_back(std::move(p));
    }

    // The number of records replaced.
    int commit() {
        if (pending_.empty()) {
            return 0;
        }
        const FileDescriptor folder(::open(pending_.front().target.parent_path().c_str(),
                                           O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.is_open() || ::syncfs(folder.get()) != 0) {
            return 0;  // nothing is known to be on the disk: the old records stay
        }
        int renamed = 0;
        for (const Pending& p : pending_) {
            if (::rename(p.temp.c_str(), p.target.c_str()) == 0) {
                ++renamed;
            } else {
                ::unlink(p.temp.c_str());
            }
        }
        pending_.clear();
        return renamed;
    }

private:
    struct Pending {
        fs::path temp;
        fs::path target;
    };
    const RecordStore& store_;
    std::vector<Pending> pending_;
};

}  // namespace

int save_all_records(lt::session_handle& session,
                     const RecordStore& store,
                     bool for_exit,
                     const std::function<void(lt::alert*)>& other,
                     std::chrono::milliseconds silence) {
    int outstanding = request_all_resume_data(session);
    RecordBatch batch(store);
    std::vector<lt::alert*> alerts;
    while (outstanding > 0) {
        if (session.wait_for_alert(silence) == nullptr) {
            break;
        }
        session.pop_alerts(&alerts);
        for (lt::alert* alert : alerts) {
            if (const auto* saved = lt::alert_cast<lt::save_resume_data_alert>(alert)) {
                batch.add(engine::torrent_key(saved->params.info_hashes), saved->params);
                --outstanding;
            } else if (lt::alert_cast<lt::save_resume_data_failed_alert>(alert) != nullptr) {
                if (for_exit) {
                    --outstanding;
                }
            } else if (other) {
                other(alert);
            }
        }
    }
    return batch.commit();
}

void refresh_trackers(const lt::torrent_handle& handle) {
    if (!handle.is_valid()) {
        return;
    }
    try {
        handle.replace_trackers(handle.trackers());
        handle.force_reannounce(0, -1);
    } catch (const lt::system_error&) {
        // the torrent left the session meanwhile; there is nothing left to announce
    }
}

}  // namespace velmora::lifecycle
