// Commands that only store or return a client setting, and the page's saved settings.
#pragma once

#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// The (name, arity) rows of the plain flag setters and getters, bound to the settings.
std::vector<bridge::CommandEntry> setting_flag_commands(config::ClientSettings& settings);

// The nine switches of the page's log, by position; what is missing or not an integer is off.
bridge::UiValue cmd_set_logging_events(config::ClientSettings& settings,
                                       const bridge::CommandArgs& args);

bridge::UiValue cmd_set_bandwith_option(config::ClientSettings& settings,
                                        const bridge::CommandArgs& args);
bridge::UiValue cmd_set_default_client_check(config::ClientSettings& settings,
                                             const bridge::CommandArgs& args);
// Takes back, once at start-up, what the page keeps in its own settings store.
bridge::UiValue cmd_set_resumed_settings(CommandContext& ctx, const bridge::CommandArgs& args);

}  // namespace velmora::host
