// Making torrent files: from files on disk, from a torrent's record, and by editing one.
#pragma once

#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// Handlers by name and arity; the command list puts them in its own rows.
std::vector<bridge::CommandEntry> creation_commands(CommandContext& ctx);

}  // namespace velmora::host
