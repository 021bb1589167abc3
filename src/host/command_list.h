// The complete list of page commands, in dispatch order.
#pragma once

#include <vector>

#include "velmora/bridge/command_table.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// Thread: gui. The handlers keep references into `ctx`, which must outlive the table.
std::vector<bridge::CommandEntry> command_list(CommandContext& ctx);

}  // namespace velmora::host
