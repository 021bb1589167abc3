// Data deletion that stays inside the torrent's own files.
#include "velmora/lifecycle/data_removal.h"

#include <algorithm>
#include <set>
#include <system_error>

#include <libtorrent/torrent_info.hpp>

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;

bool exists_as_entry(const fs::file_status& status) {
    return fs::status_known(status) && status.type() != fs::file_type::not_found;
}

bool is_real_folder(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    return !ec && fs::is_directory(status);
}

// True when `inner` lies below `outer`, both in comparable spelling.
bool lies_below(const fs::path& inner, const fs::path& outer) {
    const auto [outer_end, inner_it] =
        std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return outer_end == outer.end() && inner_it != inner.end();
}

// A file's place relative to the save folder; nullopt when it would lie outside it.
std::optional<fs::path> relative_inside(const fs::path& file, const fs::path& save_folder) {
    fs::path normal = file.lexically_normal();
    if (normal.is_absolute()) {
        if (!lies_below(normal, save_folder)) {
            return std::nullopt;
        }
        normal = normal.lexically_relative(save_folder);
    }
    if (normal.empty() || *normal.begin() == "..") {
        return std::nullopt;
    }
    return normal;
}

std::size_t depth(const fs::path& path) {
    return static_cast<std::size_t>(std::distance(path.begin(), path.end()));
}

// Removes one file of the data, unless the way to it leaves the real folders below `save`.
bool remove_one_file(const fs::path& save, const fs::path& relative) {
    fs::path place = save;
    for (auto it = relative.begin(); it != std::prev(relative.end()); ++it) {
        place /= *it;
        if (!is_real_folder(place)) {
            return false;  // missing, or a link that may lead anywhere
        }
    }
    place /= relative.filename();
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(place, ec);
    if (ec || !exists_as_entry(status)) {
        return false;
    }
    if (!fs::is_directory(status)) {  // a folder in a file's place is not the torrent's
        fs::remove(place, ec);
    }
    return true;
}

}  // namespace

fs::path comparable_path(const fs::path& path) {
    fs::path normal = path.lexically_normal();
    if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
        normal = normal.parent_path();
    }
    return normal;
}

std::optional<TorrentData> torrent_data_of(const lt::add_torrent_params& record) {
    if (!record.ti || !record.ti->is_valid() || record.save_path.empty()) {
        return std::nullopt;
    }
    TorrentData data;
    data.save_folder = comparable_path(record.save_path);
    const lt::file_storage& storage = record.ti->files();
    for (const lt::file_index_t i : storage.file_range()) {
        if (storage.pad_file_at(i)) {
            continue;
        }
        const auto renamed = record.renamed_files.find(i);
        const fs::path path =
            renamed != record.renamed_files.end() ? renamed->second : storage.file_path(i);
        if (auto inside = relative_inside(path, data.save_folder)) {
            data.files.push_back(std::move(*inside));
        }
    }
    if (storage.num_files() == 1 && !data.files.empty()) {
        data.root = data.save_folder / data.files.front();
    } else {
        data.root = data.save_folder / record.ti->name();
    }
    return data;
}

bool is_protected_path(const fs::path& path, const fs::path& home) {
    const fs::path p = comparable_path(path);
    if (!p.is_absolute() || p == p.root_path()) {
        return true;
    }
    const fs::path h = comparable_path(home);
    return !home.empty() && (p == h || lies_below(h, p));
}

bool remove_torrent_data(const TorrentData& data) {
    bool existed = false;
    std::set<fs::path> folders;
    for (const fs::path& file : data.files) {
        existed = remove_one_file(data.save_folder, file) || existed;
        for (fs::path folder = file.parent_path(); !folder.empty(); folder = folder.parent_path()) {
            folders.insert(folder);
        }
    }
    std::vector<fs::path> deepest_first(folders.begin(), folders.end());
    std::sort(deepest_first.begin(), deepest_first.end(),
              [](const fs::path& a, const fs::path& b) { return depth(a) > depth(b); });
    for (const fs::path& folder : deepest_first) {
        const fs::path place = data.save_folder / folder;
        if (is_real_folder(place)) {
            existed = true;
            std::error_code ec;
            fs::remove(place, ec);  // fails, as it should, while anything is left in it
        }
    }
    return existed;
}

bool remove_inside(const fs::path& path, const std::vector<fs::path>& folders) {
    const fs::path p = comparable_path(path);
    const fs::path name = p.filename();
    if (!p.is_absolute() || name.empty() || name == "." || name == "..") {
        return false;
    }
    std::error_code ec;
    const fs::path parent = fs::canonical(p.parent_path(), ec);
    if (ec) {
        return false;
    }
    const fs::path target = parent / name;
    const bool inside = std::any_of(folders.begin(), folders.end(), [&target](const fs::path& f) {
        std::error_code folder_error;
        const fs::path folder = fs::canonical(f, folder_error);
        return !folder_error && lies_below(target, folder);
    });
    if (!inside || !exists_as_entry(fs::symlink_status(target, ec))) {
        return false;
    }
    fs::remove_all(target, ec);  // a link inside is removed as a link, never followed
    return !ec;
}

}  // namespace velmora::lifecycle
