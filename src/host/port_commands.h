// Listen ports and the network adapters the engine binds to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <libtorrent/settings_pack.hpp>

#include "velmora/bridge/command_table.h"
#include "velmora/config/client_settings.h"
#include "velmora/engine/session_settings.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// The interfaces a port change or an adapter selection binds to, on `port` and `ssl_port` as
// given (the port type plays no part): through the adapter list when the adapter lock is on,
// on every address when it is off, and on loopback only, whatever the lock, when the engine is
// held to loopback.
engine::Interfaces rebind_interfaces(const config::ClientSettings& settings,
                                     std::int32_t port,
                                     std::int32_t ssl_port,
                                     bool loopback_only);

// What a port change writes over the session's settings: the interfaces, and the services that
// announce or map the listen port switched off in the engine (their options stay on).
lt::settings_pack port_change_pack(const config::ClientSettings& settings,
                                   std::int32_t port,
                                   std::int32_t ssl_port,
                                   bool loopback_only);

// The "adaptername" of every element whose "selected" member is true, in order,
// comma-separated.
std::string selected_adapter_list(const bridge::UiArray& adapters);

// Handlers by name and arity; the command list puts them in its own rows.
std::vector<bridge::CommandEntry> port_commands(CommandContext& ctx);

}  // namespace velmora::host
