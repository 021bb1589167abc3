// The session-wide engine commands: network services, pausing, rate limits, certificates.
#pragma once

#include <vector>

#include <libtorrent/session_types.hpp>
#include <libtorrent/settings_pack.hpp>

#include "velmora/bridge/command_table.h"
#include "velmora/config/client_settings.h"
#include "velmora/host/command_context.h"

namespace velmora::host {

// The network services the pages switch on and off.
enum class NetworkService { Upnp, NatPmp, Lsd, Dht };

// The packs a service setter applies to the running engine, in order, once the stored option is
// `on`; empty when the engine stays as it is. `dht_running` is the engine's DHT right now: DHT
// is started (with its tuning and bootstrap nodes) only when it does not run yet, and stopped only
// when it runs. A loopback-only engine never gets a service switched on.
std::vector<lt::settings_pack> service_packs(const config::ClientSettings& settings,
                                             NetworkService service,
                                             bool on,
                                             bool dht_running,
                                             bool loopback_only);

// How "reconnect" reopens the sockets: the port mappings are asked for again only when UPnP or
// NAT-PMP is on and the engine may reach beyond loopback.
lt::reopen_network_flags_t reconnect_flags(const config::ClientSettings& settings,
                                           bool loopback_only);

// Handlers by name and arity; the command list puts them in its own rows. Without a running
// engine the setters still store their option and every command answers as usual.
std::vector<bridge::CommandEntry> engine_session_commands(CommandContext& ctx);

}  // namespace velmora::host
