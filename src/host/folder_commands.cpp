// Folder setters: a chosen folder that does not exist falls back to the default.
#include "velmora/host/folder_commands.h"

#include "velmora/host/app_paths.h"

namespace velmora::host {
namespace {

// A non-string argument names no folder at all.
std::string folder_text(const bridge::CommandArgs& args) {
    return args[0].is_string() ? args[0].as_string() : std::string();
}

void set_folder(AppPaths& paths,
                std::filesystem::path AppPaths::*folder,
                std::filesystem::path to) {
    const std::lock_guard lock(*paths.folders_lock);
    paths.*folder = std::move(to);
}

}  // namespace

bridge::UiValue cmd_set_torrents_folder(AppPaths& paths, const bridge::CommandArgs& args) {
    set_folder(paths, &AppPaths::user_record_folder,
               existing_or(folder_text(args), paths.record_folder));
    return bridge::UiValue(true);
}

bridge::UiValue cmd_set_downloads_folder(AppPaths& paths, const bridge::CommandArgs& args) {
    set_folder(paths, &AppPaths::user_download_folder,
               existing_or(folder_text(args), paths.default_download_folder));
    return bridge::UiValue(true);
}

bridge::UiValue cmd_set_completed_downloads_folder(AppPaths& paths,
                                                   const bridge::CommandArgs& args) {
    set_folder(paths, &AppPaths::completed_downloads_folder, existing_or(folder_text(args), {}));
    return bridge::UiValue(true);
}

bridge::UiValue cmd_get_drive_letters(const bridge::CommandArgs& /*args*/) {
    return bridge::UiValue(std::string());
}

}  // namespace velmora::host
