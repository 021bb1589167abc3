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
#include <sys/stat.h>
#include <unistd.h>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_value.h"
#include "velmora/engine/error_translation.h"
#include "velmora/engine/info_hash_hex.h"

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRecordExtension = ".vtr";
// What the pages show for a record that could not be read at all: there is no engine error to
// translate, so it carries no kind and the generic text.
constexpr std::int32_t kNoErrorKind = -1;
constexpr std::int32_t kUnknownErrorText = 193;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    bool is_open() const { return fd_ >= 0; }
    int get() const { return fd_; }
    // close() can report a late write error, so a writer must see its result.
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// The whole file, or nullopt when it cannot be read or holds more than `limit` bytes. The size
// is checked again while reading, for a file that grows after it was measured.
std::optional<std::vector<char>> read_bounded(const fs::path& path, std::uintmax_t limit) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.is_open()) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || info.st_size < 0 ||
        static_cast<std::uintmax_t>(info.st_size) > limit) {
        return std::nullopt;
    }
    // one spare byte, so that reaching the end of the buffer means the file is larger
    std::vector<char> buffer(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == buffer.size()) {
            if (buffer.size() > limit) {
                return std::nullopt;
            }
            buffer.resize(
                static_cast<std::size_t>(std::min<std::uintmax_t>(buffer.size() * 2, limit + 1)));
        }
        const ssize_t got = ::read(file.get(), buffer.data() + filled, buffer.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    buffer.resize(filled);
    return buffer;
}

bool write_all(int fd, const std::vector<char>& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(fd, data.data() + done, data.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// A new file holding exactly `data`, on the disk (not only in the cache) when this returns true.
bool write_new_file_durably(const fs::path& path, const std::vector<char>& data) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.is_open()) {
        return false;
    }
    const bool written = write_all(file.get(), data) && ::fsync(file.get()) == 0;
    return file.close() && written;
}

// Unique among every write of this process and of any other process sharing the folder, so
// two writers of one record never share a temporary file.
fs::path temporary_path_beside(const fs::path& target) {
    static std::atomic<std::uint64_t> writes{0};
    const std::uint64_t number = writes.fetch_add(1, std::memory_order_relaxed);
    fs::path temp = target;
    temp += "." + std::to_string(::getpid()) + "." + std::to_string(number) + ".tmp";
    return temp;
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
    const fs::path temp = temporary_path_beside(target);
    // rename() swaps the whole file in one step: the record is either the old one or the new
    // one, and when two writes overlap the later rename is the one that stays
    if (!write_new_file_durably(temp, buffer) || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
    }
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
    return read_params(decoded.root, shown_name);
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
    std::optional<std::vector<char>> buffer = read_bounded(path, kLargestRecordBytes);
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
    int requested = 0;
    for (const lt::torrent_handle& handle : session.get_torrents()) {
        if (!handle.is_valid()) {
            continue;
        }
        try {
            if (!handle.status().has_metadata) {
                continue;
            }
            refresh_trackers(handle);
            handle.save_resume_data(lt::torrent_handle::save_info_dict);
            ++requested;
        } catch (const lt::system_error&) {
            // removed since the listing: no answer will come for it
        }
    }
    return requested;
}

}  // namespace

int save_all_records(lt::session_handle& session,
                     const RecordStore& store,
                     bool for_exit,
                     const std::function<void(lt::alert*)>& other,
                     std::chrono::milliseconds silence) {
    int outstanding = request_all_resume_data(session);
    int written = 0;
    std::vector<lt::alert*> alerts;
    while (outstanding > 0) {
        if (session.wait_for_alert(silence) == nullptr) {
            break;
        }
        session.pop_alerts(&alerts);
        for (lt::alert* alert : alerts) {
            if (const auto* saved = lt::alert_cast<lt::save_resume_data_alert>(alert)) {
                store.write_record(engine::torrent_key(saved->params.info_hashes), saved->params);
                ++written;
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
    return written;
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
