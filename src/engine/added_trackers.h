// The tracker list of each torrent the engine has just added, read on the engine's thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <libtorrent/announce_entry.hpp>
#include <libtorrent/extensions.hpp>
#include <libtorrent/torrent_handle.hpp>

namespace velmora::engine {

// The page's add event carries the torrent's tracker list. Asking the handle for it is a round
// trip to the engine's thread, and a restore of thousands of torrents pays them one after
// another; the engine's thread reads it here, without the round trip, as it announces the add.
// Thread: on_alert on the engine's thread; take() on any.
class AddedTrackers final : public lt::plugin {
public:
    lt::feature_flags_t implemented_features() override { return alert_feature; }
    void on_alert(const lt::alert* alert) override;

    // The list read when the torrent's add was announced, handed out once; nullopt when none
    // was read (the add failed, or the handle was already gone).
    std::optional<std::vector<lt::announce_entry>> take(const lt::torrent_handle& handle);

private:
    std::mutex lock_;
    // ordered by the handle's owner, which stays the same after its torrent is gone
    std::map<lt::torrent_handle, std::vector<lt::announce_entry>> lists_;
};

}  // namespace velmora::engine
