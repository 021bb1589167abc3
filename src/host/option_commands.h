// The engine option commands: a stored setting, applied to the running session at once.
#pragma once

#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// Handlers for the option setters and getters, by name and arity; the command list puts them
// in its own rows. A setter stores the value first, then changes that one engine setting (when
// the engine runs), and answers the stored value; a getter answers the stored value.
std::vector<bridge::CommandEntry> engine_option_commands(CommandContext& ctx);

}  // namespace velmora::host
