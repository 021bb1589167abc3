// Where the client keeps its files, worked out once at start-up.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace velmora::host {

// Paths are UTF-8 and carry no trailing separator, except `temp_folder`.
struct AppPaths {
    std::filesystem::path appdata_folder;
    std::filesystem::path record_folder;
    std::filesystem::path user_record_folder;
    std::filesystem::path language_folder;
    std::filesystem::path advanced_settings_file;
    std::filesystem::path log_folder;
    std::filesystem::path desktop_folder;
    std::filesystem::path default_download_folder;
    std::filesystem::path user_download_folder;
    std::filesystem::path completed_downloads_folder;
    std::string temp_folder;
    // Held while the gui thread changes one of the user's folders, and by every other thread
    // that reads one (the tick, the add workers). Shared so that the paths stay copyable.
    std::shared_ptr<std::mutex> folders_lock = std::make_shared<std::mutex>();
};

// A copy of one of the user's folders, taken under the folders lock. Thread: any.
inline std::filesystem::path shared_folder(const AppPaths& paths,
                                           std::filesystem::path AppPaths::*folder) {
    const std::lock_guard lock(*paths.folders_lock);
    return paths.*folder;
}

// The environment the folders derive from; read once from the process environment.
struct PathEnvironment {
    std::optional<std::string> home_override;  // --home, else $VELMORA_HOME
    std::optional<std::string> xdg_data_home;
    std::optional<std::string> xdg_config_home;
    std::optional<std::string> home;
    std::optional<std::string> tmpdir;

    static PathEnvironment from_process(std::optional<std::string> home_override);
};

inline constexpr const char* kAppFolderName = "Velmora BitTorrent Client x64";

AppPaths make_app_paths(const PathEnvironment& env);

// Creates the folders in their fixed order; failures are ignored (an existing folder is the
// normal case, and a missing one shows up where it is used).
void create_app_folders(const AppPaths& paths);

// A user-chosen folder: the text when something exists there, otherwise the fallback.
std::filesystem::path existing_or(const std::string& text, const std::filesystem::path& fallback);

}  // namespace velmora::host
