// The add flows' maps and answers, built from the engine's records of a torrent.
#include "velmora/lifecycle/torrent_maps.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

#include <libtorrent/bdecode.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/units.hpp>

#include "velmora/engine/client_functions.h"
#include "velmora/engine/info_hash_hex.h"

namespace velmora::lifecycle {
namespace {

using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;

// The pages' yes/no integers; "unknown" stands for a torrent whose metadata has not arrived.
constexpr std::int32_t kYes = 3;
constexpr std::int32_t kNo = 1;
constexpr std::int32_t kUnknown = 2;
// The state code the pages show for a paused torrent, whatever the engine's own state.
constexpr std::int32_t kPausedState = 8;

constexpr std::size_t kHashBytes = 20;

std::int32_t yes_no(bool value) {
    return value ? kYes : kNo;
}

UiValue size_of(std::int64_t bytes) {
    return UiValue(static_cast<double>(bytes));
}

UiValue size_text_of(std::int64_t bytes) {
    return UiValue(engine::size_text(bytes));
}

UiArray file_names(const lt::file_storage& files) {
    UiArray out;
    for (const lt::file_index_t i : files.file_range()) {
        out.emplace_back(std::string(files.file_name(i)));
    }
    return out;
}

UiArray file_paths(const lt::file_storage& files) {
    UiArray out;
    for (const lt::file_index_t i : files.file_range()) {
        out.emplace_back(files.file_path(i));
    }
    return out;
}

UiArray file_size_texts(const lt::file_storage& files) {
    UiArray out;
    for (const lt::file_index_t i : files.file_range()) {
        out.push_back(size_text_of(files.file_size(i)));
    }
    return out;
}

UiArray file_sizes(const lt::file_storage& files) {
    UiArray out;
    for (const lt::file_index_t i : files.file_range()) {
        out.push_back(size_of(files.file_size(i)));
    }
    return out;
}

// HTTP seeds speak another protocol, which the pages do not list.
UiArray url_seeds(const lt::torrent_info& metadata) {
    UiArray out;
    for (const lt::web_seed_entry& seed : metadata.web_seeds()) {
        if (seed.type == lt::web_seed_entry::url_seed) {
            out.emplace_back(UiMap{{"url", seed.url}});
        }
    }
    return out;
}

std::string shown_name(const std::string& name, const lt::info_hash_t& hashes) {
    return name.empty() ? engine::torrent_key(hashes) : name;
}

bool has_root_hash(const lt::bdecode_node& info) {
    return info.type() == lt::bdecode_node::dict_t && info.dict_find("root hash");
}

const UiValue& item(const UiArray& items, std::size_t index) {
    static const UiValue kMissing;
    return index < items.size() ? items[index] : kMissing;
}

bool is_nonzero_int(const UiValue& value) {
    return value.is_int() && value.as_int() != 0;
}

std::vector<std::string> tracker_names(const UiValue& trackers) {
    std::vector<std::string> names;
    if (!trackers.is_array()) {
        return names;
    }
    for (const UiValue& tracker : trackers.as_array()) {
        if (!tracker.is_map()) {
            continue;
        }
        std::string name = tracker.at_key("name").read_text();
        if (!name.empty()) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

// -1 for a character outside the standard alphabet.
int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

std::optional<std::string> base64_decode(std::string_view text) {
    constexpr std::size_t kMaxPadding = 2;
    std::size_t padding = 0;
    while (!text.empty() && text.back() == '=' && padding < kMaxPadding) {
        text.remove_suffix(1);
        ++padding;
    }
    // one character alone cannot complete a byte
    if (text.size() % 4 == 1) {
        return std::nullopt;
    }
    std::string bytes;
    unsigned bits = 0;
    int bit_count = 0;
    for (const char c : text) {
        const int value = base64_value(c);
        if (value < 0) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            bytes.push_back(static_cast<char>((bits >> bit_count) & 0xFFU));
        }
    }
    return bytes;
}

}  // namespace

UiMap pre_add_map(const lt::torrent_info& metadata,
                  const UiArray& trackers,
                  const PreAddContext& context) {
    const lt::file_storage& files = metadata.files();
    return {
        {"name", metadata.name()},
        {"hash", engine::torrent_key(metadata.info_hashes())},
        {"queue_position", 0},
        {"added_time", engine::local_time_text(context.now)},
        {"all_time_upload_string", size_text_of(0)},
        {"all_time_download_string", size_text_of(0)},
        {"all_time_upload", size_of(0)},
        {"all_time_download", size_of(0)},
        {"total_size_string", size_text_of(metadata.total_size())},
        {"total_size", size_of(metadata.total_size())},
        {"comment", metadata.comment()},
        {"creator", metadata.creator()},
        {"date_created", engine::utc_time_text(metadata.creation_date())},
        {"piece_length_string", size_text_of(metadata.piece_length())},
        {"piece_count", metadata.num_pieces()},
        {"pri", yes_no(metadata.priv())},
        {"i2p", yes_no(metadata.is_i2p())},
        {"merkle", yes_no(is_old_merkle_torrent(metadata))},
        {"file_count", metadata.num_files()},
        {"save_path", context.save_path},
        {"meta", kYes},
        {"block_size", ""},
        {"file_list", file_names(files)},
        {"list_files_path", file_paths(files)},
        {"list_size_string", file_size_texts(files)},
        {"list_size", file_sizes(files)},
        {"trackers", trackers},
        {"web_seeds", url_seeds(metadata)},
        {"upload_mode", kNo},
        {"share_mode", kNo},
        {"super_seeding", kNo},
        {"sequential_download", kNo},
        {"auto_load", context.auto_load},
        {"pre_allocate", context.pre_allocate},
    };
}

UiMap added_torrent_map(const lt::torrent_status& status, const UiArray& trackers) {
    const std::shared_ptr<const lt::torrent_info> metadata = status.torrent_file.lock();
    const lt::file_storage empty_files;
    const lt::file_storage& files = metadata ? metadata->files() : empty_files;
    const std::int32_t is_private = metadata ? yes_no(metadata->priv()) : kUnknown;
    const std::int32_t is_i2p = metadata ? yes_no(metadata->is_i2p()) : kUnknown;
    const std::int32_t is_merkle = metadata ? yes_no(is_old_merkle_torrent(*metadata)) : kUnknown;
    const std::int64_t total_size = metadata ? metadata->total_size() : 0;
    const std::int64_t piece_length = metadata ? metadata->piece_length() : 0;
    return {
        {"name", shown_name(status.name, status.info_hashes)},
        {"hash", engine::torrent_key(status.info_hashes)},
        {"block_size", size_text_of(status.block_size)},
        {"queue_position", static_cast<std::int32_t>(status.queue_position)},
        {"added_time", engine::utc_time_text(status.added_time)},
        {"all_time_upload_string", size_text_of(status.all_time_upload)},
        {"all_time_download_string", size_text_of(status.all_time_download)},
        {"all_time_upload", size_of(status.all_time_upload)},
        {"all_time_download", size_of(status.all_time_download)},
        {"total_size_string", size_text_of(total_size)},
        {"total_size", size_of(total_size)},
        {"comment", metadata ? metadata->comment() : std::string()},
        {"creator", metadata ? metadata->creator() : std::string()},
        {"date_created",
         metadata ? engine::utc_time_text(metadata->creation_date()) : std::string()},
        {"piece_length_string", size_text_of(piece_length)},
        {"piece_count", metadata ? metadata->num_pieces() : 0},
        {"pri", is_private},
        {"i2p", is_i2p},
        {"file_count", files.num_files()},
        {"save_path", status.save_path},
        {"merkle", is_merkle},
        {"meta", yes_no(files.num_files() > 0)},
        {"file_list", file_names(files)},
        {"list_files_path", file_paths(files)},
        {"list_size_string", file_size_texts(files)},
        {"list_size", file_sizes(files)},
        {"trackers", trackers},
        {"web_seeds", metadata ? url_seeds(*metadata) : UiArray()},
        {"upload_mode", yes_no(static_cast<bool>(status.flags & lt::torrent_flags::upload_mode))},
        {"share_mode", kNo},
        {"super_seeding", kNo},
        {"sequential_download", kNo},
    };
}

UiMap metadata_map(const lt::torrent_status& status, const lt::torrent_info& metadata) {
    const lt::file_storage& files = metadata.files();
    const bool paused = static_cast<bool>(status.flags & lt::torrent_flags::paused);
    return {
        {"name", shown_name(metadata.name(), status.info_hashes)},
        {"hash", engine::torrent_key(status.info_hashes)},
        {"block_size_string", size_text_of(status.block_size)},
        {"total_size_string", size_text_of(metadata.total_size())},
        {"total_size", size_of(metadata.total_size())},
        {"comment", metadata.comment()},
        {"piece_length", size_text_of(metadata.piece_length())},
        {"piece_count", metadata.num_pieces()},
        {"pri", yes_no(metadata.priv())},
        {"i2p", yes_no(metadata.is_i2p())},
        {"file_count", metadata.num_files()},
        {"merkle", yes_no(is_old_merkle_torrent(metadata))},
        {"files", file_names(files)},
        {"file_paths", file_paths(files)},
        {"file_sizes_string", file_size_texts(files)},
        {"file_sizes", file_sizes(files)},
        {"state", paused ? kPausedState : static_cast<std::int32_t>(status.state)},
    };
}

bool is_old_merkle_torrent(const lt::torrent_info& metadata) {
    const lt::span<const char> info = metadata.info_section();
    if (info.empty()) {
        return false;
    }
    lt::error_code ec;
    const lt::bdecode_node node = lt::bdecode(info, ec);
    return !ec && has_root_hash(node);
}

bool is_old_merkle_torrent_file(std::span<const char> torrent_file) {
    lt::error_code ec;
    const lt::bdecode_node node =
        lt::bdecode(lt::span<const char>(torrent_file.data(), std::ssize(torrent_file)), ec);
    if (ec || node.type() != lt::bdecode_node::dict_t) {
        return false;
    }
    return has_root_hash(node.dict_find_dict("info"));
}

PreAddAnswer read_pre_add_answer(const UiValue& answer) {
    PreAddAnswer out;
    if (!answer.is_array()) {
        return out;
    }
    const UiArray& items = answer.as_array();
    out.apply = is_nonzero_int(item(items, 0));
    out.keep_stopped = item(items, 1).read_bool();
    out.start = item(items, 2).read_bool();
    out.renamed = is_nonzero_int(item(items, 3));
    out.new_name = item(items, 4).read_text();
    out.trackers = tracker_names(item(items, 5));
    out.save_folder = item(items, 6).read_text();
    out.pre_allocate = item(items, 7).read_bool();
    return out;
}

std::vector<lt::download_priority_t> read_file_priorities(const UiValue& answer) {
    std::vector<lt::download_priority_t> priorities;
    if (!answer.is_array()) {
        return priorities;
    }
    const auto lowest = static_cast<std::int32_t>(static_cast<std::uint8_t>(lt::dont_download));
    const auto highest = static_cast<std::int32_t>(static_cast<std::uint8_t>(lt::top_priority));
    for (const UiValue& element : answer.as_array()) {
        const std::int32_t value = element.is_int() ? element.as_int() : 0;
        priorities.emplace_back(static_cast<std::uint8_t>(std::clamp(value, lowest, highest)));
    }
    return priorities;
}

UiArray apply_root_rename(lt::add_torrent_params& params, const std::string& new_name) {
    UiArray paths;
    if (!params.ti) {
        return paths;
    }
    lt::file_storage renamed = params.ti->files();
    renamed.set_name(new_name);
    if (renamed.num_files() == 1 && renamed.file_path(lt::file_index_t{0}) == params.ti->name()) {
        // a single file is the torrent's root: renaming the torrent renames the file
        renamed.rename_file(lt::file_index_t{0}, new_name);
    }
    params.ti->remap_files(renamed);
    params.renamed_files.clear();
    for (const lt::file_index_t i : renamed.file_range()) {
        std::string path = renamed.file_path(i);
        params.renamed_files[i] = path;
        paths.emplace_back(UiMap{{"path", std::move(path)}, {"idx", static_cast<std::int32_t>(i)}});
    }
    return paths;
}

std::optional<std::string> base64_hash_to_hex(std::string_view text) {
    const std::optional<std::string> bytes = base64_decode(text);
    if (!bytes || bytes->size() != kHashBytes) {
        return std::nullopt;
    }
    return engine::hash_to_hex(lt::sha1_hash(bytes->data()));
}

}  // namespace velmora::lifecycle
