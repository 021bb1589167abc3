// The page archive packed from ui/ at build time and linked into the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Defined by the assembled archive of the velmora_ui_archive_data library.
extern "C" {
extern const std::byte velmora_ui_archive_bytes[];
extern const std::uint64_t velmora_ui_archive_size;
}

namespace velmora::bridge {

// The whole archive block, alive for the process lifetime. Thread: any.
inline std::span<const std::byte> embedded_ui_archive() {
    return {velmora_ui_archive_bytes, static_cast<std::size_t>(velmora_ui_archive_size)};
}

}  // namespace velmora::bridge
