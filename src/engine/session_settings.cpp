// The engine's configuration, worked out from the client's settings before the session exists.
#include "velmora/engine/session_settings.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <random>
#include <string_view>
#include <unordered_map>

#include <libtorrent/fingerprint.hpp>

#include "velmora/config/settings_fields.h"

namespace velmora::engine {
namespace {

constexpr std::uint32_t kBaseAlertMask = 0x20064D;
constexpr std::uint32_t kSessionLogMask = 0x38264D;  // the base mask with the session log bits
constexpr std::uint32_t kTorrentLogBits = 0x4000;
constexpr std::uint32_t kPeerLogBits = 0x8000;
constexpr std::uint32_t kDhtLogBits = 0x20000;
constexpr std::int32_t kBaseAlertQueue = 5000;
constexpr std::int32_t kAlertQueuePerLog = 3000;

// The settings copied to the engine under their own names.
constexpr std::string_view kPackedFlags[] = {
    "allow_i2p_mixed",
    "allow_multiple_connections_per_ip",
    "always_send_user_agent",
    "announce_crypto_support",
    "announce_to_all_tiers",
    "announce_to_all_trackers",
    "anonymous_mode",
    "apply_ip_filter_to_trackers",
    "auto_manage_prefer_seeds",
    "auto_sequential",
    "ban_web_seeds",
    "broadcast_lsd",
    "close_redundant_connections",
    "coalesce_reads",
    "coalesce_writes",
    "disable_hash_checks",
    "dont_count_slow_torrents",
    "enable_incoming_tcp",
    "enable_incoming_utp",
    "enable_outgoing_tcp",
    "enable_outgoing_utp",
    "force_proxy",
    "incoming_starts_queued_torrents",
    "listen_system_port_fallback",
    "no_atime_storage",
    "no_connect_privileged_ports",
    "no_recheck_incomplete_resume",
    "prefer_rc4",
    "prefer_udp_trackers",
    "prioritize_partial_pieces",
    "proxy_hostnames",
    "proxy_peer_connections",
    "proxy_tracker_connections",
    "rate_limit_ip_overhead",
    "report_redundant_bytes",
    "report_true_downloaded",
    "report_web_seed_downloads",
    "seeding_outgoing_connections",
    "smooth_connects",
    "strict_end_game_mode",
    "strict_super_seeding",
    "support_merkle_torrents",
    "support_share_mode",
    "upnp_ignore_nonrouters",
    "use_parole_mode",
    "use_read_cache",
    "volatile_read_cache",
};

constexpr std::string_view kPackedNumbers[] = {
    "active_checking",
    "active_dht_limit",
    "active_downloads",
    "active_limit",
    "active_lsd_limit",
    "active_seeds",
    "active_tracker_limit",
    "aio_max",
    "aio_threads",
    "allowed_enc_level",
    "allowed_fast_set_size",
    "auto_manage_interval",
    "auto_manage_startup",
    "auto_scrape_interval",
    "auto_scrape_min_interval",
    "cache_expiry",
    "cache_size",
    "cache_size_volatile",
    "checking_mem_usage",
    "choking_algorithm",
    "close_file_interval",
    "connect_seed_every_n_download",
    "connection_speed",
    "connections_limit",
    "connections_slack",
    "decrease_est_reciprocation_rate",
    "default_est_reciprocation_rate",
    "dht_announce_interval",
    "disk_io_read_mode",
    "disk_io_write_mode",
    "file_pool_size",
    "handshake_timeout",
    "i2p_port",
    "in_enc_policy",
    "inactive_down_rate",
    "inactive_up_rate",
    "inactivity_timeout",
    "increase_est_reciprocation_rate",
    "initial_picker_threshold",
    "listen_queue_size",
    "local_service_announce_interval",
    "max_allowed_in_request_queue",
    "max_failcount",
    "max_http_recv_buffer_size",
    "max_metadata_size",
    "max_out_request_queue",
    "max_paused_peerlist_size",
    "max_peerlist_size",
    "max_pex_peers",
    "max_queued_disk_bytes",
    "max_rejects",
    "max_retry_port_bind",
    "max_suggest_pieces",
    "max_web_seed_connections",
    "min_announce_interval",
    "min_reconnect_time",
    "mixed_mode_algorithm",
    "network_threads",
    "num_optimistic_unchoke_slots",
    "num_outgoing_ports",
    "num_want",
    "optimistic_disk_retry",
    "optimistic_unchoke_interval",
    "out_enc_policy",
    "outgoing_port",
    "peer_connect_timeout",
    "peer_timeout",
    "peer_tos",
    "peer_turnover",
    "peer_turnover_cutoff",
    "peer_turnover_interval",
    "piece_timeout",
    "predictive_piece_announce",
    "proxy_port",
    "proxy_type",
    "read_cache_line_size",
    "recv_socket_buffer_size",
    "request_queue_time",
    "request_timeout",
    "resolver_cache_timeout",
    "seed_choking_algorithm",
    "seed_time_limit",
    "seed_time_ratio_limit",
    "seeding_piece_quota",
    "send_buffer_low_watermark",
    "send_buffer_watermark",
    "send_buffer_watermark_factor",
    "send_socket_buffer_size",
    "share_mode_target",
    "share_ratio_limit",
    "stop_tracker_timeout",
    "suggest_mode",
    "torrent_connect_boost",
    "tracker_backoff",
    "tracker_completion_timeout",
    "tracker_maximum_response_length",
    "tracker_receive_timeout",
    "udp_tracker_token_expiry",
    "unchoke_interval",
    "unchoke_slots_limit",
    "urlseed_max_request_bytes",
    "urlseed_pipeline_size",
    "urlseed_timeout",
    "urlseed_wait_retry",
    "utp_connect_timeout",
    "utp_fin_resends",
    "utp_gain_factor",
    "utp_loss_multiplier",
    "utp_min_timeout",
    "utp_num_resends",
    "utp_syn_resends",
    "utp_target_delay",
    "web_seed_name_lookup_retry",
    "whole_pieces_threshold",
    "write_cache_line_size",
};

constexpr std::string_view kPackedTexts[] = {
    "announce_ip", "proxy_hostname", "proxy_username", "proxy_password", "i2p_hostname",
};

const std::unordered_map<std::string_view, const config::SettingField*>& fields_by_name() {
    static const std::unordered_map<std::string_view, const config::SettingField*> table = [] {
        std::unordered_map<std::string_view, const config::SettingField*> map;
        for (const auto& field : config::settings_fields()) {
            map.emplace(field.name, &field);
        }
        return map;
    }();
    return table;
}

// The engine library's name table has these two names swapped against its own key constants, so
// a lookup by name would set one for the other.
int engine_key(std::string_view name) {
    if (name == "announce_to_all_tiers") {
        return lt::settings_pack::announce_to_all_tiers;
    }
    if (name == "announce_to_all_trackers") {
        return lt::settings_pack::announce_to_all_trackers;
    }
    return lt::setting_by_name(lt::string_view(name.data(), name.size()));
}

// Names the engine does not know are kept in the settings but not applied.
void copy_by_name(lt::settings_pack& pack,
                  const config::ClientSettings& settings,
                  std::string_view name) {
    const auto& fields = fields_by_name();
    const auto it = fields.find(name);
    const int key = engine_key(name);
    if (it == fields.end() || key < 0) {
        return;
    }
    const config::SettingValue value = it->second->value(settings);
    switch (key & lt::settings_pack::type_mask) {
        case lt::settings_pack::bool_type_base:
            if (const bool* b = std::get_if<bool>(&value)) {
                pack.set_bool(key, *b);
            }
            break;
        case lt::settings_pack::int_type_base:
            if (const std::int32_t* i = std::get_if<std::int32_t>(&value)) {
                pack.set_int(key, *i);
            }
            break;
        default:
            if (const std::string* s = std::get_if<std::string>(&value)) {
                pack.set_str(key, *s);
            }
            break;
    }
}

// The list entries of the own-ports, system-ports and random-port modes for one address.
struct PortPair {
    std::int32_t plain;
    std::int32_t ssl;
};

PortPair ports_for(const config::ClientSettings& settings, std::int32_t random_port) {
    switch (settings.port_type) {
        case 2:
            return {0, 0};
        case 3:
            return {random_port, random_port + 20};
        default:
            return {settings.port, settings.ssl_port};
    }
}

std::string wildcard_listen(const config::ClientSettings& settings,
                            std::int32_t random_port,
                            const char* v4,
                            const char* v6) {
    const PortPair p = ports_for(settings, random_port);
    const std::string plain = std::to_string(p.plain);
    const std::string ssl = std::to_string(p.ssl);
    // The random-port form has a blank before its last entry; the engine skips it.
    const char* last_separator = settings.port_type == 3 ? ", " : ",";
    return std::string(v4) + ":" + plain + "," + v6 + ":" + plain + "," + v4 + ":" + ssl + "s" +
           last_separator + v6 + ":" + ssl + "s";
}

}  // namespace

const char* log_category_name(LogCategory category) {
    switch (category) {
        case LogCategory::Session:
            return "session";
        case LogCategory::Torrent:
            return "torrent";
        case LogCategory::Peer:
            return "peer";
        case LogCategory::Dht:
            return "dht";
    }
    return "";
}

const char* log_file_name(LogCategory category) {
    switch (category) {
        case LogCategory::Session:
            return "velmora_session.log";
        case LogCategory::Torrent:
            return "velmora_torrent.log";
        case LogCategory::Peer:
            return "velmora_peer.log";
        case LogCategory::Dht:
            return "velmora_dht.log";
    }
    return "";
}

bool log_enabled(const config::ClientSettings& settings, LogCategory category) {
    switch (category) {
        case LogCategory::Session:
            return settings.session_log;
        case LogCategory::Torrent:
            return settings.torrent_log;
        case LogCategory::Peer:
            return settings.peer_log;
        case LogCategory::Dht:
            return settings.dht_log;
    }
    return false;
}

void make_alert_room(lt::session_handle& session, std::size_t alerts) {
    using sp = lt::settings_pack;
    const std::size_t wanted =
        std::min<std::size_t>(alerts + static_cast<std::size_t>(kBaseAlertQueue),
                              static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()));
    if (static_cast<std::size_t>(session.get_settings().get_int(sp::alert_queue_size)) >= wanted) {
        return;
    }
    sp pack;
    pack.set_int(sp::alert_queue_size, static_cast<std::int32_t>(wanted));
    session.apply_settings(std::move(pack));
}

