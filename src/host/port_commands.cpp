// Reporting and changing the listen ports, and binding the engine to chosen adapters.
#include "velmora/host/port_commands.h"

#include <ctime>
#include <exception>
#include <utility>

#include "velmora/engine/alert_pump.h"
#include "velmora/engine/engine_session.h"
#include "velmora/host/app_state.h"
#include "velmora/host/torrent_commands.h"
#include "velmora/lifecycle/torrent_lifecycle.h"
#include "velmora/platform/linux/network_adapters.h"

namespace velmora::host {
namespace {

using bridge::CommandArgs;
using bridge::CommandEntry;
using bridge::UiArray;
using bridge::UiMap;
using bridge::UiValue;
using bridge::UsualResult;

// The ports a port-change worker opens.
struct PortDataParams {
    std::int32_t port = 0;
    std::int32_t ssl_port = 0;
};

lt::settings_pack interfaces_pack(const engine::Interfaces& interfaces) {
    lt::settings_pack pack;
    pack.set_str(lt::settings_pack::listen_interfaces, interfaces.listen);
    pack.set_str(lt::settings_pack::outgoing_interfaces, interfaces.outgoing);
    return pack;
}

// Thread: the worker. Only the engine's own thread-safe calls; the pack was made on the gui
// thread, so the settings record is not read here.
void run_port_change(TorrentServices& services,
                     const std::atomic<bool>& running,
                     lt::settings_pack change) {
    if (running) {
        try {
            lt::session& session = services.session.session();
            session.apply_settings(std::move(change));
            // apply_settings only queues the change; a synchronous call behind it returns once
            // the engine has reopened its sockets, so the flag covers the whole reopening
            static_cast<void>(session.get_settings());
        } catch (const std::exception&) {
            // the session ended meanwhile: there is nothing left to listen
        }
    }
    services.flags.port_change_in_progress = false;
}

UiValue cmd_get_current_port(CommandContext& ctx) {
    TorrentServices* services = running_engine(ctx);
    if (services == nullptr) {
        return bridge::usual_value(UsualResult::Array);
    }
    lt::session& session = services->session.session();
    ctx.settings.port = session.listen_port();
    ctx.settings.ssl_port = session.ssl_listen_port();
    return UiValue(UiArray{UiValue(ctx.settings.port), UiValue(ctx.settings.ssl_port)});
}

UiValue cmd_set_current_port(CommandContext& ctx, const PortDataParams& ports) {
    TorrentServices* services = running_engine(ctx);
    if (services == nullptr || services->flags.port_change_in_progress.exchange(true)) {
        return UiValue(false);
    }
    lt::settings_pack change = port_change_pack(ctx.settings, ports.port, ports.ssl_port,
                                                services->session.loopback_only());
    services->lifecycle.start_worker(
        [services, &running = ctx.state.running, change = std::move(change)]() mutable {
            run_port_change(*services, running, std::move(change));
        });
    return UiValue(true);
}

UiValue cmd_do_get_network_adapters() {
    UiArray listed;
    for (const platform::NetworkAdapter& adapter : platform::list_network_adapters()) {
        listed.emplace_back(UiMap{
            {"type", UiValue(static_cast<std::int32_t>(adapter.type))},
            {"friendlyname", UiValue(adapter.friendly_name)},
            {"adaptername", UiValue(adapter.adapter_name)},
        });
    }
    return UiValue(std::move(listed));
}

UiValue cmd_do_set_network_adapters(CommandContext& ctx, const UiArray& adapters) {
    ctx.settings.listen_interfaces = selected_adapter_list(adapters);
    ctx.settings.outgoing_interfaces = ctx.settings.listen_interfaces;
    if (TorrentServices* services = running_engine(ctx)) {
        services->session.session().apply_settings(interfaces_pack(
            rebind_interfaces(ctx.settings, ctx.settings.port, ctx.settings.ssl_port,
                              services->session.loopback_only())));
    }
    return UiValue(true);
}

}  // namespace

engine::Interfaces rebind_interfaces(const config::ClientSettings& settings,
                                     std::int32_t port,
                                     std::int32_t ssl_port,
                                     bool loopback_only) {
    // composed as start-up composes own ports, so both give the engine the same texts
    config::ClientSettings own_ports = settings;
    own_ports.port = port;
    own_ports.ssl_port = ssl_port;
    own_ports.port_type = 1;
    return loopback_only ? engine::loopback_interfaces_for(own_ports, 0)
                         : engine::interfaces_for(own_ports, 0);
}

lt::settings_pack port_change_pack(const config::ClientSettings& settings,
                                   std::int32_t port,
                                   std::int32_t ssl_port,
                                   bool loopback_only) {
    lt::settings_pack pack =
        interfaces_pack(rebind_interfaces(settings, port, ssl_port, loopback_only));
    // they would go on mapping and announcing the port being left; they come back at the next
    // start, or when the pages set them again
    using sp = lt::settings_pack;
    const std::pair<bool, int> services[] = {
        {settings.use_upnp, sp::enable_upnp},
        {settings.use_natpmp, sp::enable_natpmp},
        {settings.use_lsd, sp::enable_lsd},
        {settings.use_dht, sp::enable_dht},
    };
    for (const auto& [option_on, key] : services) {
        if (option_on) {
            pack.set_bool(key, false);
        }
    }
    return pack;
}

std::string selected_adapter_list(const UiArray& adapters) {
    std::string list;
    for (const UiValue& adapter : adapters) {
        if (!adapter.at_key("selected").read_bool()) {
            continue;
        }
        if (!list.empty()) {
            list += ',';
        }
        list += adapter.at_key("adaptername").read_text();
    }
    return list;
}

std::vector<CommandEntry> port_commands(CommandContext& ctx) {
    std::vector<CommandEntry> out;
    out.push_back({"get_current_port", 0, UsualResult::Array,
                   [&ctx](const CommandArgs&) { return cmd_get_current_port(ctx); }});
    out.push_back({"get_random_port", 0, UsualResult::Int, [](const CommandArgs&) {
                       return UiValue(engine::draw_random_port(std::time(nullptr)));
                   }});
    out.push_back({"set_port_type", 1, UsualResult::Int, [&ctx](const CommandArgs& a) {
                       ctx.settings.port_type = a.int_at(0);
                       return UiValue(ctx.settings.port_type);
                   }});
    out.push_back({"set_current_port", 2, UsualResult::False, [&ctx](const CommandArgs& a) {
                       return cmd_set_current_port(ctx, PortDataParams{a.int_at(0), a.int_at(1)});
                   }});
    out.push_back({"do_get_network_adapters", 0, UsualResult::Array,
                   [](const CommandArgs&) { return cmd_do_get_network_adapters(); }});
    out.push_back({"do_set_network_adapters", 1, UsualResult::True, [&ctx](const CommandArgs& a) {
                       return cmd_do_set_network_adapters(ctx, a.array_at(0));
                   }});
    out.push_back({"get_lock_adapter", 0, UsualResult::False,
                   [&ctx](const CommandArgs&) { return UiValue(ctx.settings.lock_adapter); }});
    out.push_back({"set_lock_adapter", 1, UsualResult::False, [&ctx](const CommandArgs& a) {
                       ctx.settings.lock_adapter = a.bool_at(0);
                       return UiValue(ctx.settings.lock_adapter);
                   }});
    return out;
}

}  // namespace velmora::host
