#include "velmora/host/torrent_operation_commands.h"

namespace velmora::host {

std::vector<bridge::CommandEntry> torrent_operation_commands(CommandContext&) {
    return {};
}

}  // namespace velmora::host
