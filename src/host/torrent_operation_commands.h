// The commands of the torrent list that act directly on one torrent of the engine session:
// pause and resume, recheck, trackers, web seeds, peers, files, per-torrent modes and queue.
#pragma once

#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// Handlers by name and arity; the command list puts them in its own rows. Every command names
// its torrent by key text and does nothing for a torrent that is not in the session.
std::vector<bridge::CommandEntry> torrent_operation_commands(CommandContext& ctx);

}  // namespace velmora::host