AlertSetup alert_setup(const config::ClientSettings& settings) {
    AlertSetup setup{kBaseAlertMask, kBaseAlertQueue};
    for (const LogCategory category : kLogCategories) {
        if (!log_enabled(settings, category)) {
            continue;
        }
        setup.queue_size += kAlertQueuePerLog;
        switch (category) {
            case LogCategory::Session:
                setup.mask = kSessionLogMask;
                break;
            case LogCategory::Torrent:
                setup.mask += kTorrentLogBits;
                break;
            case LogCategory::Peer:
                setup.mask += kPeerLogBits;
                break;
            case LogCategory::Dht:
                setup.mask += kDhtLogBits;
                break;
        }
    }
    return setup;
}

std::int32_t draw_random_port(std::time_t now) {
    std::mt19937 generator(static_cast<std::mt19937::result_type>(now));
    return static_cast<std::int32_t>((generator() >> 18) | 0xC000);
}

Interfaces interfaces_for(const config::ClientSettings& settings, std::int32_t random_port) {
    if (!settings.lock_adapter) {
        return {wildcard_listen(settings, random_port, "0.0.0.0", "[::]"), {}};
    }
    const PortPair p = ports_for(settings, random_port);
    Interfaces out;
    std::string_view names = settings.listen_interfaces;
    while (!names.empty()) {
        const auto comma = names.find(',');
        const std::string adapter(names.substr(0, comma));
        names = comma == std::string_view::npos ? std::string_view{} : names.substr(comma + 1);
        if (adapter.empty()) {
            continue;
        }
        const std::string sep = out.listen.empty() ? "" : ",";
        out.listen += sep + adapter + ":" + std::to_string(p.plain) + "," + adapter + ":" +
                      std::to_string(p.ssl) + "s";
        out.outgoing += sep + adapter;
    }
    return out;
}

