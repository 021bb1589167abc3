// Tracker lists read on the engine's thread as it announces adds and status updates.
#include "velmora/engine/tracker_prefetch.h"

#include <exception>
#include <utility>

#include <libtorrent/alert_types.hpp>

namespace velmora::engine {

void TrackerPrefetch::on_alert(const lt::alert* alert) {
    // Called with the engine's alert queue held; the pump's takes never wait for that queue, so
    // the two locks are never taken the other way round.
    if (const auto* added = lt::alert_cast<lt::add_torrent_alert>(alert)) {
        if (!added->error) {
            const std::lock_guard lock(lock_);
            keep(added_, added->handle);
        }
    } else if (const auto* update = lt::alert_cast<lt::state_update_alert>(alert)) {
        const std::lock_guard lock(lock_);
        for (const lt::torrent_status& status : update->status) {
            keep(updated_, status.handle);
        }
    }
}

void TrackerPrefetch::keep(Lists& lists, const lt::torrent_handle& handle) {
    if (!handle.is_valid()) {
        return;
    }
    try {
        // On the engine's own thread the handle answers at once: no round trip, no wait.
        lists.insert_or_assign(handle, handle.trackers());
    } catch (const std::exception&) {
        // nothing is kept; the event's sender asks the handle itself
    }
}

std::optional<std::vector<lt::announce_entry>> TrackerPrefetch::take_added(
    const lt::torrent_handle& handle) {
    return take(added_, handle);
}

std::optional<std::vector<lt::announce_entry>> TrackerPrefetch::take_updated(
    const lt::torrent_handle& handle) {
    return take(updated_, handle);
}

std::optional<std::vector<lt::announce_entry>> TrackerPrefetch::take(
    Lists& lists, const lt::torrent_handle& handle) {
    const std::lock_guard lock(lock_);
    auto node = lists.extract(handle);
    if (node.empty()) {
        return std::nullopt;
    }
    return std::move(node.mapped());
}

}  // namespace velmora::engine
