#include "velmora/host/port_commands.h"

namespace velmora::host {

std::vector<bridge::CommandEntry> port_commands(CommandContext&) {
    return {};
}

}  // namespace velmora::host
