// Tracker lists read ahead on the engine's thread, for the page events that carry them.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <libtorrent/announce_entry.hpp>
#include <libtorrent/extensions.hpp>
#include <libtorrent/torrent_handle.hpp>

namespace velmora::engine {

// A torrent's add event and its status updates carry its tracker list. Asking the handle for
// it is a round trip to the engine's thread, and a restore of thousands of torrents pays one
// per add and one per first update, one after another. The engine's thread reads the list here
// instead, without the round trip, as it announces the add or the status update; the engine
// holds its alert queue meanwhile, so a list is always kept before its alert can be popped.
// Thread: on_alert on the engine's thread; the takes on any.
class TrackerPrefetch final : public lt::plugin {
public:
    lt::feature_flags_t implemented_features() override { return alert_feature; }
    void on_alert(const lt::alert* alert) override;

    // The list read when the torrent's add, or a status update of it, was announced; handed
    // out once. Nullopt when none was read (a failed add, a handle already gone).
    std::optional<std::vector<lt::announce_entry>> take_added(const lt::torrent_handle& handle);
    std::optional<std::vector<lt::announce_entry>> take_updated(const lt::torrent_handle& handle);

private:
    using Lists = std::map<lt::torrent_handle, std::vector<lt::announce_entry>>;
    static void keep(Lists& lists, const lt::torrent_handle& handle);
    std::optional<std::vector<lt::announce_entry>> take(Lists& lists,
                                                        const lt::torrent_handle& handle);

    std::mutex lock_;
    // ordered by each handle's owner, which stays the same after its torrent is gone
    Lists added_;
    Lists updated_;  // a later update's list replaces one not taken yet
};

}  // namespace velmora::engine
