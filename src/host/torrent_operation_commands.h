// The per-torrent commands of the torrent list, and the stop of all torrents.
#pragma once

#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// Handlers by name and arity; the command list puts them in its own rows.
std::vector<bridge::CommandEntry> torrent_operation_commands(CommandContext& ctx);

}  // namespace velmora::host
