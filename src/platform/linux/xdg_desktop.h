// The desktop requests of the client, carried out by the desktop's own opener.
#pragma once

#include "velmora/host/desktop.h"

namespace velmora::platform {

class XdgDesktop final : public host::Desktop {
public:
    void open_file(const std::filesystem::path& file) override;
    void open_folder(const std::filesystem::path& folder) override;
    // No file manager interface is assumed: the parent folder opens.
    void show_in_folder(const std::filesystem::path& item) override;
    // Linux desktops have no common default sound; the request is accepted and does nothing.
    void play_default_sound() override {}
    // zenity's file dialog; empty where there is no display or no zenity.
    std::vector<std::filesystem::path> choose_torrent_files() override;
};

// Starts a program detached from the client, never waiting for it; false when it could not
// be started. Thread: any.
bool spawn_detached(const char* program, const std::string& argument);

}  // namespace velmora::platform
