// Page commands of the torrent engine.
#include "velmora/host/torrent_commands.h"

#include <filesystem>

#include "velmora/engine/client_functions.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/engine/status_reports.h"
#include "velmora/lifecycle/torrent_lifecycle.h"
#include "velmora/services/file_hashes.h"

namespace velmora::host {
namespace {

enum AddKind : std::int32_t { kTorrentFile = 0, kMagnetLink = 1, kBareHash = 2 };

using bridge::CommandEntry;
using bridge::UsualResult;

// The texts under `key` of an array of maps; entries without one are left out.
std::vector<std::string> texts_under(const UiValue& list, std::string_view key) {
    std::vector<std::string> texts;
    if (list.is_array()) {
        for (const UiValue& item : list.as_array()) {
            std::string text = item.at_key(key).read_text();
            if (!text.empty()) {
                texts.push_back(std::move(text));
            }
        }
    }
    return texts;
}

lifecycle::StartOptions start_options(const UiValue& options) {
    auto at = [&options](std::size_t i) -> const UiValue& {
        static const UiValue absent;
        return options.is_array() && i < options.as_array().size() ? options.as_array()[i] : absent;
    };
    lifecycle::StartOptions out;
    out.sequential_download = at(0).read_bool();
    out.upload_mode = at(1).read_bool();
    out.share_mode = at(2).read_bool();
    out.super_seeding = at(3).read_bool();
    out.upload_limit = at(4).read_int();
    out.download_limit = at(5).read_int();
    return out;
}

// A command of the running engine: its usual result while none runs.
template <class Handler>
CommandEntry engine_entry(
    const char* name, int arity, UsualResult usual, TorrentServices*& services, Handler handler) {
    return {name, arity, usual, [&services, usual, handler](const CommandArgs& args) {
                return services != nullptr ? handler(services->lifecycle.operations(), args)
                                           : bridge::usual_value(usual);
            }};
}

}  // namespace

TorrentServices* running_engine(CommandContext& ctx) {
    return ctx.torrents != nullptr && ctx.torrents->session.started() ? ctx.torrents : nullptr;
}

lt::torrent_handle find_torrent(TorrentServices& services, const UiValue& hash) {
    if (!hash.is_string() || !services.session.started() ||
        !engine::InfoHashHex::parse(hash.as_string())) {
        return {};
    }
    return services.session.session().find_torrent(engine::to_hash(hash.as_string()));
}

std::vector<CommandEntry> record_operation_commands(TorrentServices*& services) {
    using Ops = lifecycle::TorrentOperations;
    return {
        engine_entry(
            "do_stop_torrent", 1, UsualResult::False, services,
            [](Ops& ops, const CommandArgs& a) { return UiValue(ops.stop(a.text_at(0))); }),
        engine_entry("stop_all", 0, UsualResult::True, services,
                     [](Ops& ops, const CommandArgs&) {
                         ops.stop_all();
                         return UiValue(true);
                     }),
        engine_entry("do_start_torrent", 5, UsualResult::True, services,
                     [](Ops& ops, const CommandArgs& a) {
                         ops.start_stopped(a.text_at(0), a.bool_at(1), texts_under(a[2], "name"),
                                           texts_under(a[3], "url"), start_options(a[4]));
                         return UiValue(true);
                     }),
        engine_entry("do_delete_torrent", 3, UsualResult::True, services,
                     [](Ops& ops, const CommandArgs& a) {
                         ops.delete_torrent(a.text_at(0), a.bool_at(1), a.text_at(2));
                         return UiValue(true);
                     }),
        engine_entry("do_delete_torrent_data", 2, UsualResult::True, services,
                     [](Ops& ops, const CommandArgs& a) {
                         ops.delete_data(a.text_at(0), a.text_at(1));
                         return UiValue(true);
                     }),
        engine_entry("move_downloads_folder", 2, UsualResult::True, services,
                     [](Ops& ops, const CommandArgs& a) {
                         ops.move_downloads_folder(a.text_at(0), a.text_at(1));
                         return UiValue(true);
                     }),
    };
}

UiValue cmd_add_torrent_to_session(TorrentServices& services, const CommandArgs& args) {
    const std::string value = args.text_at(0);
    const UiValue& kind = args[1];
    auto& lifecycle = services.lifecycle;
    if (!kind.is_int() || kind.as_int() == kTorrentFile) {
        lifecycle.add_torrent_file(value, {}, false);
    } else if (kind.as_int() == kMagnetLink) {
        lifecycle.start_worker([&lifecycle, value] { lifecycle.add_magnet(value); });
    } else if (kind.as_int() == kBareHash) {
        lifecycle.start_worker([&lifecycle, value] { lifecycle.add_by_hash(value, {}, {}); });
    }
    return UiValue(true);
}

UiValue cmd_do_add_magnet_link(TorrentServices& services, const CommandArgs& args) {
    services.lifecycle.add_magnet(args.text_at(0));
    return UiValue(true);
}

UiValue cmd_do_auto_load_folder(TorrentServices& services, const CommandArgs& args) {
    std::error_code ec;
    if (!args[0].is_string() || !std::filesystem::exists(args[0].as_string(), ec)) {
        return UiValue(false);
    }
    auto& lifecycle = services.lifecycle;
    lifecycle.start_worker([&lifecycle, folder = std::filesystem::path(args[0].as_string())] {
        std::error_code list_error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, list_error)) {
            if (!lifecycle.running()) {
                return;
            }
            std::error_code kind_error;
            // ".torrent" anywhere in the name counts, letter case too; folders never do
            if (!entry.is_directory(kind_error) &&
                entry.path().filename().string().find(".torrent") != std::string::npos) {
                lifecycle.add_torrent_file(entry.path(), {}, true);
            }
        }
    });
    return UiValue(true);
}

UiValue cmd_do_get_file_hashes(TorrentServices& services, const CommandArgs& args) {
    services.hashes.add(
        {args.text_at(0), args.text_at(1), args.int_at(2), args.bool_at(3), args.bool_at(4)});
    return UiValue(true);
}

UiValue cmd_timer_events(TorrentServices& services, const CommandArgs& args) {
    services.lifecycle.timer_events(args.bool_at(0), services.save_settings);
    return UiValue(true);
}

UiValue cmd_start_timer(TorrentServices& services) {
    services.start_timer();
    return UiValue(true);
}

UiValue cmd_get_resumed_uploaded(TorrentServices& services) {
    return UiValue(static_cast<double>(services.totals.resumed_uploaded()));
}

UiValue cmd_get_resumed_downloaded(TorrentServices& services) {
    return UiValue(static_cast<double>(services.totals.resumed_downloaded()));
}

UiValue cmd_reset_up_down_data(TorrentServices& services) {
    auto [uploaded, downloaded] = services.totals.reset();
    return UiValue(bridge::UiArray{UiValue(std::move(uploaded)), UiValue(std::move(downloaded))});
}

}  // namespace velmora::host