Interfaces loopback_interfaces_for(const config::ClientSettings& settings,
                                   std::int32_t random_port) {
    return {wildcard_listen(settings, random_port, "127.0.0.1", "[::1]"), {}};
}

bool loopback_only_from_environment() {
    const char* value = std::getenv("VELMORA_LOOPBACK_ONLY");
    return value != nullptr && std::string_view(value) == "1";
}

lt::settings_pack settings_pack_for(const config::ClientSettings& settings, const PackInputs& in) {
    lt::settings_pack pack;
    for (const std::string_view name : kPackedFlags) {
        copy_by_name(pack, settings, name);
    }
    for (const std::string_view name : kPackedNumbers) {
        copy_by_name(pack, settings, name);
    }
    for (const std::string_view name : kPackedTexts) {
        copy_by_name(pack, settings, name);
    }
    using sp = lt::settings_pack;
    pack.set_int(sp::alert_mask, static_cast<int>(in.alerts.mask));
    pack.set_int(sp::alert_queue_size, in.alerts.queue_size);
    pack.set_bool(sp::use_dht_as_fallback, false);
    const bool open_network = !in.loopback_only;
    pack.set_bool(sp::enable_upnp, open_network && settings.use_upnp);
    pack.set_bool(sp::enable_natpmp, open_network && settings.use_natpmp);
    pack.set_bool(sp::enable_lsd, open_network && settings.use_lsd);
    pack.set_bool(sp::enable_dht, open_network && settings.use_dht);
    pack.set_str(sp::dht_bootstrap_nodes,
                 open_network && settings.use_dht ? settings.dht_bootstrap_nodes : std::string());
    pack.set_str(sp::user_agent, "Velmora");
    pack.set_str(sp::peer_fingerprint, lt::generate_fingerprint("VL", 2, 9, 6, 0));
    pack.set_str(sp::listen_interfaces, in.interfaces.listen);
    pack.set_str(sp::outgoing_interfaces, in.interfaces.outgoing);
    if (in.loopback_only) {
        // the loopback filter must hold for trackers too, whatever the user chose
        pack.set_bool(sp::apply_ip_filter_to_trackers, true);
    }
    return pack;
}

