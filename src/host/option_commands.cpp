// Option setters and getters, one table row each.
#include "velmora/host/option_commands.h"

#include <stdexcept>
#include <string>

#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_flags.hpp>

#include "velmora/config/settings_fields.h"
#include "velmora/engine/engine_session.h"
#include "velmora/host/torrent_commands.h"

namespace velmora::host {
namespace {

using bridge::CommandArgs;
using bridge::CommandEntry;
using bridge::UiValue;
using bridge::UsualResult;

struct Option {
    const char* setter;
    const char* getter;
    const char* key;  // the settings key, which is also the engine's setting name
};

constexpr Option kIntOptions[] = {
    {"set_active_tracker_limit", "get_active_tracker_limit", "active_tracker_limit"},
    {"set_tracker_active_limit", "get_tracker_active_limit", "active_tracker_limit"},
    {"set_active_seeds_limit", "get_active_seeds_limit", "active_seeds"},
    {"set_active_lsd_limit", "get_active_lsd_limit", "active_lsd_limit"},
    {"set_active_limit", "get_active_limit", "active_limit"},
    {"set_downloads_limit", "get_downloads_limit", "active_downloads"},
    {"set_dht_limit", "get_dht_limit", "active_dht_limit"},
    {"set_active_checking", "get_active_checking", "active_checking"},
    {"set_tracker_min_anounce", "get_tracker_min_anounce", "min_announce_interval"},
    {"set_tracker_num_want", "get_tracker_num_want", "num_want"},
    {"set_tracker_stop_timeout", "get_tracker_stop_timeout", "stop_tracker_timeout"},
    {"set_tracker_connect_boost", "get_tracker_connect_boost", "torrent_connect_boost"},
    {"set_tracker_backoff", "get_tracker_backoff", "tracker_backoff"},
    {"set_tracker_completion_timeout", "get_tracker_completion_timeout",
     "tracker_completion_timeout"},
    {"set_tracker_response_length", "get_tracker_response_length",
     "tracker_maximum_response_length"},
    {"set_tracker_receive_timeout", "get_tracker_receive_timeout", "tracker_receive_timeout"},
    {"set_tracker_udp_token", "get_tracker_udp_token", "udp_tracker_token_expiry"},
    {"set_peers_chok", "get_peers_chok", "choking_algorithm"},
    {"set_seeds_chok", "get_seeds_chok", "seed_choking_algorithm"},
    {"set_max_total_peers", "get_max_total_peers", "max_peerlist_size"},
    {"set_max_paused_peers", "get_max_paused_peers", "max_paused_peerlist_size"},
};

constexpr Option kBoolOptions[] = {
    {"set_tracker_ip_filter", "get_tracker_ip_filter", "apply_ip_filter_to_trackers"},
    {"set_tracker_prefer_udp", "get_tracker_prefer_udp", "prefer_udp_trackers"},
    {"set_tracker_proxy_connect", "get_tracker_proxy_connect", "proxy_tracker_connections"},
    {"set_tracker_report_redundant", "get_tracker_report_redundant", "report_redundant_bytes"},
    {"set_prefer_seeds", "get_prefer_seeds", "auto_manage_prefer_seeds"},
    // the pages' "inactive torrents" switch has always driven the same setting
    {"set_inactive_torrents", "get_inactive_torrents", "auto_manage_prefer_seeds"},
};

const config::SettingField& field_named(std::string_view key) {
    for (const auto& field : config::settings_fields()) {
        if (field.name == key) {
            return field;
        }
    }
    throw std::logic_error("no setting " + std::string(key));
}

UiValue stored_value(const CommandContext& ctx, const config::SettingField& field) {
    const config::SettingValue value = field.value(ctx.settings);
    if (const bool* b = std::get_if<bool>(&value)) {
        return UiValue(*b);
    }
    return UiValue(std::get<std::int32_t>(value));
}

// One entry of the running session's settings; nothing while no engine runs.
void apply_one(CommandContext& ctx, const char* key, const UiValue& value) {
    TorrentServices* services = running_engine(ctx);
    if (services == nullptr) {
        return;
    }
    lt::settings_pack pack;
    const int setting = lt::setting_by_name(key);
    if (value.is_bool()) {
        pack.set_bool(setting, value.as_bool());
    } else {
        pack.set_int(setting, value.as_int());
    }
    services->session.session().apply_settings(std::move(pack));
}

// Every valid torrent of the running session.
template <class Change>
void for_each_torrent(CommandContext& ctx, Change change) {
    TorrentServices* services = running_engine(ctx);
    if (services == nullptr) {
        return;
    }
    for (const lt::torrent_handle& handle : services->session.session().get_torrents()) {
        if (handle.is_valid()) {
            change(handle);
        }
    }
}

void add_pair(std::vector<CommandEntry>& out,
              CommandContext& ctx,
              const Option& option,
              bool is_bool) {
    const config::SettingField& field = field_named(option.key);
    const UsualResult usual = is_bool ? UsualResult::False : UsualResult::Int;
    out.push_back({option.setter, 1, usual, [&ctx, &field, option](const CommandArgs& a) {
                       // a bool is an integer other than 0; anything else that is not an
                       // integer reads as 0
                       field.set_from_text(ctx.settings, std::to_string(a.int_at(0)));
                       const UiValue stored = stored_value(ctx, field);
                       apply_one(ctx, option.key, stored);
                       return stored;
                   }});
    out.push_back({option.getter, 0, usual,
                   [&ctx, &field](const CommandArgs&) { return stored_value(ctx, field); }});
}

// A limit every torrent gets (-1: unlimited): stored, then handed to each torrent in the session.
void add_torrent_limit(std::vector<CommandEntry>& out,
                       CommandContext& ctx,
                       const char* setter,
                       const char* getter,
                       std::int32_t& stored,
                       void (lt::torrent_handle::*apply)(int) const) {
    out.push_back({setter, 1, UsualResult::Int, [&ctx, &stored, apply](const CommandArgs& a) {
                       stored = a.int_at(0);
                       const int limit = stored;
                       for_each_torrent(
                           ctx, [limit, apply](const lt::torrent_handle& h) { (h.*apply)(limit); });
                       return UiValue(stored);
                   }});
    out.push_back(
        {getter, 0, UsualResult::Int, [&stored](const CommandArgs&) { return UiValue(stored); }});
}

}  // namespace

std::vector<CommandEntry> engine_option_commands(CommandContext& ctx) {
    std::vector<CommandEntry> out;
    for (const Option& option : kIntOptions) {
        add_pair(out, ctx, option, false);
    }
    for (const Option& option : kBoolOptions) {
        add_pair(out, ctx, option, true);
    }
    out.push_back({"set_auto_management", 1, UsualResult::False, [&ctx](const CommandArgs& a) {
                       ctx.settings.auto_management = a.bool_at(0);
                       const bool on = ctx.settings.auto_management;
                       for_each_torrent(ctx, [on](const lt::torrent_handle& h) {
                           if (on) {
                               h.set_flags(lt::torrent_flags::auto_managed);
                           } else {
                               h.unset_flags(lt::torrent_flags::auto_managed);
                           }
                       });
                       return UiValue(on);
                   }});
    out.push_back({"get_auto_management", 0, UsualResult::False,
                   [&ctx](const CommandArgs&) { return UiValue(ctx.settings.auto_management); }});
    add_torrent_limit(out, ctx, "set_max_peers", "get_max_peers", ctx.settings.max_peers_torrent,
                      &lt::torrent_handle::set_max_uploads);
    add_torrent_limit(out, ctx, "set_max_slots", "get_max_slots", ctx.settings.max_slots_torrent,
                      &lt::torrent_handle::set_max_connections);
    return out;
}

}  // namespace velmora::host
