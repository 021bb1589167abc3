// Session-wide commands: each one stores what the pages keep, then tells the running engine.
#include "velmora/host/session_commands.h"

#include <libtorrent/torrent_handle.hpp>

#include "velmora/engine/alert_pump.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/session_settings.h"
#include "velmora/host/torrent_commands.h"

namespace velmora::host {
namespace {

using bridge::CommandArgs;
using bridge::CommandEntry;
using bridge::UiValue;
using bridge::UsualResult;
using sp = lt::settings_pack;

lt::settings_pack one_bool(int setting, bool value) {
    lt::settings_pack pack;
    pack.set_bool(setting, value);
    return pack;
}

int engine_switch(NetworkService service) {
    switch (service) {
        case NetworkService::Upnp:
            return sp::enable_upnp;
        case NetworkService::NatPmp:
            return sp::enable_natpmp;
        case NetworkService::Lsd:
            return sp::enable_lsd;
        case NetworkService::Dht:
            break;
    }
    return sp::enable_dht;
}

// The running engine; null while none runs (also after it was torn down).
lt::session* running_session(CommandContext& ctx) {
    TorrentServices* services = running_engine(ctx);
    return services != nullptr ? &services->session.session() : nullptr;
}

void apply_int(CommandContext& ctx, int setting, int value) {
    if (lt::session* session = running_session(ctx)) {
        lt::settings_pack pack;
        pack.set_int(setting, value);
        session->apply_settings(std::move(pack));
    }
}

// The named torrent, when the engine holds it.
template <class Change>
void change_torrent(CommandContext& ctx, const UiValue& hash, Change change) {
    if (ctx.torrents == nullptr) {
        return;
    }
    lt::torrent_handle handle = find_torrent(*ctx.torrents, hash);
    if (handle.is_valid()) {
        change(handle);
    }
}

void hold_session(CommandContext& ctx, bool paused) {
    if (lt::session* session = running_session(ctx)) {
        if (paused) {
            session->pause();
        } else {
            session->resume();
        }
    }
}

void set_schedule_paused(CommandContext& ctx, bool paused) {
    if (ctx.torrents != nullptr) {
        ctx.torrents->flags.schedule_paused = paused;
    }
}

struct ServiceOption {
    const char* setter;
    const char* getter;
    NetworkService service;
    bool config::ClientSettings::*stored;
};

constexpr ServiceOption kServices[] = {
    {"set_upnp", "get_upnp", NetworkService::Upnp, &config::ClientSettings::use_upnp},
    {"set_nat_pmp", "get_nat_pmp", NetworkService::NatPmp, &config::ClientSettings::use_natpmp},
    {"set_lsd", "get_lsd", NetworkService::Lsd, &config::ClientSettings::use_lsd},
    {"set_dht", "get_dht", NetworkService::Dht, &config::ClientSettings::use_dht},
};

UiValue set_service(CommandContext& ctx, const ServiceOption& option, bool on) {
    ctx.settings.*option.stored = on;
    if (lt::session* session = running_session(ctx)) {
        for (lt::settings_pack& pack :
             service_packs(ctx.settings, option.service, on, session->is_dht_running(),
                           ctx.torrents->session.loopback_only())) {
            session->apply_settings(std::move(pack));
        }
    }
    return UiValue(on);
}

// The stored option, except for DHT: what the engine does now, which trails the option while
// the engine starts or stops its DHT.
UiValue get_service(CommandContext& ctx, const ServiceOption& option) {
    if (option.service == NetworkService::Dht) {
        const lt::session* session = running_session(ctx);
        return UiValue(session != nullptr && session->is_dht_running());
    }
    return UiValue(ctx.settings.*option.stored);
}

void add_services(std::vector<CommandEntry>& out, CommandContext& ctx) {
    for (const ServiceOption& option : kServices) {
        out.push_back({option.setter, 1, UsualResult::False, [&ctx, option](const CommandArgs& a) {
                           return set_service(ctx, option, a.bool_at(0));
                       }});
        out.push_back({option.getter, 0, UsualResult::False,
                       [&ctx, option](const CommandArgs&) { return get_service(ctx, option); }});
    }
    out.push_back({"reconnect", 0, UsualResult::True, [&ctx](const CommandArgs&) {
                       if (lt::session* session = running_session(ctx)) {
                           session->reopen_network_sockets(reconnect_flags(
                               ctx.settings, ctx.torrents->session.loopback_only()));
                       }
                       return UiValue(true);
                   }});
}

void add_rate_limits(std::vector<CommandEntry>& out, CommandContext& ctx) {
    out.push_back({"set_global_upload", 1, UsualResult::True, [&ctx](const CommandArgs& a) {
                       apply_int(ctx, sp::upload_rate_limit, a.int_at(0));
                       return UiValue(true);
                   }});
    out.push_back({"set_global_download", 1, UsualResult::True, [&ctx](const CommandArgs& a) {
                       apply_int(ctx, sp::download_rate_limit, a.int_at(0));
                       return UiValue(true);
                   }});
    out.push_back({"set_torrent_upload", 2, UsualResult::True, [&ctx](const CommandArgs& a) {
                       const int limit = a.int_at(1);
                       change_torrent(ctx, a[0], [limit](lt::torrent_handle& h) {
                           h.set_upload_limit(limit);
                       });
                       return UiValue(true);
                   }});
    out.push_back({"set_torrent_download", 2, UsualResult::True, [&ctx](const CommandArgs& a) {
                       const int limit = a.int_at(1);
                       change_torrent(ctx, a[0], [limit](lt::torrent_handle& h) {
                           h.set_download_limit(limit);
                       });
                       return UiValue(true);
                   }});
}

// The session's pause has two causes, the user's (session_paused, saved) and the scheduler's
// (not saved). Either side's resume resumes the session; only the end of a schedule pause
// respects the user's pause.
void add_pausing(std::vector<CommandEntry>& out, CommandContext& ctx) {
    out.push_back({"pause_all_torrents", 1, UsualResult::False, [&ctx](const CommandArgs& a) {
                       ctx.settings.session_paused = a.bool_at(0);
                       hold_session(ctx, ctx.settings.session_paused);
                       return UiValue(ctx.settings.session_paused);
                   }});
    out.push_back({"get_session_pause", 0, UsualResult::False,
                   [&ctx](const CommandArgs&) { return UiValue(ctx.settings.session_paused); }});
    out.push_back({"reset_pause", 0, UsualResult::True, [&ctx](const CommandArgs&) {
                       ctx.settings.session_paused = false;
                       hold_session(ctx, false);
                       return UiValue(true);
                   }});
    out.push_back({"force_pause_all_torrents", 0, UsualResult::True, [&ctx](const CommandArgs&) {
                       hold_session(ctx, true);
                       return UiValue(true);
                   }});
    out.push_back({"pause_schedule", 1, UsualResult::True, [&ctx](const CommandArgs& a) {
                       const bool paused = a.bool_at(0);
                       set_schedule_paused(ctx, paused);
                       hold_session(ctx, paused);
                       return UiValue(true);
                   }});
    out.push_back({"pause_schedule_end", 0, UsualResult::False, [&ctx](const CommandArgs&) {
                       set_schedule_paused(ctx, false);
                       hold_session(ctx, false);
                       if (ctx.settings.session_paused) {
                           hold_session(ctx, true);
                       }
                       return UiValue(ctx.settings.session_paused);
                   }});
}

void add_certificate(std::vector<CommandEntry>& out, CommandContext& ctx) {
    // a certificate the engine cannot use comes back as an alert, not as this command's result
    out.push_back({"do_set_ssl", 5, UsualResult::True, [&ctx](const CommandArgs& a) {
                       change_torrent(ctx, a[0], [&a](lt::torrent_handle& h) {
                           h.set_ssl_certificate(a.text_at(1), a.text_at(2), a.text_at(3),
                                                 a.text_at(4));
                       });
                       return UiValue(true);
                   }});
}

}  // namespace

std::vector<lt::settings_pack> service_packs(const config::ClientSettings& settings,
                                             NetworkService service,
                                             bool on,
                                             bool dht_running,
                                             bool loopback_only) {
    const int setting = engine_switch(service);
    if (service == NetworkService::Dht) {
        if (on && !dht_running && !loopback_only) {
            return {one_bool(setting, true), engine::dht_tuning_for(settings)};
        }
        if (!on && dht_running) {
            return {one_bool(setting, false)};
        }
        return {};
    }
    if (on && loopback_only) {
        return {};
    }
    return {one_bool(setting, on)};
}

lt::reopen_network_flags_t reconnect_flags(const config::ClientSettings& settings,
                                           bool loopback_only) {
    const bool mapping = settings.use_upnp || settings.use_natpmp;
    return mapping && !loopback_only ? lt::session_handle::reopen_map_ports
                                     : lt::reopen_network_flags_t{};
}

std::vector<CommandEntry> engine_session_commands(CommandContext& ctx) {
    std::vector<CommandEntry> out;
    add_services(out, ctx);
    add_rate_limits(out, ctx);
    add_pausing(out, ctx);
    add_certificate(out, ctx);
    return out;
}

}  // namespace velmora::host
