// The folder commands: where the client keeps its files and the user's chosen folders.
#pragma once

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

struct AppPaths;

bridge::UiValue cmd_set_torrents_folder(AppPaths& paths, const bridge::CommandArgs& args);
bridge::UiValue cmd_set_downloads_folder(AppPaths& paths, const bridge::CommandArgs& args);
bridge::UiValue cmd_set_completed_downloads_folder(AppPaths& paths,
                                                   const bridge::CommandArgs& args);
// Linux has no drive letters.
bridge::UiValue cmd_get_drive_letters(const bridge::CommandArgs& args);

}  // namespace velmora::host
