// The catalogue search and adding a torrent by the hash of a search or history row.
#pragma once

#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// Handlers by name and arity; the command list puts them in its own rows.
std::vector<bridge::CommandEntry> search_commands(CommandContext& ctx);

}  // namespace velmora::host
