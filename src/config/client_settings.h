// The one in-memory record of every client option, with its defaults.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::config {

// A flag the gui thread changes while the tick or a worker reads it goes through these two, so
// that the reader sees the old value or the new one, never a torn or cached one.
inline void write_shared(bool& flag, bool value) {
    std::atomic_ref<bool>(flag).store(value, std::memory_order_relaxed);
}
inline bool read_shared(const bool& flag) {
    // an atomic load does not change the object
    return std::atomic_ref<bool>(const_cast<bool&>(flag)).load(std::memory_order_relaxed);
}

inline constexpr std::string_view kAppVersion = "2.9.6.0";
inline constexpr std::string_view kAppGuid = "D1627B42-272F-4E8F-AAF2-3301C747C2F2";

// Three public DHT routers, host:port, comma-separated.
inline constexpr std::string_view kDefaultDhtBootstrapNodes =
    "dht.libtorrent.org:25401,router.bittorrent.com:6881,router.utorrent.com:6881";

// The members of the engine's DHT settings that the client keeps, named like them; the engine's
// other DHT members keep the engine's own defaults.
struct DhtSettings {
    std::int32_t max_peers_reply = 100;
    std::int32_t search_branching = 5;
    std::int32_t max_fail_count = 20;
    std::int32_t max_torrents = 2000;
    std::int32_t max_dht_items = 700;
    std::int32_t max_peers = 5000;
    std::int32_t max_torrent_search_reply = 20;
    std::int32_t block_timeout = 300;
    std::int32_t block_ratelimit = 5;
    std::int32_t item_lifetime = 0;

    bool restrict_routing_ips = true;
    bool restrict_search_ips = true;
    bool extended_routing_table = true;
    bool aggressive_lookups = true;
    bool privacy_lookups = false;
    bool enforce_node_id = false;
    bool ignore_dark_internet = true;
    bool read_only = false;

    bool operator==(const DhtSettings&) const = default;
};

// Every client option; one instance for the whole process, created with these defaults before
// anything else runs. A field kept in the advanced settings file is named after its element
// (in snake_case: BEP53 is bep53, GFX is gfx); settings_fields() lists them in file order.
// Thread: the gui thread writes; other threads read the scalars without a lock and may see the
// value from just before or just after a change. Texts change only on the gui thread, so a
// worker that needs them works on a copy taken there.
struct ClientSettings {
    // Flags. A field without a comment, here and among the integers and texts, is an engine key:
    // the engine takes it under the very same name.
    // Status updates carry only torrents whose status changed.
    bool update_only_changed_torrents = true;
    // New torrents get fully allocated files instead of sparse ones.
    bool pre_allocate_files = false;
    bool respect_sleep = false;    // false: keep the computer awake while torrents are active
    bool bep53 = false;            // use the file selection of magnet links
    bool session_log = false;      // write the session log file
    bool dht_log = false;          // write the DHT log file
    bool torrent_log = false;      // write the torrent log file
    bool peer_log = false;         // write the peer log file
    bool delete_logs = false;      // delete the log files at start-up
    bool auto_management = false;  // torrents are auto-managed by the engine queue
    // Adding a torrent already present merges its trackers into it.
    bool add_trackers_duplicate = true;
    bool lock_adapter = false;    // listen only on the chosen network adapter
    bool use_dht = true;          // engine key enable_dht
    bool use_upnp = true;         // engine key enable_upnp
    bool use_natpmp = true;       // engine key enable_natpmp
    bool use_lsd = true;          // engine key enable_lsd
    bool session_paused = false;  // the user paused the whole session; the engine starts paused
    bool allow_multiple_connections_per_ip = false;
    bool upnp_ignore_nonrouters = false;
    bool use_parole_mode = true;
    bool use_read_cache = true;
    bool coalesce_reads = false;
    bool coalesce_writes = false;
    bool auto_manage_prefer_seeds = false;
    bool dont_count_slow_torrents = true;
    bool close_redundant_connections = true;
    bool prioritize_partial_pieces = false;
    bool rate_limit_ip_overhead = true;
    bool announce_to_all_trackers = false;
    bool announce_to_all_tiers = false;
    bool prefer_udp_trackers = true;
    bool strict_super_seeding = false;
    bool disable_hash_checks = false;
    bool allow_i2p_mixed = false;
    bool volatile_read_cache = false;
    bool no_atime_storage = true;
    bool incoming_starts_queued_torrents = false;
    bool report_true_downloaded = false;
    bool strict_end_game_mode = true;
    bool broadcast_lsd = true;
    bool enable_outgoing_utp = true;
    bool enable_incoming_utp = true;
    bool enable_outgoing_tcp = true;
    bool enable_incoming_tcp = true;
    bool no_recheck_incomplete_resume = false;
    bool anonymous_mode = false;
    bool force_proxy = false;
    bool report_web_seed_downloads = true;
    bool seeding_outgoing_connections = true;
    bool no_connect_privileged_ports = false;
    bool smooth_connects = true;
    bool always_send_user_agent = false;
    bool apply_ip_filter_to_trackers = true;
    bool ban_web_seeds = true;
    bool support_share_mode = true;
    bool support_merkle_torrents = true;
    bool report_redundant_bytes = true;
    bool listen_system_port_fallback = true;
    bool announce_crypto_support = true;
    bool prefer_rc4 = false;
    bool proxy_hostnames = true;
    bool proxy_peer_connections = true;
    bool auto_sequential = true;
    bool proxy_tracker_connections = true;

