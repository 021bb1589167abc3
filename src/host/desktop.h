// What the client asks of the desktop: opening files and folders, the default sound.
#pragma once

#include <filesystem>
#include <vector>

namespace velmora::host {

// Thread: gui. Requests are fire-and-forget: the desktop's own programs do the work.
class Desktop {
public:
    virtual ~Desktop() = default;
    // Opens the file with the program the desktop associates with it.
    virtual void open_file(const std::filesystem::path& file) = 0;
    // Opens a folder in the file manager.
    virtual void open_folder(const std::filesystem::path& folder) = 0;
    // Shows the item selected in its folder, or opens its folder when that is not possible.
    virtual void show_in_folder(const std::filesystem::path& item) = 0;
    virtual void play_default_sound() = 0;
    // The desktop's open-file dialog for torrent files ("Select .torrent Files", several files
    // at once); waits until the user closes it. Empty when nothing was chosen or no dialog can
    // be shown.
    virtual std::vector<std::filesystem::path> choose_torrent_files() = 0;
};

}  // namespace velmora::host
