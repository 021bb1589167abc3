// Folder setters: a chosen folder that does not exist falls back to the default.
#include "velmora/host/folder_commands.h"

#include "velmora/host/app_paths.h"

namespace velmora::host {
namespace {

// A non-string argument names no folder at all.
std::string folder_text(const bridge::CommandArgs& args) {
    return args[0].is_string() ? args[0].as_string() : std::string();
}

}  // namespace

bridge::UiValue cmd_set_torrents_folder(AppPaths& paths, const bridge::CommandArgs& args) {
    paths.user_record_folder = existing_or(folder_text(args), paths.record_folder);
    return bridge::UiValue(true);
}

bridge::UiValue cmd_set_downloads_folder(AppPaths& paths, const bridge::CommandArgs& args) {
    paths.user_download_folder = existing_or(folder_text(args), paths.default_download_folder);
    return bridge::UiValue(true);
}

bridge::UiValue cmd_set_completed_downloads_folder(AppPaths& paths,
                                                   const bridge::CommandArgs& args) {
    paths.completed_downloads_folder = existing_or(folder_text(args), {});
    return bridge::UiValue(true);
}

bridge::UiValue cmd_get_drive_letters(const bridge::CommandArgs& /*args*/) {
    return bridge::UiValue(std::string());
}

}  // namespace velmora::host
