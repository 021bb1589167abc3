// The page archive linked into the executable.
#include "velmora/bridge/embedded_ui_archive.h"

extern "C" {
extern const std::byte velmora_ui_archive_begin[];
extern const std::byte velmora_ui_archive_end[];
}

namespace velmora::bridge {

std::span<const std::byte> embedded_ui_archive() {
    return {velmora_ui_archive_begin, velmora_ui_archive_end};
}

}  // namespace velmora::bridge
