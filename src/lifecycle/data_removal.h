// Deleting a torrent's data from disk, and nothing but its data.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include <libtorrent/add_torrent_params.hpp>

namespace velmora::lifecycle {

// Where a torrent's data lies: its save folder, the file or folder it starts with there, and
// every file it wrote (renamed files under their new names), all below the save folder.
struct TorrentData {
    std::filesystem::path save_folder;
    std::filesystem::path root;
    std::vector<std::filesystem::path> files;  // relative to save_folder
};

// The data a record describes; nullopt without metadata (nothing can have been written then)
// or without a save folder.
std::optional<TorrentData> torrent_data_of(const lt::add_torrent_params& record);

// A path in one spelling: normalised, no trailing separator.
std::filesystem::path comparable_path(const std::filesystem::path& path);

// True for a path no deletion may ever take, whatever asks for it: not absolute, the file
// system root, the home folder or a folder above it.
bool is_protected_path(const std::filesystem::path& path, const std::filesystem::path& home);

// Removes the torrent's own files, then the folders that held them once they are empty; a file
// the user added to those folders stays, and so do they. A symbolic link inside the data is
// removed as a link; a path that runs through a linked folder is left alone, so nothing outside
// the save folder is touched. True when any of the data existed.
bool remove_torrent_data(const TorrentData& data);

// Removes `path` with everything in it, when it lies strictly inside one of `folders` also
// after resolving the links of its parents (the entry itself is removed as it is: a link goes,
// its target stays). True when the path existed and was removed.
bool remove_inside(const std::filesystem::path& path,
                   const std::vector<std::filesystem::path>& folders);

}  // namespace velmora::lifecycle
