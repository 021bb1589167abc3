#include "velmora/host/session_commands.h"

namespace velmora::host {

std::vector<bridge::CommandEntry> engine_session_commands(CommandContext&) {
    return {};
}

}  // namespace velmora::host
