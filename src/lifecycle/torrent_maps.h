// The maps the pages receive while a torrent is added, and the readers of their answers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/download_priority.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include "velmora/bridge/ui_value.h"

namespace velmora::lifecycle {

// Thread: any, for every function below; they only read their arguments, apart from
// apply_root_rename, which changes the parameters it is given.

struct PreAddContext {
    std::string save_path;  // where the torrent would go: the user's download folder, as a rule
    std::int64_t now;       // seconds since 1970, shown as local time
    bool auto_load;         // the file came from the auto-load folder
    bool pre_allocate;
};

// The argument of the add dialog for a torrent file. `trackers` is the ready-made trackers array
// of the torrent file's tracker list.
bridge::UiMap pre_add_map(const lt::torrent_info& metadata,
                          const bridge::UiArray& trackers,
                          const PreAddContext& context);
// The row of a torrent the engine has just added. Without metadata (status.torrent_file empty)
// the metadata keys hold their "unknown" values: 2 for the yes/no keys, "" for the texts, 0 for
// sizes and counts, and the name falls back to the torrent's key.
bridge::UiMap added_torrent_map(const lt::torrent_status& status, const bridge::UiArray& trackers);
// What the pages learn when a magnet link's metadata arrives.
bridge::UiMap metadata_map(const lt::torrent_status& status, const lt::torrent_info& metadata);

// True when the info dictionary carries a "root hash": the old merkle-torrent format, which the
// engine no longer supports. A v2 torrent is not one of them.
bool is_old_merkle_torrent(const lt::torrent_info& metadata);
// The same test on a torrent file's bytes, for files the engine would refuse with an error of
// its own before the client could name the real reason. Bytes that do not decode give false.
bool is_old_merkle_torrent_file(std::span<const char> torrent_file);

// The add dialog's answer, which the magnet options dialog shares.
struct PreAddAnswer {
    bool apply = false;                   // item 0 is a nonzero integer
    bool keep_stopped = false;            // item 1
    bool start = false;                   // item 2
    bool renamed = false;                 // item 3 is a nonzero integer
    std::string new_name{};               // item 4
    std::vector<std::string> trackers{};  // "name" of each map in item 5, in order
    std::string save_folder{};            // item 6
    bool pre_allocate = false;            // item 7

    bool operator==(const PreAddAnswer&) const = default;
};
// Items are read by position, leniently; a missing item, or an answer that is not an array,
// reads as the default. Only an integer counts for items 0 and 3: a boolean there means the
// pages sent something else than a choice. Item 5 entries that are not maps, or whose "name"
// is empty, are left out.
PreAddAnswer read_pre_add_answer(const bridge::UiValue& answer);
// The file priorities the pages kept for a torrent: element i is the priority of file i. An
// element that is not an integer counts as 0; values outside 0..7 are clamped into that range,
// since the engine refuses them. An answer that is not an array gives no priorities.
std::vector<lt::download_priority_t> read_file_priorities(const bridge::UiValue& answer);

// Gives the torrent's root a new name: a copy of the file storage under that name is mapped onto
// params.ti, and params.renamed_files then holds the new path of every file, so that a stored
// record carries the rename too. Returns [{"path": file path, "idx": index}, ...] for the pages.
// Without params.ti nothing changes and the list is empty.
bridge::UiArray apply_root_rename(lt::add_torrent_params& params, const std::string& new_name);

// A search result's hash, base64 with or without its trailing "=", as the torrent key (40
// lowercase hexadecimal digits); nullopt unless the text decodes to exactly 20 bytes.
std::optional<std::string> base64_hash_to_hex(std::string_view text);

}  // namespace velmora::lifecycle
