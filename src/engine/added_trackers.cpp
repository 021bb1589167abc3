// Tracker lists read on the engine's thread as it announces each add.
#include "velmora/engine/added_trackers.h"

#include <exception>
#include <utility>

#include <libtorrent/alert_types.hpp>

namespace velmora::engine {

void AddedTrackers::on_alert(const lt::alert* alert) {
    const auto* added = lt::alert_cast<lt::add_torrent_alert>(alert);
    if (added == nullptr || added->error || !added->handle.is_valid()) {
        return;
    }
    try {
        // On the engine's own thread the handle answers at once: no round trip, no wait.
        std::vector<lt::announce_entry> trackers = added->handle.trackers();
        const std::lock_guard lock(lock_);
        lists_.insert_or_assign(added->handle, std::move(trackers));
    } catch (const std::exception&) {
        // nothing is kept; the add's announcement asks the handle itself
    }
}

std::optional<std::vector<lt::announce_entry>> AddedTrackers::take(
    const lt::torrent_handle& handle) {
    const std::lock_guard lock(lock_);
    auto node = lists_.extract(handle);
    if (node.empty()) {
        return std::nullopt;
    }
    return std::move(node.mapped());
}

}  // namespace velmora::engine
