// Torrent records: one engine resume-data file per torrent, enough to bring the torrent back.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/fwd.hpp>
#include <libtorrent/torrent_info.hpp>

#include "velmora/bridge/ui_event_sink.h"

namespace velmora::lifecycle {

// Larger files count as unreadable, which bounds what a stray file in the folder can cost.
inline constexpr std::uintmax_t kLargestRecordBytes = 40'000'000;
inline constexpr int kRecordDepthLimit = 1000;
inline constexpr int kRecordTokenLimit = 1'000'000;

struct RecordLoad {
    std::shared_ptr<lt::torrent_info> metadata;
    lt::add_torrent_params params;
};

// Which of the last two load steps runs first; it only decides which error is reported when
// both would fail.
enum class LoadOrder { MetadataFirst, ResumeDataFirst };

// Record files in one folder. Thread: any; every method is safe to call concurrently.
class RecordStore {
public:
    RecordStore(std::filesystem::path record_folder, bridge::UiEventSink& events);

    // The folder joined with hash + ".vtr".
    std::filesystem::path record_path(std::string_view hash) const;
    // True for any kind of file system entry at record_path.
    bool record_exists(std::string_view hash) const;
    // Replaces the record as a whole (a temporary file renamed over it), so a reader never
    // sees half a record and a failed write keeps the previous one. Failures are not reported:
    // the next resume-data answer writes the record again.
    void write_record(std::string_view hash, const lt::add_torrent_params& params) const;

    // Read, decode, build the metadata and read the resume data. On failure raises the record
    // error event [message, shown_name, kind, text id] and gives nullopt.
    std::optional<RecordLoad> load_record(const std::filesystem::path& path,
                                          std::string_view shown_name,
                                          LoadOrder order = LoadOrder::MetadataFirst) const;

    // The decoded record; `root` points into `buffer`, so move it, never copy it.
    struct Decoded {
        std::vector<char> buffer;
        lt::bdecode_node root;
        std::shared_ptr<lt::torrent_info> metadata;
    };
    // The first three load steps (read, decode, metadata), for export and opening a record
    // file; the result feeds a later read_resume_params call.
    std::optional<Decoded> load_metadata(const std::filesystem::path& path,
                                         std::string_view shown_name) const;
    std::optional<lt::add_torrent_params> read_resume_params(const Decoded& decoded,
                                                             std::string_view shown_name) const;

    // Raises the record error event for an engine error, translated for the pages.
    void report_record_error(const lt::error_code& error, std::string_view shown_name) const;
    void delete_record(std::string_view hash) const;

private:
    struct Parsed {
        std::vector<char> buffer;
        lt::bdecode_node root;
    };
    std::optional<Parsed> read_and_decode(const std::filesystem::path& path,
                                          std::string_view shown_name) const;
    std::shared_ptr<lt::torrent_info> build_metadata(const lt::bdecode_node& root,
                                                     std::string_view shown_name) const;
    std::optional<lt::add_torrent_params> read_params(const lt::bdecode_node& root,
                                                      std::string_view shown_name) const;
    void report_unreadable(std::string_view shown_name) const;
    void raise_error_event(std::string message,
                           std::string_view shown_name,
                           std::int32_t kind,
                           std::int32_t text_id) const;

    std::filesystem::path folder_;
    bridge::UiEventSink& events_;
};

// A list of torrent keys, duplicates allowed. Thread: any (guarded by its own mutex).
class PendingHashes {
public:
    void add(std::string hash);
    // Removes one occurrence; false when absent.
    bool take_one(std::string_view hash);
    // Removes every occurrence; false when absent.
    bool take_all(std::string_view hash);
    bool contains(std::string_view hash) const;
    bool empty() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> hashes_;
};

// Resume-data saving for the whole session; blocks the calling thread. Asks every valid torrent
// with metadata for its resume data (with its info dictionary), after refreshing its trackers,
// and writes each answer as its record. The wait ends when every request is answered or after
// `silence` without any alert; a failed answer counts as an answer only when `for_exit`. Alerts
// taken that are not resume-data answers go to `other`, valid only during that call. The session
// stays up; tearing it down is the caller's job. Returns the number of records written.
int save_all_records(lt::session_handle& session,
                     const RecordStore& store,
                     bool for_exit,
                     const std::function<void(lt::alert*)>& other,
                     std::chrono::milliseconds silence = std::chrono::seconds(10));

// Gives the torrent its own tracker list back, which resets every tracker's state, and
// announces to all of them now. Does nothing for an invalid handle.
void refresh_trackers(const lt::torrent_handle& handle);

}  // namespace velmora::lifecycle
