// The session-wide engine commands: network services, pausing, rate limits, certificates.
#pragma once

#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// Handlers by name and arity; the command list puts them in its own rows.
std::vector<bridge::CommandEntry> engine_session_commands(CommandContext& ctx);

}  // namespace velmora::host
