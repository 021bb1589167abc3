// Page commands of the torrent engine.
#include "velmora/host/torrent_commands.h"

#include "velmora/engine/client_functions.h"
#include "velmora/engine/engine_session.h"
#include "velmora/engine/info_hash_hex.h"
#include "velmora/engine/status_reports.h"
#include "velmora/lifecycle/torrent_lifecycle.h"

namespace velmora::host {
namespace {

enum AddKind : std::int32_t { kTorrentFile = 0, kMagnetLink = 1, kBareHash = 2 };

}  // namespace

lt::torrent_handle find_torrent(TorrentServices& services, const UiValue& hash) {
    if (!hash.is_string() || !services.session.started() ||
        !engine::InfoHashHex::parse(hash.as_string())) {
        return {};
    }
    return services.session.session().find_torrent(engine::to_hash(hash.as_string()));
}

std::vector<lt::torrent_handle> session_torrents(TorrentServices& services) {
    std::vector<lt::torrent_handle> valid;
    if (!services.session.started()) {
        return valid;
    }
    for (lt::torrent_handle& handle : services.session.session().get_torrents()) {
        if (handle.is_valid()) {
            valid.push_back(std::move(handle));
        }
    }
    return valid;
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
