// The one ordered (name, arity, handler) list: the whole command surface of the pages.
// An entry without a handler answers its usual result until its subsystem is built in.
#include "velmora/host/command_list.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "velmora/bridge/ui_engine.h"
#include "velmora/host/app_paths.h"
#include "velmora/host/app_state.h"
#include "velmora/host/creation_commands.h"
#include "velmora/host/desktop.h"
#include "velmora/host/folder_commands.h"
#include "velmora/host/generic_commands.h"
#include "velmora/host/option_commands.h"
#include "velmora/host/port_commands.h"
#include "velmora/host/search_commands.h"
#include "velmora/host/session_commands.h"
#include "velmora/host/settings_commands.h"
#include "velmora/host/shell_commands.h"
#include "velmora/host/torrent_commands.h"
#include "velmora/host/torrent_operation_commands.h"
#include "velmora/services/country_lookup.h"

namespace velmora::host {
namespace {

using bridge::CommandEntry;
using bridge::kAnyArity;
using bridge::UsualResult;

bridge::CommandHandler text_of(const std::filesystem::path& folder) {
    return [&folder](const CommandArgs&) { return UiValue(folder.string()); };
}

UiValue cmd_set_title(CommandContext& ctx, const CommandArgs& args, UiValue result) {
    ctx.state.window_title = args.text_at(0);
    return result;
}

UiValue cmd_get_window_placement(CommandContext& ctx) {
    const WindowPlacement& p = ctx.state.window_placement;
    return UiValue(
        bridge::UiArray{UiValue(p.left), UiValue(p.top), UiValue(p.width), UiValue(p.height)});
}

// Another window of the client's own pages; a non-string argument opens nothing.
UiValue cmd_open(CommandContext& ctx, const CommandArgs& args) {
    if (!args[0].is_string() || ctx.ui == nullptr) {
        return UiValue(false);
    }
    return UiValue(ctx.ui->open_window(args[0].as_string()));
}

UiValue cmd_get_torrents_array(CommandContext& ctx) {
    bridge::UiArray chosen;
    for (const auto& file : ctx.desktop.choose_torrent_files()) {
        chosen.emplace_back(bridge::UiMap{{"path", UiValue(file.string())}});
    }
    return UiValue(std::move(chosen));
}

// A command of the torrent engine: its usual result while no engine runs.
template <class Handler>
bridge::CommandHandler engine_command(CommandContext& ctx, UsualResult usual, Handler handler) {
    return [&ctx, usual, handler](const CommandArgs& args) {
        return ctx.torrents != nullptr ? handler(*ctx.torrents, args) : bridge::usual_value(usual);
    };
}

// Commands of a subsystem's own table keep their places in the list; only the handler moves in.
// A handler without its row is a programming error, caught at the first start.
void install_handlers(std::vector<CommandEntry>& rows, std::vector<CommandEntry> handlers) {
    for (auto& handler : handlers) {
        auto row = std::find_if(rows.begin(), rows.end(), [&handler](const CommandEntry& r) {
            return r.name == handler.name && r.arity == handler.arity;
        });
        if (row == rows.end()) {
            std::cerr << "velmora: command without a row: " << handler.name << '\n';
            std::abort();
        }
        row->handler = std::move(handler.handler);
    }
}

}  // namespace

// clang-format off
std::vector<CommandEntry> command_list(CommandContext& ctx) {
    std::map<std::string, CommandEntry> flags;
    for (auto& entry : setting_flag_commands(ctx.settings)) {
        flags.emplace(entry.name, std::move(entry));
    }
    auto flag = [&flags](const char* name, int arity) {
        const auto it = flags.find(name);
        if (it == flags.end() || it->second.arity != arity) {
            std::cerr << "velmora: flag command missing: " << name << '\n';
            std::abort();
        }
        return it->second;
    };
    std::vector<CommandEntry> rows = {
        {"timer_events", 1, UsualResult::True, engine_command(ctx, UsualResult::True, cmd_timer_events)},
        {"play_sound", 0, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_play_sound(ctx, a); }},
        {"title", 0, UsualResult::Text, [&ctx](const CommandArgs&) { return UiValue(ctx.state.window_title); }},
        {"title", 1, UsualResult::Undefined, [&ctx](const CommandArgs& a) { return cmd_set_title(ctx, a, UiValue()); }},
        {"log", kAnyArity, UsualResult::Undefined, [](const CommandArgs& a) { return cmd_log(a); }},
        {"open", 1, UsualResult::False, [&ctx](const CommandArgs& a) { return cmd_open(ctx, a); }},
        {"open", 2, UsualResult::False, [&ctx](const CommandArgs& a) { return cmd_open(ctx, a); }},
        {"set_window_title", 1, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_set_title(ctx, a, UiValue(true)); }},
        {"launch_debug_view_view", 0, UsualResult::False, [](const CommandArgs&) { return UiValue(false); }},
        {"inspector_is_present", 0, UsualResult::Undefined, [](const CommandArgs&) { return UiValue(); }},
        {"get_lsd", 0, UsualResult::False, {}},
        {"window_shown", 0, UsualResult::False, [&ctx](const CommandArgs&) { return UiValue(ctx.state.window_shown); }},
        {"set_default_client_check", 1, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_set_default_client_check(ctx.settings, a); }},
        {"get_version", 0, UsualResult::Array, [](const CommandArgs& a) { return cmd_get_version(a); }},
        {"force_pause_all_torrents", 0, UsualResult::True, {}},
        {"get_default_torrents_folder", 0, UsualResult::Text, text_of(ctx.paths.record_folder)},
        {"get_completed_downloads_folder", 0, UsualResult::Text, text_of(ctx.paths.completed_downloads_folder)},
        {"get_random_port", 0, UsualResult::Int, {}},
        {"get_current_port", 0, UsualResult::Array, {}},
        {"get_drive_letters", 0, UsualResult::Text, [](const CommandArgs& a) { return cmd_get_drive_letters(a); }},
        {"get_appdata_folder", 0, UsualResult::Text, text_of(ctx.paths.appdata_folder)},
        {"get_desktop_folder", 0, UsualResult::Text, text_of(ctx.paths.desktop_folder)},
        {"get_default_download_folder", 0, UsualResult::Text, text_of(ctx.paths.default_download_folder)},
        {"get_default_torrent_folder", 0, UsualResult::Text, text_of(ctx.paths.record_folder)},
        {"get_user_torrent_folder", 0, UsualResult::Text, text_of(ctx.paths.user_record_folder)},
        {"get_user_download_folder", 0, UsualResult::Text, text_of(ctx.paths.user_download_folder)},
        {"get_upnp", 0, UsualResult::False, {}},
        {"get_nat_pmp", 0, UsualResult::False, {}},
        {"get_dht", 0, UsualResult::False, {}},
        {"set_debug_console", 1, UsualResult::True, [](const CommandArgs&) { return UiValue(true); }},
        {"do_add_magnet_link", 2, UsualResult::True, engine_command(ctx, UsualResult::True, cmd_do_add_magnet_link)},
        {"make_new_torrent", 3, UsualResult::True, {}},
        {"get_filename_from_path", 2, UsualResult::Text, [](const CommandArgs& a) { return cmd_get_filename_from_path(a); }},
        {"add_torrent_to_session", 2, UsualResult::True, engine_command(ctx, UsualResult::True, cmd_add_torrent_to_session)},
        {"delete_file_direct", 1, UsualResult::Int, [](const CommandArgs& a) { return cmd_delete_file_direct(a); }},
        {"set_resumed_settings", 1, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_set_resumed_settings(ctx, a); }},
        {"get_window_placement", 0, UsualResult::Array, [&ctx](const CommandArgs&) { return cmd_get_window_placement(ctx); }},
        {"pause_all_torrents", 1, UsualResult::False, {}},
        {"stop_all", 0, UsualResult::True, {}},
        {"do_get_file_hashes", 5, UsualResult::True, engine_command(ctx, UsualResult::True, cmd_do_get_file_hashes)},
        {"get_session_pause", 0, UsualResult::False, {}},
        {"set_completed_downloads_folder", 1, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_set_completed_downloads_folder(ctx.paths, a); }},
        {"set_downloads_folder", 1, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_set_downloads_folder(ctx.paths, a); }},
        {"set_torrents_folder", 1, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_set_torrents_folder(ctx.paths, a); }},
        {"set_tray_icon", 1, UsualResult::False, {}},
        {"set_current_port", 2, UsualResult::False, {}},
        {"set_port_type", 1, UsualResult::Int, {}},
        {"set_nat_pmp", 1, UsualResult::False, {}},
        {"set_upnp", 1, UsualResult::False, {}},
        {"set_lsd", 1, UsualResult::False, {}},
        {"set_dht", 1, UsualResult::False, {}},
        flag("set_auto_stop", 1),
        flag("set_auto_start", 1),
        {"set_logging_events", 1, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_set_logging_events(ctx.settings, a); }},
        {"set_bandwith_option", 1, UsualResult::Int, [&ctx](const CommandArgs& a) { return cmd_set_bandwith_option(ctx.settings, a); }},
        {"reset_up_down_data", 0, UsualResult::Array, engine_command(ctx, UsualResult::Array, [](TorrentServices& t, const CommandArgs&) { return cmd_reset_up_down_data(t); })},
        {"get_resumed_uploaded", 0, UsualResult::Float, engine_command(ctx, UsualResult::Float, [](TorrentServices& t, const CommandArgs&) { return cmd_get_resumed_uploaded(t); })},
        {"get_resumed_downloaded", 0, UsualResult::Float, engine_command(ctx, UsualResult::Float, [](TorrentServices& t, const CommandArgs&) { return cmd_get_resumed_downloaded(t); })},
        {"get_peers_chok", 0, UsualResult::Int, {}},
        {"get_seeds_chok", 0, UsualResult::Int, {}},
        {"set_peers_chok", 1, UsualResult::Int, {}},
        {"set_seeds_chok", 1, UsualResult::Int, {}},
        {"is_debug", 0, UsualResult::False, [](const CommandArgs&) { return UiValue(false); }},
        {"do_pause_torrent", 1, UsualResult::False, {}},
        {"set_torrent_trackers", 2, UsualResult::True, {}},
        {"do_delete_torrent", 3, UsualResult::True, {}},
        {"do_delete_torrent_data", 2, UsualResult::True, {}},
        {"do_stop_torrent", 1, UsualResult::False, {}},
        {"do_update_trackers", 2, UsualResult::True, {}},
        {"do_scrape_trackers", 2, UsualResult::True, {}},
        {"do_delete_trackers", 2, UsualResult::True, {}},
        {"do_delete_web_seed", 2, UsualResult::True, {}},
        {"do_add_trackers", 2, UsualResult::True, {}},
        {"do_add_web_seed", 2, UsualResult::True, {}},
        {"do_start_torrent", 5, UsualResult::True, {}},
        {"do_recheck_torrent", 1, UsualResult::False, {}},
        {"do_resume_torrent", 1, UsualResult::False, {}},
        {"move_downloads_folder", 2, UsualResult::True, {}},
        {"do_make_torrent_from_session", 1, UsualResult::True, {}},
        {"set_prioraty", 3, UsualResult::True, {}},
        {"rename_torrent_file", 3, UsualResult::True, {}},
        {"set_sequential_download", 2, UsualResult::True, {}},
        {"set_share_mode", 2, UsualResult::True, {}},
        {"set_super_seeding", 2, UsualResult::True, {}},
        {"set_upload_mode", 2, UsualResult::True, {}},
        {"file_exists", 1, UsualResult::False, [](const CommandArgs& a) { return cmd_file_exists(a); }},
        {"set_global_upload", 1, UsualResult::True, {}},
        {"set_global_download", 1, UsualResult::True, {}},
        {"set_torrent_upload", 2, UsualResult::True, {}},
        {"set_torrent_download", 2, UsualResult::True, {}},
        {"set_max_peers", 1, UsualResult::Int, {}},
        {"get_max_peers", 0, UsualResult::Int, {}},
        {"set_max_slots", 1, UsualResult::Int, {}},
        {"get_max_slots", 0, UsualResult::Int, {}},
        {"do_set_as_default_client", 0, UsualResult::False, {}},
        {"get_default_client_status", 0, UsualResult::False, {}},
        {"set_running_startup", 1, UsualResult::False, {}},
        {"get_running_startup", 0, UsualResult::False, {}},
        {"pause_schedule", 1, UsualResult::True, {}},
        {"pause_schedule_end", 0, UsualResult::False, {}},
        {"get_temp_folder", 0, UsualResult::Text, [&ctx](const CommandArgs&) { return UiValue(ctx.paths.temp_folder); }},
        {"validate_file_name", 1, UsualResult::False, [](const CommandArgs& a) { return cmd_validate_file_name(a); }},
        {"reset_pause", 0, UsualResult::True, {}},
        {"do_set_ssl", 5, UsualResult::True, {}},
        {"file_open", 2, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_file_open(ctx, a); }},
        {"get_formated_size", 1, UsualResult::Text, [](const CommandArgs& a) { return cmd_get_formated_size(a); }},
        {"set_tracker_active_limit", 1, UsualResult::Int, {}},
        {"get_tracker_active_limit", 0, UsualResult::Int, {}},
        {"set_tracker_min_anounce", 1, UsualResult::Int, {}},
        {"get_tracker_min_anounce", 0, UsualResult::Int, {}},
        {"set_tracker_num_want", 1, UsualResult::Int, {}},
        {"get_tracker_num_want", 0, UsualResult::Int, {}},
        {"set_tracker_stop_timeout", 1, UsualResult::Int, {}},
        {"get_tracker_stop_timeout", 0, UsualResult::Int, {}},
        {"set_tracker_connect_boost", 1, UsualResult::Int, {}},
        {"get_tracker_connect_boost", 0, UsualResult::Int, {}},
        {"set_tracker_backoff", 1, UsualResult::Int, {}},
        {"get_tracker_backoff", 0, UsualResult::Int, {}},
        {"set_tracker_completion_timeout", 1, UsualResult::Int, {}},
        {"get_tracker_completion_timeout", 0, UsualResult::Int, {}},
        {"set_tracker_response_length", 1, UsualResult::Int, {}},
        {"get_tracker_response_length", 0, UsualResult::Int, {}},
        {"set_tracker_receive_timeout", 1, UsualResult::Int, {}},
        {"get_tracker_receive_timeout", 0, UsualResult::Int, {}},
        {"set_tracker_udp_token", 1, UsualResult::Int, {}},
        {"get_tracker_udp_token", 0, UsualResult::Int, {}},
        {"set_tracker_ip_filter", 1, UsualResult::False, {}},
        {"get_tracker_ip_filter", 0, UsualResult::False, {}},
        {"set_tracker_proxy_connect", 1, UsualResult::False, {}},
        {"get_tracker_proxy_connect", 0, UsualResult::False, {}},
        {"set_tracker_report_redundant", 1, UsualResult::False, {}},
        {"get_tracker_report_redundant", 0, UsualResult::False, {}},
        {"set_tracker_prefer_udp", 1, UsualResult::False, {}},
        {"get_tracker_prefer_udp", 0, UsualResult::False, {}},
        flag("set_tray_minimize", 1),
        flag("get_tray_minimize", 0),
        flag("set_tray_close", 1),
        {"show_tray_icon_balloon", 2, UsualResult::True, {}},
        {"tray_menu_result", 1, UsualResult::Int, {}},
        {"auto_power_options", 1, UsualResult::True, {}},
        {"is_ipv4_or_ipv6", 1, UsualResult::Int, [](const CommandArgs& a) { return cmd_is_ipv4_or_ipv6(a); }},
        {"reopen_geoip", 0, UsualResult::False, engine_command(ctx, UsualResult::False, [](TorrentServices& t, const CommandArgs&) { return UiValue(t.countries.reopen()); })},
        {"start_timer", 0, UsualResult::True, engine_command(ctx, UsualResult::True, [](TorrentServices& t, const CommandArgs&) { return cmd_start_timer(t); })},
        {"do_auto_load_folder", 1, UsualResult::False, engine_command(ctx, UsualResult::False, cmd_do_auto_load_folder)},
        {"set_max_total_peers", 1, UsualResult::Int, {}},
        {"get_max_total_peers", 0, UsualResult::Int, {}},
        {"set_max_paused_peers", 1, UsualResult::Int, {}},
        {"get_max_paused_peers", 0, UsualResult::Int, {}},
        {"do_get_network_adapters", 0, UsualResult::Array, {}},
        {"do_set_network_adapters", 1, UsualResult::True, {}},
        {"get_lock_adapter", 0, UsualResult::False, {}},
        {"set_lock_adapter", 1, UsualResult::False, {}},
        {"do_validate_ip", 1, UsualResult::Int, [](const CommandArgs& a) { return cmd_do_validate_ip(a); }},
        {"do_add_peer_to_torrent", 4, UsualResult::True, {}},
        flag("set_add_trackers_duplicate", 1),
        flag("get_add_trackers_duplicate", 0),
        {"set_auto_management", 1, UsualResult::False, {}},
        {"get_auto_management", 0, UsualResult::False, {}},
        {"set_active_checking", 1, UsualResult::Int, {}},
        {"get_active_checking", 0, UsualResult::Int, {}},
        {"set_dht_limit", 1, UsualResult::Int, {}},
        {"get_dht_limit", 0, UsualResult::Int, {}},
        {"set_downloads_limit", 1, UsualResult::Int, {}},
        {"get_downloads_limit", 0, UsualResult::Int, {}},
        {"set_active_limit", 1, UsualResult::Int, {}},
        {"get_active_limit", 0, UsualResult::Int, {}},
        {"set_active_lsd_limit", 1, UsualResult::Int, {}},
        {"get_active_lsd_limit", 0, UsualResult::Int, {}},
        {"set_active_seeds_limit", 1, UsualResult::Int, {}},
        {"get_active_seeds_limit", 0, UsualResult::Int, {}},
        {"set_active_tracker_limit", 1, UsualResult::Int, {}},
        {"get_active_tracker_limit", 0, UsualResult::Int, {}},
        {"set_inactive_torrents", 1, UsualResult::False, {}},
        {"get_inactive_torrents", 0, UsualResult::False, {}},
        {"set_prefer_seeds", 1, UsualResult::False, {}},
        {"get_prefer_seeds", 0, UsualResult::False, {}},
        {"reconnect", 0, UsualResult::True, {}},
        {"toggle_queue", 2, UsualResult::True, {}},
        {"do_clear_error", 1, UsualResult::True, {}},
        flag("set_bep53", 1),
        {"get_is_executable_file", 1, UsualResult::False, [](const CommandArgs& a) { return cmd_get_is_executable_file(a); }},
        flag("get_bep53", 0),
        flag("set_pre_allocate_files", 1),
        flag("get_pre_allocate_files", 0),
        flag("set_update_only_changed_torrents", 1),
        flag("get_update_only_changed_torrents", 0),
        {"search", 1, UsualResult::False, {}},
        {"set_search", 1, UsualResult::True, {}},
        {"do_add_search_hash", 3, UsualResult::True, {}},
        {"do_add_history_hash", 3, UsualResult::True, {}},
        {"file_folder_open", 1, UsualResult::True, [&ctx](const CommandArgs& a) { return cmd_file_folder_open(ctx, a); }},
        {"get_torrents_array", 0, UsualResult::Array, [&ctx](const CommandArgs&) { return cmd_get_torrents_array(ctx); }},
        {"do_edit_torrent", 1, UsualResult::True, {}},
    };
    install_handlers(rows, engine_option_commands(ctx));
    install_handlers(rows, engine_session_commands(ctx));
    install_handlers(rows, port_commands(ctx));
    install_handlers(rows, torrent_operation_commands(ctx));
    install_handlers(rows, record_operation_commands(ctx.torrents));
    install_handlers(rows, creation_commands(ctx));
    install_handlers(rows, search_commands(ctx));
    if (ctx.shell != nullptr && ctx.power != nullptr) {
        install_handlers(rows, shell_commands({*ctx.shell, *ctx.power, ctx.events, ctx.state,
                                               ctx.post_close}));
    }
    return rows;
}
// clang-format on

}  // namespace velmora::host
