// Small commands that belong to no subsystem: files, addresses, version, logging.
#pragma once

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

using bridge::CommandArgs;
using bridge::UiValue;

UiValue cmd_log(const CommandArgs& args);
UiValue cmd_play_sound(CommandContext& ctx, const CommandArgs& args);
UiValue cmd_file_exists(const CommandArgs& args);
UiValue cmd_file_open(CommandContext& ctx, const CommandArgs& args);
UiValue cmd_file_folder_open(CommandContext& ctx, const CommandArgs& args);
UiValue cmd_delete_file_direct(const CommandArgs& args);
UiValue cmd_get_filename_from_path(const CommandArgs& args);
UiValue cmd_validate_file_name(const CommandArgs& args);
UiValue cmd_get_is_executable_file(const CommandArgs& args);
UiValue cmd_do_validate_ip(const CommandArgs& args);
UiValue cmd_is_ipv4_or_ipv6(const CommandArgs& args);
UiValue cmd_get_version(const CommandArgs& args);
UiValue cmd_get_formated_size(const CommandArgs& args);

// The file-name rule of portable Windows names, which the pages use for every name they
// offer for a file on disk.
bool is_valid_file_name(std::string_view name);

}  // namespace velmora::host
