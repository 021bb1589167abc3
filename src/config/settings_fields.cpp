// The field table of the advanced settings file: one row per element, in file order.
#include "velmora/config/settings_fields.h"

#include <array>
#include <limits>
#include <type_traits>
#include <utility>

namespace velmora::config {
namespace {

// The member that a path of member pointers reaches: (settings.*dht).*max_peers for a DHT field.
// clang-format off
template <auto... Path, typename Record>
constexpr auto& reach(Record& record) {
    return (record .* ... .* Path);
}
// clang-format on

template <auto... Path>
using MemberType = std::remove_cvref_t<decltype(reach<Path...>(std::declval<ClientSettings&>()))>;

template <typename T>
constexpr FieldKind kind_of() {
    if constexpr (std::is_same_v<T, bool>) {
        return FieldKind::Bool;
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return FieldKind::Int;
    } else {
        static_assert(std::is_same_v<T, std::string>, "a setting is a flag, an integer or a text");
        return FieldKind::Text;
    }
}

constexpr FieldKind section_kind(SettingSection section) {
    switch (section) {
        case SettingSection::Bool:
        case SettingSection::DhtBool:
            return FieldKind::Bool;
        case SettingSection::Int:
        case SettingSection::DhtInt:
            return FieldKind::Int;
        case SettingSection::Text:
            break;
    }
    return FieldKind::Text;
}

template <auto... Path>
SettingValue value_of(const ClientSettings& settings) {
    return SettingValue(std::in_place_type<MemberType<Path...>>, reach<Path...>(settings));
}

template <auto... Path>
void set_from_text(ClientSettings& settings, std::string_view text) {
    auto& member = reach<Path...>(settings);
    if constexpr (kind_of<MemberType<Path...>>() == FieldKind::Bool) {
        member = read_decimal_int(text) != 0;
    } else if constexpr (kind_of<MemberType<Path...>>() == FieldKind::Int) {
        member = read_decimal_int(text);
    } else {
        member.assign(text);
    }
}

template <auto... Path>
consteval SettingField field(std::string_view name, SettingSection section) {
    constexpr FieldKind kind = kind_of<MemberType<Path...>>();
    if (kind != section_kind(section)) {
        throw "the member's type does not match its section";  // stops the build
    }
    return {name, kind, section, &value_of<Path...>, &set_from_text<Path...>};
}

using enum SettingSection;

// clang-format off
constexpr std::array kFields = {
    field<&ClientSettings::update_only_changed_torrents>("update_only_changed_torrents", Bool),
    field<&ClientSettings::pre_allocate_files>("pre_allocate_files", Bool),
    field<&ClientSettings::respect_sleep>("respect_sleep", Bool),
    field<&ClientSettings::bep53>("BEP53", Bool),
    field<&ClientSettings::session_log>("session_log", Bool),
    field<&ClientSettings::dht_log>("dht_log", Bool),
    field<&ClientSettings::torrent_log>("torrent_log", Bool),
    field<&ClientSettings::peer_log>("peer_log", Bool),
    field<&ClientSettings::delete_logs>("delete_logs", Bool),
    field<&ClientSettings::auto_management>("auto_management", Bool),
    field<&ClientSettings::add_trackers_duplicate>("add_trackers_duplicate", Bool),
    field<&ClientSettings::lock_adapter>("lock_adapter", Bool),
    field<&ClientSettings::use_dht>("use_dht", Bool),
    field<&ClientSettings::use_upnp>("use_upnp", Bool),
    field<&ClientSettings::use_natpmp>("use_natpmp", Bool),
    field<&ClientSettings::use_lsd>("use_lsd", Bool),
    field<&ClientSettings::session_paused>("session_paused", Bool),
    field<&ClientSettings::allow_multiple_connections_per_ip>("allow_multiple_connections_per_ip", Bool),
    field<&ClientSettings::upnp_ignore_nonrouters>("upnp_ignore_nonrouters", Bool),
    field<&ClientSettings::use_parole_mode>("use_parole_mode", Bool),
    field<&ClientSettings::use_read_cache>("use_read_cache", Bool),
    field<&ClientSettings::coalesce_reads>("coalesce_reads", Bool),
    field<&ClientSettings::coalesce_writes>("coalesce_writes", Bool),
    field<&ClientSettings::auto_manage_prefer_seeds>("auto_manage_prefer_seeds", Bool),
    field<&ClientSettings::dont_count_slow_torrents>("dont_count_slow_torrents", Bool),
    field<&ClientSettings::close_redundant_connections>("close_redundant_connections", Bool),
    field<&ClientSettings::prioritize_partial_pieces>("prioritize_partial_pieces", Bool),
    field<&ClientSettings::rate_limit_ip_overhead>("rate_limit_ip_overhead", Bool),
    field<&ClientSettings::announce_to_all_trackers>("announce_to_all_trackers", Bool),
    field<&ClientSettings::announce_to_all_tiers>("announce_to_all_tiers", Bool),
    field<&ClientSettings::prefer_udp_trackers>("prefer_udp_trackers", Bool),
    field<&ClientSettings::strict_super_seeding>("strict_super_seeding", Bool),
    field<&ClientSettings::disable_hash_checks>("disable_hash_checks", Bool),
    field<&ClientSettings::allow_i2p_mixed>("allow_i2p_mixed", Bool),
    field<&ClientSettings::volatile_read_cache>("volatile_read_cache", Bool),
    field<&ClientSettings::no_atime_storage>("no_atime_storage", Bool),
    field<&ClientSettings::incoming_starts_queued_torrents>("incoming_starts_queued_torrents", Bool),
    field<&ClientSettings::report_true_downloaded>("report_true_downloaded", Bool),
    field<&ClientSettings::strict_end_game_mode>("strict_end_game_mode", Bool),
    field<&ClientSettings::broadcast_lsd>("broadcast_lsd", Bool),
    field<&ClientSettings::enable_outgoing_utp>("enable_outgoing_utp", Bool),
    field<&ClientSettings::enable_incoming_utp>("enable_incoming_utp", Bool),
    field<&ClientSettings::enable_outgoing_tcp>("enable_outgoing_tcp", Bool),
    field<&ClientSettings::enable_incoming_tcp>("enable_incoming_tcp", Bool),
    field<&ClientSettings::no_recheck_incomplete_resume>("no_recheck_incomplete_resume", Bool),
    field<&ClientSettings::anonymous_mode>("anonymous_mode", Bool),
    field<&ClientSettings::force_proxy>("force_proxy", Bool),
    field<&ClientSettings::report_web_seed_downloads>("report_web_seed_downloads", Bool),
    field<&ClientSettings::seeding_outgoing_connections>("seeding_outgoing_connections", Bool),
    field<&ClientSettings::no_connect_privileged_ports>("no_connect_privileged_ports", Bool),
    field<&ClientSettings::smooth_connects>("smooth_connects", Bool),
    field<&ClientSettings::always_send_user_agent>("always_send_user_agent", Bool),
    field<&ClientSettings::apply_ip_filter_to_trackers>("apply_ip_filter_to_trackers", Bool),
    field<&ClientSettings::ban_web_seeds>("ban_web_seeds", Bool),
    field<&ClientSettings::support_share_mode>("support_share_mode", Bool),
    field<&ClientSettings::support_merkle_torrents>("support_merkle_torrents", Bool),
    field<&ClientSettings::report_redundant_bytes>("report_redundant_bytes", Bool),
    field<&ClientSettings::listen_system_port_fallback>("listen_system_port_fallback", Bool),
    field<&ClientSettings::announce_crypto_support>("announce_crypto_support", Bool),
    field<&ClientSettings::prefer_rc4>("prefer_rc4", Bool),
    field<&ClientSettings::proxy_hostnames>("proxy_hostnames", Bool),
    field<&ClientSettings::proxy_peer_connections>("proxy_peer_connections", Bool),
    field<&ClientSettings::auto_sequential>("auto_sequential", Bool),
    field<&ClientSettings::proxy_tracker_connections>("proxy_tracker_connections", Bool),
    field<&ClientSettings::gfx>("GFX", Int),
    field<&ClientSettings::max_web_seed_connections>("max_web_seed_connections", Int),
    field<&ClientSettings::web_seed_name_lookup_retry>("web_seed_name_lookup_retry", Int),
    field<&ClientSettings::urlseed_max_request_bytes>("urlseed_max_request_bytes", Int),
    field<&ClientSettings::port_type>("port_type", Int),
    field<&ClientSettings::port>("port", Int),
    field<&ClientSettings::ssl_port>("ssl_port", Int),
    field<&ClientSettings::tracker_completion_timeout>("tracker_completion_timeout", Int),
    field<&ClientSettings::tracker_receive_timeout>("tracker_receive_timeout", Int),
    field<&ClientSettings::stop_tracker_timeout>("stop_tracker_timeout", Int),
    field<&ClientSettings::tracker_maximum_response_length>("tracker_maximum_response_length", Int),
    field<&ClientSettings::piece_timeout>("piece_timeout", Int),
    field<&ClientSettings::request_timeout>("request_timeout", Int),
    field<&ClientSettings::request_queue_time>("request_queue_time", Int),
    field<&ClientSettings::max_allowed_in_request_queue>("max_allowed_in_request_queue", Int),
    field<&ClientSettings::max_out_request_queue>("max_out_request_queue", Int),
    field<&ClientSettings::whole_pieces_threshold>("whole_pieces_threshold", Int),
    field<&ClientSettings::peer_timeout>("peer_timeout", Int),
    field<&ClientSettings::urlseed_timeout>("urlseed_timeout", Int),
    field<&ClientSettings::urlseed_pipeline_size>("urlseed_pipeline_size", Int),
    field<&ClientSettings::urlseed_wait_retry>("urlseed_wait_retry", Int),
    field<&ClientSettings::file_pool_size>("file_pool_size", Int),
    field<&ClientSettings::max_failcount>("max_failcount", Int),
    field<&ClientSettings::min_reconnect_time>("min_reconnect_time", Int),
    field<&ClientSettings::peer_connect_timeout>("peer_connect_timeout", Int),
    field<&ClientSettings::connection_speed>("connection_speed", Int),
    field<&ClientSettings::inactivity_timeout>("inactivity_timeout", Int),
    field<&ClientSettings::unchoke_interval>("unchoke_interval", Int),
    field<&ClientSettings::optimistic_unchoke_interval>("optimistic_unchoke_interval", Int),
    field<&ClientSettings::num_want>("num_want", Int),
    field<&ClientSettings::initial_picker_threshold>("initial_picker_threshold", Int),
    field<&ClientSettings::allowed_fast_set_size>("allowed_fast_set_size", Int),
    field<&ClientSettings::suggest_mode>("suggest_mode", Int),
    field<&ClientSettings::send_buffer_low_watermark>("send_buffer_low_watermark", Int),
    field<&ClientSettings::send_buffer_watermark>("send_buffer_watermark", Int),
    field<&ClientSettings::send_buffer_watermark_factor>("send_buffer_watermark_factor", Int),
    field<&ClientSettings::max_queued_disk_bytes>("max_queued_disk_bytes", Int),
    field<&ClientSettings::handshake_timeout>("handshake_timeout", Int),
    field<&ClientSettings::choking_algorithm>("choking_algorithm", Int),
    field<&ClientSettings::seed_choking_algorithm>("seed_choking_algorithm", Int),
    field<&ClientSettings::cache_size>("cache_size", Int),
    field<&ClientSettings::cache_expiry>("cache_expiry", Int),
    field<&ClientSettings::disk_io_write_mode>("disk_io_write_mode", Int),
    field<&ClientSettings::disk_io_read_mode>("disk_io_read_mode", Int),
    field<&ClientSettings::active_downloads>("active_downloads", Int),
    field<&ClientSettings::active_seeds>("active_seeds", Int),
    field<&ClientSettings::active_dht_limit>("active_dht_limit", Int),
    field<&ClientSettings::active_tracker_limit>("active_tracker_limit", Int),
    field<&ClientSettings::active_lsd_limit>("active_lsd_limit", Int),
    field<&ClientSettings::active_limit>("active_limit", Int),
    field<&ClientSettings::auto_manage_interval>("auto_manage_interval", Int),
    field<&ClientSettings::seed_time_limit>("seed_time_limit", Int),
    field<&ClientSettings::peer_turnover_interval>("peer_turnover_interval", Int),
    field<&ClientSettings::auto_scrape_interval>("auto_scrape_interval", Int),
    field<&ClientSettings::auto_scrape_min_interval>("auto_scrape_min_interval", Int),
    field<&ClientSettings::max_peerlist_size>("max_peerlist_size", Int),
    field<&ClientSettings::max_paused_peerlist_size>("max_paused_peerlist_size", Int),
    field<&ClientSettings::min_announce_interval>("min_announce_interval", Int),
    field<&ClientSettings::auto_manage_startup>("auto_manage_startup", Int),
    field<&ClientSettings::seeding_piece_quota>("seeding_piece_quota", Int),
    field<&ClientSettings::max_rejects>("max_rejects", Int),
    field<&ClientSettings::recv_socket_buffer_size>("recv_socket_buffer_size", Int),
    field<&ClientSettings::send_socket_buffer_size>("send_socket_buffer_size", Int),
    field<&ClientSettings::read_cache_line_size>("read_cache_line_size", Int),
    field<&ClientSettings::write_cache_line_size>("write_cache_line_size", Int),
    field<&ClientSettings::optimistic_disk_retry>("optimistic_disk_retry", Int),
    field<&ClientSettings::max_suggest_pieces>("max_suggest_pieces", Int),
    field<&ClientSettings::local_service_announce_interval>("local_service_announce_interval", Int),
    field<&ClientSettings::dht_announce_interval>("dht_announce_interval", Int),
    field<&ClientSettings::udp_tracker_token_expiry>("udp_tracker_token_expiry", Int),
    field<&ClientSettings::num_optimistic_unchoke_slots>("num_optimistic_unchoke_slots", Int),
    field<&ClientSettings::default_est_reciprocation_rate>("default_est_reciprocation_rate", Int),
    field<&ClientSettings::increase_est_reciprocation_rate>("increase_est_reciprocation_rate", Int),
    field<&ClientSettings::decrease_est_reciprocation_rate>("decrease_est_reciprocation_rate", Int),
    field<&ClientSettings::max_pex_peers>("max_pex_peers", Int),
    field<&ClientSettings::share_mode_target>("share_mode_target", Int),
    field<&ClientSettings::unchoke_slots_limit>("unchoke_slots_limit", Int),
    field<&ClientSettings::connections_limit>("connections_limit", Int),
    field<&ClientSettings::connections_slack>("connections_slack", Int),
    field<&ClientSettings::utp_target_delay>("utp_target_delay", Int),
    field<&ClientSettings::utp_gain_factor>("utp_gain_factor", Int),
    field<&ClientSettings::utp_min_timeout>("utp_min_timeout", Int),
    field<&ClientSettings::utp_syn_resends>("utp_syn_resends", Int),
    field<&ClientSettings::utp_fin_resends>("utp_fin_resends", Int),
    field<&ClientSettings::utp_num_resends>("utp_num_resends", Int),
    field<&ClientSettings::utp_connect_timeout>("utp_connect_timeout", Int),
    field<&ClientSettings::utp_loss_multiplier>("utp_loss_multiplier", Int),
    field<&ClientSettings::mixed_mode_algorithm>("mixed_mode_algorithm", Int),
    field<&ClientSettings::listen_queue_size>("listen_queue_size", Int),
    field<&ClientSettings::torrent_connect_boost>("torrent_connect_boost", Int),
    field<&ClientSettings::max_metadata_size>("max_metadata_size", Int),
    field<&ClientSettings::tracker_backoff>("tracker_backoff", Int),
    field<&ClientSettings::max_http_recv_buffer_size>("max_http_recv_buffer_size", Int),
    field<&ClientSettings::inactive_down_rate>("inactive_down_rate", Int),
    field<&ClientSettings::inactive_up_rate>("inactive_up_rate", Int),
    field<&ClientSettings::outgoing_port>("outgoing_port", Int),
    field<&ClientSettings::num_outgoing_ports>("num_outgoing_ports", Int),
    field<&ClientSettings::peer_tos>("peer_tos", Int),
    field<&ClientSettings::active_checking>("active_checking", Int),
    field<&ClientSettings::checking_mem_usage>("checking_mem_usage", Int),
    field<&ClientSettings::predictive_piece_announce>("predictive_piece_announce", Int),
    field<&ClientSettings::aio_threads>("aio_threads", Int),
    field<&ClientSettings::aio_max>("aio_max", Int),
    field<&ClientSettings::network_threads>("network_threads", Int),
    field<&ClientSettings::share_ratio_limit>("share_ratio_limit", Int),
    field<&ClientSettings::seed_time_ratio_limit>("seed_time_ratio_limit", Int),
    field<&ClientSettings::peer_turnover>("peer_turnover", Int),
    field<&ClientSettings::peer_turnover_cutoff>("peer_turnover_cutoff", Int),
    field<&ClientSettings::connect_seed_every_n_download>("connect_seed_every_n_download", Int),
    field<&ClientSettings::close_file_interval>("close_file_interval", Int),
    field<&ClientSettings::resolver_cache_timeout>("resolver_cache_timeout", Int),
    field<&ClientSettings::max_retry_port_bind>("max_retry_port_bind", Int),
    field<&ClientSettings::out_enc_policy>("out_enc_policy", Int),
    field<&ClientSettings::in_enc_policy>("in_enc_policy", Int),
    field<&ClientSettings::allowed_enc_level>("allowed_enc_level", Int),
    field<&ClientSettings::proxy_type>("proxy_type", Int),
    field<&ClientSettings::proxy_port>("proxy_port", Int),
    field<&ClientSettings::i2p_port>("i2p_port", Int),
    field<&ClientSettings::cache_size_volatile>("cache_size_volatile", Int),
    field<&ClientSettings::tick_interval>("tick_interval", Int),
    field<&ClientSettings::max_peers_torrent>("max_peers_torrent", Int),
    field<&ClientSettings::max_slots_torrent>("max_slots_torrent", Int),
    field<&ClientSettings::announce_ip>("announce_ip", Text),
    field<&ClientSettings::outgoing_interfaces>("outgoing_interfaces", Text),
    field<&ClientSettings::listen_interfaces>("listen_interfaces", Text),
    field<&ClientSettings::proxy_hostname>("proxy_hostname", Text),
    field<&ClientSettings::proxy_username>("proxy_username", Text),
    field<&ClientSettings::proxy_password>("proxy_password", Text),
    field<&ClientSettings::i2p_hostname>("i2p_hostname", Text),
    field<&ClientSettings::dht_bootstrap_nodes>("dht_bootstrap_nodes", Text),
    field<&ClientSettings::dht, &DhtSettings::max_peers_reply>("max_peers_reply", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::search_branching>("search_branching", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::max_fail_count>("max_fail_count", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::max_torrents>("max_torrents", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::max_dht_items>("max_dht_items", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::max_peers>("max_peers", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::max_torrent_search_reply>("max_torrent_search_reply", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::block_timeout>("block_timeout", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::block_ratelimit>("block_ratelimit", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::item_lifetime>("item_lifetime", DhtInt),
    field<&ClientSettings::dht, &DhtSettings::restrict_routing_ips>("restrict_routing_ips", DhtBool),
    field<&ClientSettings::dht, &DhtSettings::restrict_search_ips>("restrict_search_ips", DhtBool),
    field<&ClientSettings::dht, &DhtSettings::extended_routing_table>("extended_routing_table", DhtBool),
    field<&ClientSettings::dht, &DhtSettings::aggressive_lookups>("aggressive_lookups", DhtBool),
    field<&ClientSettings::dht, &DhtSettings::privacy_lookups>("privacy_lookups", DhtBool),
    field<&ClientSettings::dht, &DhtSettings::enforce_node_id>("enforce_node_id", DhtBool),
    field<&ClientSettings::dht, &DhtSettings::ignore_dark_internet>("ignore_dark_internet", DhtBool),
    field<&ClientSettings::dht, &DhtSettings::read_only>("read_only", DhtBool),
};
// clang-format on

static_assert(kFields.size() == 212);

constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::span<const SettingField> settings_fields() {
    return kFields;
}

std::string field_text(const SettingField& field, const ClientSettings& settings) {
    const SettingValue value = field.value(settings);
    if (const auto* flag = std::get_if<bool>(&value)) {
        return *flag ? "1" : "0";
    }
    if (const auto* number = std::get_if<std::int32_t>(&value)) {
        return std::to_string(*number);
    }
    return std::get<std::string>(value);
}

std::int32_t read_decimal_int(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && is_blank(text[at])) {
        ++at;
    }
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        ++at;
    }
    // Accumulate the magnitude in 64 bits and stop growing just past the 32-bit range, so that
    // any number of digits neither overflows nor changes the saturated result.
    constexpr std::int64_t kCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (magnitude < kCap) {
            magnitude = magnitude * 10 + (text[at] - '0');
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace velmora::config