    // Integers.
    // Graphics back end of the UI engine: 0 Direct2D, 1 GDI, 2 WARP, other: its own choice.
    std::int32_t gfx = 0;
    std::int32_t max_web_seed_connections = 3;
    std::int32_t web_seed_name_lookup_retry = 1800;
    std::int32_t urlseed_max_request_bytes = 16777216;
    std::int32_t port_type = 3;    // listen port mode
    std::int32_t port = 6881;      // listen port
    std::int32_t ssl_port = 4433;  // SSL listen port
    std::int32_t tracker_completion_timeout = 30;
    std::int32_t tracker_receive_timeout = 10;
    std::int32_t stop_tracker_timeout = 5;
    std::int32_t tracker_maximum_response_length = 1048576;
    std::int32_t piece_timeout = 20;
    std::int32_t request_timeout = 60;
    std::int32_t request_queue_time = 3;
    std::int32_t max_allowed_in_request_queue = 500;
    std::int32_t max_out_request_queue = 500;
    std::int32_t whole_pieces_threshold = 20;
    std::int32_t peer_timeout = 120;
    std::int32_t urlseed_timeout = 20;
    std::int32_t urlseed_pipeline_size = 5;
    std::int32_t urlseed_wait_retry = 30;
    std::int32_t file_pool_size = 40;
    std::int32_t max_failcount = 3;
    std::int32_t min_reconnect_time = 60;
    std::int32_t peer_connect_timeout = 15;
    std::int32_t connection_speed = 10;
    std::int32_t inactivity_timeout = 600;
    std::int32_t unchoke_interval = 15;
    std::int32_t optimistic_unchoke_interval = 30;
    std::int32_t num_want = 200;
    std::int32_t initial_picker_threshold = 4;
    std::int32_t allowed_fast_set_size = 5;
    std::int32_t suggest_mode = 0;
    std::int32_t send_buffer_low_watermark = 10240;
    std::int32_t send_buffer_watermark = 512000;
    std::int32_t send_buffer_watermark_factor = 50;
    std::int32_t max_queued_disk_bytes = 1048576;
    std::int32_t handshake_timeout = 10;
    std::int32_t choking_algorithm = 2;
    std::int32_t seed_choking_algorithm = 0;
    std::int32_t cache_size = 1024;
    std::int32_t cache_expiry = 300;
    std::int32_t disk_io_write_mode = 0;
    std::int32_t disk_io_read_mode = 0;
    std::int32_t active_downloads = 3;
    std::int32_t active_seeds = 5;
    std::int32_t active_dht_limit = 88;
    std::int32_t active_tracker_limit = 360;
    std::int32_t active_lsd_limit = 60;
    std::int32_t active_limit = 15;
    std::int32_t auto_manage_interval = 30;
    std::int32_t seed_time_limit = 86400;
    std::int32_t peer_turnover_interval = 300;
    std::int32_t auto_scrape_interval = 1800;
    std::int32_t auto_scrape_min_interval = 300;
    std::int32_t max_peerlist_size = 3000;
    std::int32_t max_paused_peerlist_size = 1000;
    std::int32_t min_announce_interval = 300;
    std::int32_t auto_manage_startup = 60;
    std::int32_t seeding_piece_quota = 20;
    std::int32_t max_rejects = 50;
    std::int32_t recv_socket_buffer_size = 0;
    std::int32_t send_socket_buffer_size = 0;
    std::int32_t read_cache_line_size = 32;
    std::int32_t write_cache_line_size = 16;
    std::int32_t optimistic_disk_retry = 600;
    std::int32_t max_suggest_pieces = 16;
    std::int32_t local_service_announce_interval = 300;
    std::int32_t dht_announce_interval = 900;
    std::int32_t udp_tracker_token_expiry = 60;
    std::int32_t num_optimistic_unchoke_slots = 0;
    std::int32_t default_est_reciprocation_rate = 1600;
    std::int32_t increase_est_reciprocation_rate = 20;
    std::int32_t decrease_est_reciprocation_rate = 3;
    std::int32_t max_pex_peers = 50;
    std::int32_t share_mode_target = 3;
    std::int32_t unchoke_slots_limit = 8;
    std::int32_t connections_limit = 200;
    std::int32_t connections_slack = 10;
    std::int32_t utp_target_delay = 100;
    std::int32_t utp_gain_factor = 3000;
    std::int32_t utp_min_timeout = 500;
    std::int32_t utp_syn_resends = 2;
    std::int32_t utp_fin_resends = 2;
    std::int32_t utp_num_resends = 3;
    std::int32_t utp_connect_timeout = 3000;
    std::int32_t utp_loss_multiplier = 50;
    std::int32_t mixed_mode_algorithm = 1;
    std::int32_t listen_queue_size = 5;
    std::int32_t torrent_connect_boost = 10;
    std::int32_t max_metadata_size = 31457280;
    std::int32_t tracker_backoff = 250;
    std::int32_t max_http_recv_buffer_size = 835584;
    std::int32_t inactive_down_rate = 2048;
    std::int32_t inactive_up_rate = 2048;
    std::int32_t outgoing_port = 0;
    std::int32_t num_outgoing_ports = 0;
    std::int32_t peer_tos = 32;
    std::int32_t active_checking = 1;
    std::int32_t checking_mem_usage = 256;
    std::int32_t predictive_piece_announce = 0;
    std::int32_t aio_threads = 4;
    std::int32_t aio_max = 300;
    std::int32_t network_threads = 0;
    std::int32_t share_ratio_limit = 200;
    std::int32_t seed_time_ratio_limit = 700;
    std::int32_t peer_turnover = 4;
    std::int32_t peer_turnover_cutoff = 90;
    std::int32_t connect_seed_every_n_download = 10;
    std::int32_t close_file_interval = 16513;     // exactly 16513
    std::int32_t resolver_cache_timeout = 16515;  // exactly 16515
    std::int32_t max_retry_port_bind = 10;
    std::int32_t out_enc_policy = 1;
    std::int32_t in_enc_policy = 1;
    std::int32_t allowed_enc_level = 3;
    std::int32_t proxy_type = 0;
    std::int32_t proxy_port = 0;
    std::int32_t i2p_port = 0;
    std::int32_t cache_size_volatile = 256;
    std::int32_t tick_interval = 500;     // stored and read back only
    std::int32_t max_peers_torrent = -1;  // upload slots given to each torrent; -1: unlimited
    std::int32_t max_slots_torrent = -1;  // connections given to each torrent; -1: unlimited

    // Texts.
    std::string announce_ip;
    std::string outgoing_interfaces;  // set when the user chooses network adapters
    std::string listen_interfaces;
    std::string proxy_hostname;
    std::string proxy_username;
    std::string proxy_password;
    std::string i2p_hostname;
    std::string dht_bootstrap_nodes{kDefaultDhtBootstrapNodes};

    DhtSettings dht;

    // Not in the file: set by the page for the run only.
    bool tray_minimize = false;  // minimising the main window hides it to the tray
    bool close_tray = false;     // closing the main window only hides it while the tray icon shows
    bool auto_start = false;     // added torrents start at once
    bool auto_stop = false;      // a completed torrent is stopped and leaves the session
    std::int32_t bandwith_option = 3;  // kept for the page's bandwidth page only
    bool show_tray = true;
    bool default_client_check = true;  // offer to register the file associations at start-up
    // Which kinds of engine events reach the page's log.
    std::array<bool, 9> event_toggles{true, true, true, true, true, true, true, true, true};

    bool operator==(const ClientSettings&) const = default;
};

}  // namespace velmora::config
