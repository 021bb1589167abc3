// Flag commands and the settings the page hands back at start-up.
#include "velmora/host/settings_commands.h"

#include <cmath>
#include <limits>

#include "velmora/config/client_settings.h"
#include "velmora/engine/status_reports.h"
#include "velmora/host/app_paths.h"
#include "velmora/host/app_state.h"
#include "velmora/host/torrent_commands.h"

namespace velmora::host {
namespace {

using bridge::CommandArgs;
using bridge::CommandEntry;
using bridge::UiValue;
using bridge::UsualResult;
using config::ClientSettings;

struct FlagCommand {
    const char* setter;  // nullptr: no setter
    const char* getter;  // nullptr: no getter
    bool ClientSettings::*field;
};

constexpr FlagCommand kFlagCommands[] = {
    {"set_update_only_changed_torrents", "get_update_only_changed_torrents",
     &ClientSettings::update_only_changed_torrents},
    {"set_pre_allocate_files", "get_pre_allocate_files", &ClientSettings::pre_allocate_files},
    {"set_bep53", "get_bep53", &ClientSettings::bep53},
    {"set_add_trackers_duplicate", "get_add_trackers_duplicate",
     &ClientSettings::add_trackers_duplicate},
    {"set_tray_minimize", "get_tray_minimize", &ClientSettings::tray_minimize},
    {"set_tray_close", nullptr, &ClientSettings::close_tray},
    {"set_auto_start", nullptr, &ClientSettings::auto_start},
    {"set_auto_stop", nullptr, &ClientSettings::auto_stop},
};

// The page keeps totals as numbers of any size; anything else counts as nothing.
std::int64_t read_byte_total(const UiValue& v) {
    double bytes = 0;
    if (v.is_int()) {
        bytes = v.as_int();
    } else if (v.is_float()) {
        bytes = v.as_float();
    }
    if (!std::isfinite(bytes) || bytes <= 0) {
        return 0;
    }
    if (bytes >= static_cast<double>(std::numeric_limits<std::int64_t>::max())) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return static_cast<std::int64_t>(bytes);
}

std::string text_or_empty(const UiValue& v) {
    return v.is_string() ? v.as_string() : std::string();
}

}  // namespace

std::vector<CommandEntry> setting_flag_commands(ClientSettings& settings) {
    std::vector<CommandEntry> rows;
    for (const auto& flag : kFlagCommands) {
        bool ClientSettings::*field = flag.field;
        if (flag.setter != nullptr) {
            rows.push_back(
                {flag.setter, 1, UsualResult::False, [&settings, field](const CommandArgs& args) {
                     config::write_shared(settings.*field, args.bool_at(0));
                     return UiValue(settings.*field);
                 }});
        }
        if (flag.getter != nullptr) {
            rows.push_back(
                {flag.getter, 0, UsualResult::False,
                 [&settings, field](const CommandArgs&) { return UiValue(settings.*field); }});
        }
    }
    return rows;
}

UiValue cmd_set_bandwith_option(ClientSettings& settings, const CommandArgs& args) {
    settings.bandwith_option = args.int_at(0);
    return UiValue(settings.bandwith_option);
}

UiValue cmd_set_logging_events(ClientSettings& settings, const CommandArgs& args) {
    const bridge::UiValue& toggles = args[0];
    for (std::size_t i = 0; i < settings.event_toggles.size(); ++i) {
        config::write_shared(settings.event_toggles[i], toggles.at_index(i).read_bool());
    }
    return UiValue(true);
}

UiValue cmd_set_default_client_check(ClientSettings& settings, const CommandArgs& args) {
    settings.default_client_check = args.bool_at(0);
    return UiValue(true);
}

UiValue cmd_set_resumed_settings(CommandContext& ctx, const CommandArgs& args) {
    const CommandArgs saved(args.array_at(0));
    ctx.state.resumed_uploaded_bytes = read_byte_total(saved[0]);
    ctx.state.resumed_downloaded_bytes = read_byte_total(saved[1]);
    if (ctx.torrents != nullptr) {
        ctx.torrents->totals.set_carried_over(ctx.state.resumed_uploaded_bytes,
                                              ctx.state.resumed_downloaded_bytes);
    }
    {
        const std::lock_guard lock(*ctx.paths.folders_lock);
        ctx.paths.user_record_folder =
            existing_or(text_or_empty(saved[2]), ctx.paths.record_folder);
        ctx.paths.user_download_folder =
            existing_or(text_or_empty(saved[3]), ctx.paths.default_download_folder);
        ctx.paths.completed_downloads_folder = existing_or(text_or_empty(saved[4]), {});
    }
    ctx.settings.default_client_check = saved.bool_at(5);
    ctx.settings.show_tray = saved.bool_at(7);
    config::write_shared(ctx.settings.auto_stop, saved.bool_at(8));
    config::write_shared(ctx.settings.auto_start, saved.bool_at(9));
    ctx.settings.bandwith_option = saved.int_at(10);
    ctx.state.window_placement = {saved.int_at(11), saved.int_at(12), saved.int_at(13),
                                  saved.int_at(14)};
    for (std::size_t i = 0; i < 8; ++i) {
        config::write_shared(ctx.settings.event_toggles[i], saved.bool_at(15 + i));
    }
    ctx.settings.tray_minimize = saved.bool_at(23);
    ctx.settings.close_tray = saved.bool_at(24);
    return UiValue(true);
}

}  // namespace velmora::host