lt::settings_pack dht_tuning_for(const config::ClientSettings& settings) {
    using sp = lt::settings_pack;
    const config::DhtSettings& d = settings.dht;
    lt::settings_pack pack;
    pack.set_str(sp::dht_bootstrap_nodes, settings.dht_bootstrap_nodes);
    pack.set_int(sp::dht_max_peers_reply, d.max_peers_reply);
    pack.set_int(sp::dht_search_branching, d.search_branching);
    pack.set_int(sp::dht_max_fail_count, d.max_fail_count);
    pack.set_int(sp::dht_max_torrents, d.max_torrents);
    pack.set_int(sp::dht_max_dht_items, d.max_dht_items);
    pack.set_int(sp::dht_max_peers, d.max_peers);
    pack.set_int(sp::dht_max_torrent_search_reply, d.max_torrent_search_reply);
    pack.set_bool(sp::dht_restrict_routing_ips, d.restrict_routing_ips);
    pack.set_bool(sp::dht_restrict_search_ips, d.restrict_search_ips);
    pack.set_bool(sp::dht_extended_routing_table, d.extended_routing_table);
    pack.set_bool(sp::dht_aggressive_lookups, d.aggressive_lookups);
    pack.set_bool(sp::dht_privacy_lookups, d.privacy_lookups);
    pack.set_bool(sp::dht_enforce_node_id, d.enforce_node_id);
    pack.set_bool(sp::dht_ignore_dark_internet, d.ignore_dark_internet);
    pack.set_int(sp::dht_block_timeout, d.block_timeout);
    pack.set_int(sp::dht_block_ratelimit, d.block_ratelimit);
    pack.set_bool(sp::dht_read_only, d.read_only);
    pack.set_int(sp::dht_item_lifetime, d.item_lifetime);
    pack.set_int(sp::dht_upload_rate_limit, 8000);
    pack.set_int(sp::dht_sample_infohashes_interval, 21600);
    pack.set_int(sp::dht_max_infohashes_sample_count, 20);
    return pack;
}

}  // namespace velmora::engine
